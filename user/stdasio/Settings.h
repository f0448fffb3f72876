// OVSETTINGS: the standard ASIO driver's per-user settings key, shared with the standard
// control-panel program, and the named events, window messages and program start through which
// the driver and that program signal each other.
#pragma once
#include <windows.h>
#include "Notifications.h"

// Presence bits of a loaded settings record: which values were read with their expected type.
enum : DWORD {
    OV_HAS_BUFFER_SIZE = 0x1,
    OV_HAS_LOCK = 0x2,
    OV_HAS_NOTIFY = 0x4,
    OV_HAS_SAMPLING_RATE = 0x8,
    OV_HAS_SELECTED = 0x10,
    OV_HAS_OLD_BUFFER_SIZE = 0x20,
    OV_KEY_OPENED = 0x8000,
};

// Change mask of OvCompareSettings.
enum : DWORD {
    OV_CHANGED_BUFFER_SIZE = 0x1,
    OV_CHANGED_LOCK = 0x2,
    OV_CHANGED_NOTIFY = 0x4,
    OV_CHANGED_SAMPLE_RATE = 0x8,
    OV_CHANGED_SELECTED = 0x10,
};

// The buffer sizes the driver can stream; a load clamps a stored size into them.
inline constexpr DWORD OV_BUFFER_FRAMES_MIN = 64;
inline constexpr DWORD OV_BUFFER_FRAMES_MAX = 4096;

// Characters of the "selected" member, and the most of it a load reads (one device key).
inline constexpr DWORD OV_SELECTED_CHARS = 256;
inline constexpr DWORD OV_SELECTED_READ_CHARS = 128;

// The settings as they stand in the key. A load changes only the members it reads.
struct OVSETTINGSRECORD {
    DWORD presence;
    DWORD bufferSize;
    BYTE lock;
    BYTE notify;
    DWORD samplingRate;
    WCHAR selected[OV_SELECTED_CHARS];
    DWORD selectedBytes; // bytes of "selected" as read, terminator included
};

// The record of a key that holds nothing: 512 frames, 44100 Hz, no lock, no notify, no device.
extern const OVSETTINGSRECORD OvDefaultSettings;

// The driver's own values that a reloaded record is compared with.
struct OVCURRENTSETTINGS {
    DWORD bufferFrames;
    DWORD lock;
    DWORD notify;
    DWORD sampleRate;
};

// The change mask of a reloaded record against the driver's values. otherDeviceNamed: the
// record's "selected" names a listed device that is not the current one.
DWORD OvCompareSettings(const OVSETTINGSRECORD &record, const OVCURRENTSETTINGS &current, BOOL otherDeviceNamed);

class OVSETTINGS {
public:
    OVSETTINGS();
    ~OVSETTINGS();
    OVSETTINGS(const OVSETTINGS &) = delete;
    OVSETTINGS &operator=(const OVSETTINGS &) = delete;

    // The key (Settings.cpp). load: TRUE when the key was opened (created first when missing)
    // and read; FALSE leaves the record untouched. A buffer size read or converted is clamped
    // into OV_BUFFER_FRAMES_MIN..MAX. A record that held only the older buffer size is saved
    // back with the converted size.
    BOOL load(OVSETTINGSRECORD *record);
    // TRUE when the existing key opened for writing; each value's write result is not reported.
    BOOL save(const OVSETTINGSRECORD *record);
    // Creates the key with the defaults when it does not exist; an existing key is not touched.
    BOOL createDefaults();

    // Named events and messages (Notifications.cpp).
    BOOL createStateEvents();
    BOOL closeStateEvents();
    // Sets or resets the streaming-state event; FALSE when it does not exist.
    BOOL setRunning(BOOL on);
    // Fills triple (OV_NOTIFY_*) on success; on failure closes what it made and names it.
    DWORD createNotifyEvents(HANDLE triple[OV_NOTIFY_HANDLES]);
    // Closes the three notify handles and nulls them here and in triple.
    VOID closeNotifyEvents(HANDLE triple[OV_NOTIFY_HANDLES]);
    // Opens the settings-changed event again by its name, for a handle that no longer answers
    // a wait, and stores it here and in triple; null when it cannot be opened. The old handle
    // is forgotten, not closed: its value may by now name another object.
    HANDLE reopenSettingsChanged(HANDLE triple[OV_NOTIFY_HANDLES]);
    VOID clear();
    VOID closeAll();

    // Sent synchronously to the control panel's window when one has the title; else nothing.
    VOID sendRateMessage(DWORD rate);
    VOID sendStreamStateMessage(WPARAM value);
    VOID sendResetMessage();

    // The control-panel program's path from the setup key; Bytes in/out. TRUE for REG_SZ only.
    static BOOL getControlPanelPath(LPWSTR buffer, DWORD *bytes);
    // Starts the program without waiting: FALSE without a path, TRUE once a start was tried.
    static BOOL launchControlPanel();

private:
    HANDLE m_streamingEvent;
    HANDLE m_spareEvent;
    HANDLE m_presenceEvent;
    HANDLE m_settingsChangedEvent;
    HANDLE m_notifyStopEvent;
};
