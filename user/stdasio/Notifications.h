// The signals the standard ASIO driver shares with the standard control-panel program: the
// names of its named events and registered messages, the window title it is found by, and the
// values those signals carry.
#pragma once
#include <windows.h>

// Names shared with the standard control-panel program.
extern const WCHAR OvSettingsKey[];      // under HKEY_CURRENT_USER
extern const WCHAR OvControlPanelTitle[]; // its window title, also the rate message's name
extern const WCHAR OvStreamingEventName[];
extern const WCHAR OvSpareEventName[];
extern const WCHAR OvPresenceEventName[];
extern const WCHAR OvSettingsChangedEventName[];
extern const WCHAR OvStreamStateMessageName[];
extern const WCHAR OvResetMessageName[];

// wParam of the stream-state message.
enum : WPARAM {
    OV_STREAM_STATE_STARTED = 0,
    OV_STREAM_STATE_FAILED = 1,
    OV_STREAM_STATE_DESTROYED = 2,
};

// Results of createNotifyEvents: 0, or which event could not be created.
enum : DWORD {
    OV_NOTIFY_EVENTS_OK = 0,
    OV_NOTIFY_EVENTS_NO_PRESENCE = 1,
    OV_NOTIFY_EVENTS_NO_SETTINGS_CHANGED = 2,
    OV_NOTIFY_EVENTS_NO_STOP = 3,
};

// Order of the notification thread's handles in the driver's triple.
enum : DWORD {
    OV_NOTIFY_PRESENCE = 0,
    OV_NOTIFY_SETTINGS_CHANGED = 1,
    OV_NOTIFY_STOP = 2,
    OV_NOTIFY_HANDLES = 3,
};
