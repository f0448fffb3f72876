// OVASIO: the standard ASIO driver object that a host creates through COM. It streams one
// standard device, two inputs and two outputs of 16-bit samples, over exclusive-mode WASAPI,
// and follows drop-outs, lost sessions and settings changes with one reset request per object.
#pragma once
#include <windows.h>
#include <AsioInterface.h>
#include "combase/ComBase.h"

class OVDEVICELIST;
class OVSETTINGS;
struct OVSETTINGSRECORD;
class OVRENDER;
class OVCAPTURE;
class OVAUDIOSESSIONNOTIFICATIONS;
class OVQUEUE;

// {E34ABBB9-E175-4A6A-9BDF-9899FC21BCBD}
DEFINE_GUID(CLSID_OVASIO, 0xE34ABBB9, 0xE175, 0x4A6A, 0x9B, 0xDF, 0x98, 0x99, 0xFC, 0x21, 0xBC, 0xBD);

inline constexpr const WCHAR *OVASIO_MODULE_FILE_NAME = L"ovmlsaso.dll";
inline constexpr const WCHAR *OVASIO_DRIVER_NAME = L"Orvan Marla Series ASIO";
inline constexpr const WCHAR *OVASIO_DESCRIPTION = L"Orvan Marla Series ASIO";
inline constexpr const WCHAR *OVASIO_THREADING_MODEL = L"Apartment";
inline constexpr const char *OVASIO_DRIVER_NAME_ANSI = "Orvan Marla Series ASIO";

// Driver states.
enum : DWORD {
    OVASIO_STATE_CONSTRUCTED = 0,
    OVASIO_STATE_INITIALIZED = 1,
    OVASIO_STATE_PREPARED = 2,
    OVASIO_STATE_RUNNING = 3,
};

// The channel layout the device is always driven with.
inline constexpr USHORT OVASIO_CHANNELS_PER_DIRECTION = 2;
inline constexpr USHORT OVASIO_BITS_PER_SAMPLE = 16;
inline constexpr USHORT OVASIO_BYTES_PER_SAMPLE = 2;
inline constexpr DWORD OVASIO_DEFAULT_BUFFER_FRAMES = 512;
// One block per channel holds both halves of the largest buffer with room to spare.
inline constexpr DWORD OVASIO_CHANNEL_BLOCK_BYTES = 32768;
// Stream period used when the host's buffer is shorter than 3 ms (100-ns units).
inline constexpr DWORD OVASIO_SHORT_PERIOD_DURATION = 30000;
// Drop-out limit in short-period mode, milliseconds.
inline constexpr DWORD OVASIO_SHORT_PERIOD_DROPOUT_MS = 6;
// Engine wait for a period before a health check, milliseconds.
inline constexpr DWORD OVASIO_PERIOD_WAIT_MS = 100;

// Posted by the engine to the message window, which shows the drop-out box.
inline constexpr UINT OVASIO_WM_DROPOUT = WM_APP + 1;
// The window timer that restarts streaming after a resume.
inline constexpr UINT_PTR OVASIO_RESUME_TIMER = 1;
// Resume timer state: 0 idle, 10 pending; the delay is 1000 ms minus 100 ms per count.
inline constexpr DWORD OVASIO_RESUME_PENDING = 10;

// Values of the stream-state message sent to the control panel.
enum : DWORD {
    OVASIO_STREAM_STARTED = 0,
    OVASIO_STREAM_FAILED = 1,
    OVASIO_STREAM_DESTROYED = 2,
};

// Error texts of getErrorMessage.
inline constexpr const char *OVASIO_ERROR_INITIALIZED = "ASIO driver was initialized before this time.\n";
inline constexpr const char *OVASIO_ERROR_NO_DEVICE = "No device.\n";
inline constexpr const char *OVASIO_ERROR_NO_MEMORY = "Memories are not enough.\n";

class OVASIO : public IASIO, public CUnknown {
public:
    // The class-template creation function. Every call makes a new object; null when memory
    // runs out. *phr is not written.
    static INonDelegatingUnknown *CreateInstance(IUnknown *outer, HRESULT *phr);

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override { return OuterUnknown()->QueryInterface(riid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() override { return OuterUnknown()->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return OuterUnknown()->Release(); }
    HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID riid, void **ppv) override;

    ASIOBool init(void *sysHandle) override;
    void getDriverName(char *name) override;
    int32_t getDriverVersion() override;
    void getErrorMessage(char *string) override;
    ASIOError start() override;
    ASIOError stop() override;
    ASIOError getChannels(int32_t *numInputChannels, int32_t *numOutputChannels) override;
    ASIOError getLatencies(int32_t *inputLatency, int32_t *outputLatency) override;
    ASIOError getBufferSize(int32_t *minSize, int32_t *maxSize, int32_t *preferredSize,
                            int32_t *granularity) override;
    ASIOError canSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getSampleRate(ASIOSampleRate *sampleRate) override;
    ASIOError setSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getClockSources(ASIOClockSource *clocks, int32_t *numSources) override;
    ASIOError setClockSource(int32_t reference) override;
    ASIOError getSamplePosition(ASIOSamples *sPos, ASIOTimeStamp *tStamp) override;
    ASIOError getChannelInfo(ASIOChannelInfo *info) override;
    ASIOError createBuffers(ASIOBufferInfo *bufferInfos, int32_t numChannels, int32_t bufferSize,
                            ASIOCallbacks *callbacks) override;
    ASIOError disposeBuffers() override;
    ASIOError controlPanel() override;
    ASIOError future(int32_t selector, void *opt) override;
    ASIOError outputReady() override;

    // Streaming (OVASIOBuffers.cpp). startStreaming: resetPositions 1 from start, 0 from a
    // resume. stopStreaming takes driverMutex; saveState 1 from stop, 0 from a suspend.
    ASIOError startStreaming(BOOL resetPositions);
    ASIOError stopStreaming(BOOL saveState);
    // Undoes createBuffers as far as it got (captureStep, renderStep, the allocations).
    VOID releaseBuffers();
    // Closes the streams the active directions opened and forgets their session-events
    // objects; the engine thread calls it after a lost session, once both clients stopped.
    VOID closeStreams();

    // Engine (OVASIOEngine.cpp). processPeriod runs on the engine thread only. joinEngineThread
    // waits for the engine thread and closes it; on the engine thread itself (a host that stops
    // from its buffer switch) it only tells the loop to end and returns FALSE.
    VOID startEngineThread();
    BOOL joinEngineThread();
    VOID processPeriod();
    VOID bufferSwitchTimeInfo();
    // Refreshes systemTime from the millisecond clock.
    VOID refreshSystemTime();

    // Period arithmetic from bufferFrames and sampleRate (OVASIOPeriod.cpp).
    DWORD bufferDuration();  // 100-ns units, rounded
    DWORD periodTenthsMs();  // 0.1 ms units, rounded
    BOOL isLongPeriod();     // whole milliseconds of one buffer are at least 3

    // Device selection and the rate probe (OVASIODevice.cpp).
    VOID selectDevice();
    BOOL probeRate(DWORD rate);
    BOOL getOperatableFs(DWORD *rate, DWORD requested);

    // Notifications (OVASIONotify.cpp). requestReset asks the host at most once per object;
    // onSessionLost marks the session lost and asks for the reset. Both may run on any thread.
    VOID requestReset();
    VOID onSessionLost();
    static DWORD WINAPI notificationThread(LPVOID context);
    // The notification thread can no longer follow the settings: asks the host for a reset,
    // or, before the host gave its callbacks, makes the next createBuffers ask.
    VOID reportLostNotifications();
    // Change mask of a reloaded settings record against the driver's current values.
    DWORD compareSettings(const OVSETTINGSRECORD *record);

    // Message window and power (OVASIOWindow.cpp).
    static DWORD WINAPI messageThread(LPVOID context);
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    VOID onSuspend();
    VOID onResume();

    // Stops, disposes and tears down everything init made; run by the destructor.
    VOID shutdown();
    // Writes the performance log file; run by the destructor.
    static VOID writePerfLog();

    // Members are public: the driver's parts in their own files (streams, notifications,
    // device list) read and write them as the driver object's own code does.
    OVDEVICELIST *m_devices;
    DWORD m_lock;
    DWORD m_notify;
    DWORD m_bufferFrames;
    DWORD m_periodTenths;
    DWORD m_sampleRate;
    WCHAR m_deviceId[256];
    OVSETTINGSRECORD *m_settingsScratch;
    OVSETTINGS *m_settings;
    USHORT m_inputChannels;
    USHORT m_outputChannels;
    USHORT m_bitsPerSample;
    USHORT m_bytesPerSample;
    DWORD m_currentFrames;
    DWORD m_halfBytes;
    DWORD m_activeInputs;
    DWORD m_activeOutputs;
    BYTE m_openedStreams;
    BYTE **m_inputBuffers;
    BYTE **m_outputBuffers;
    DWORD *m_inputActive;
    DWORD *m_outputActive;
    BYTE *m_captureStaging;
    OVRENDER *m_render;
    OVCAPTURE *m_capture;
    // The blocks from the engine thread to the render stream thread. Each driver object has
    // its own, as it has its own stop event: two objects of one process stream apart.
    OVQUEUE *m_renderQueue;
    OVAUDIOSESSIONNOTIFICATIONS *m_renderSessionEvents;
    OVAUDIOSESSIONNOTIFICATIONS *m_captureSessionEvents;
    DWORD m_captureStep;
    DWORD m_renderStep;
    volatile DWORD m_halfIndex;
    volatile DWORD m_state;
    DWORD m_savedState;
    ASIOCallbacks *volatile m_callbacks;
    char m_errorText[128];
    DWORD m_firstPeriod;
    DWORD m_skipOnce;
    DWORD m_timeInfoMode;
    volatile DWORD m_timeCodeOn;
    double m_samplePosition;
    ASIOTimeStamp m_systemTime;
    ASIOTime m_asioTime;
    volatile DWORD m_engineRun;
    HANDLE m_engineThread;
    DWORD m_engineThreadId;
    HANDLE m_captureEvent;
    HANDLE m_queueSpaceEvent;
    // Set by stop and by a health check that finds a dead client, it ends the engine loop.
    // Created by init, closed by the destructor; the first entry of m_waitHandles.
    HANDLE m_stopEvent;
    HANDLE m_waitHandles[2];
    HANDLE m_driverMutex;
    // {presenceEvent, settingsChangedEvent, notifyStopEvent}, filled by createNotifyEvents.
    HANDLE m_notifyHandles[3];
    HANDLE m_notificationThread;
    volatile DWORD m_resetRequested;
    volatile DWORD m_settingsChangedEarly;
    volatile DWORD m_sessionLost;
    DWORD m_shortPeriod;
    DWORD m_rateDiffers;
    double m_pendingRate;
    DWORD m_lastSwitchTime;
    HANDLE m_messageThread;
    HANDLE m_windowReady;
    HWND volatile m_window;
    DWORD m_resumeCounter;
    DWORD m_restartRender;
    // Time-info flag bits to set and to clear at the next time-info call. Host threads post
    // them here; only the engine thread writes the flags while it runs.
    volatile LONG m_timeFlagsSet;
    volatile LONG m_timeFlagsClear;
    // 1 while a drop-out box is up, so that a run of late periods shows one box.
    volatile LONG m_dropOutShowing;

protected:
    // A host that lets go of the driver from inside a callback on one of the driver's threads
    // (its buffer switch, or a message sent from the engine, notification or message thread)
    // gets its Release back at once: the engine loop is told to end, and the teardown, which
    // waits for those threads, runs on a thread of its own once the caller is back from the host.
    VOID FinalRelease() override;

private:
    explicit OVASIO(IUnknown *outer);
    ~OVASIO() override;
    OVASIO(const OVASIO &) = delete;
    OVASIO &operator=(const OVASIO &) = delete;

    // Allocates the owned parts the constructor cannot fail on; FALSE when memory runs out.
    BOOL createParts();
    // Undo of a failed init; sends the stream-state message 1.
    VOID undoInit();
    // Posts WM_QUIT to the message window and waits for its thread; closes windowReady.
    VOID endMessageThread();
    // Signals the notification thread's stop event, waits for it and closes its events.
    VOID endNotificationThread();
    VOID setError(const char *text);
    // Engine thread body; argument: the driver object.
    static DWORD WINAPI engineThreadProc(LPVOID context);
    // Called first by each of the driver's own threads.
    static VOID markDriverThread();
    // Deletes the driver object given as its argument; the thread of a deferred teardown.
    static DWORD WINAPI teardownThreadProc(LPVOID context);
    // The bufferSwitch or bufferSwitchTimeInfo call for halfIndex.
    VOID callHost();
    DWORD dropOutLimit() const;
    // The drop-out box; shown by the message-window thread, never by the engine.
    VOID showDropOut();
    DWORD runMessageThread();
    // createBuffers stream steps; FALSE when a step failed.
    BOOL openCaptureStream(DWORD rate, DWORD duration);
    BOOL openRenderStream(DWORD rate, DWORD duration);
    ASIOError failCreateBuffers(ASIOError result);
    // Reset request with the callbacks createBuffers was handed, before they are stored.
    VOID requestResetWith(ASIOCallbacks *callbacks);
};
