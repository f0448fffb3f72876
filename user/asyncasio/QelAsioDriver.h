// CQelAsioDriver: the asynchronous ASIO driver object that a host creates through COM. It
// streams one device of the asynchronous stack over its device channels, keeps the per-user
// settings in step with the control panel, and answers the host's IASIO calls.
#pragma once
#include <atomic>
#include <vector>
#include <windows.h>
#include <AsioInterface.h>
#include "AsioChannelGroup.h"
#include "AsioDeviceList.h"
#include "RegUtil2.h"
#include "SyncObj.h"
#include "combase/ComBase.h"

// Driver states. SUSPENDED: was RUNNING when the system suspended; timer 2 keeps the position.
enum QelAsioState : LONG {
    QEL_ASIO_LOADED = 0,
    QEL_ASIO_INITIALIZED = 1,
    QEL_ASIO_PREPARED = 2,
    QEL_ASIO_RUNNING = 3,
    QEL_ASIO_SUSPENDED = 4,
};

// Window timers of the hidden message window.
inline constexpr UINT_PTR QEL_ASIO_RESUME_TIMER = 1;
inline constexpr UINT_PTR QEL_ASIO_SUSPENDED_TIMER = 2;
// Power polls made after a resume before the host is asked for a reset.
inline constexpr DWORD QEL_ASIO_RESUME_POLLS = 10;

class CQelAsioDriver : public IASIO, public CUnknown {
public:
    // The class-template creation function. One driver per process: null while one lives.
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

    // The ASIO sample type for a container width in an io format; -1 when there is none.
    static ASIOSampleType SampleTypeFor(LONG formatType, DWORD bitsPerSample);
    // The full path of the control-panel program from the setup key (Size in bytes, in/out).
    static BOOL GetControlPanelPath(LPWSTR Buffer, DWORD *Size);
    // Starts the control-panel program without waiting; FALSE when its path is unknown.
    static BOOL LaunchControlPanel();

protected:
    VOID FinalRelease() override;

private:
    explicit CQelAsioDriver(IUnknown *outer);
    ~CQelAsioDriver() override;
    static DWORD WINAPI TeardownThreadProc(LPVOID Context);
    // Called first by each of the driver's own threads.
    static VOID MarkDriverThread();

    // One host buffer of a direction and where its samples live in the device's frames. The
    // layout is the one in force when the channels were prepared.
    struct ChannelMap {
        CAsioDeviceChannel *Channel;
        DWORD Index;       // slot inside the channel's frames
        DWORD Offset;      // Index x sample bytes
        DWORD Stride;      // bytes per device frame
        DWORD SampleBytes; // bytes per sample in device and host buffers
    };

    // Init and teardown (QelAsioDriver.cpp).
    VOID CleanUpFailedInit();
    VOID StopThreads();
    VOID WriteBackStoredRate();

    // Device selection (AsioDriverDevice.cpp). The settings mutex is held by the caller or taken.
    VOID SelectDevice();
    BOOL OpenChannels();
    BOOL CheckDevice();
    BOOL AwaitDevicePower(DWORD Milliseconds);
    // Refreshes counts, widths and sample types from the open group; counts 0 when a direction
    // has no sample type.
    VOID RefreshFormat();
    BOOL FormatDiffersFromPrepared();
    // TRUE when the open group, run at DeviceRate, has channels and a DSD sample type for
    // every direction that has any.
    BOOL HasDsdTypesAt(DWORD DeviceRate);
    // Asks the host for a reset under the settings mutex. Never call it holding the driver
    // critical section: set m_ResetNeeded there and call FlushReset after leaving.
    int32_t RequestReset(DWORD RateChange);
    VOID FlushReset();
    // The stream thread's reset request: gives up when the stream stop event comes first, so
    // a caller holding the settings mutex while it stops the stream never waits for it.
    VOID RequestResetFromStream();

    // Rates and sizes (AsioDriverMethods.cpp).
    DWORD BufferFramesForIndex(DWORD Index);
    BOOL IsRateSupported(double Rate);
    BOOL ApplyDeviceRate(DWORD Rate);
    BOOL IsDsdFormat() const { return m_IoFormat.FormatType == kASIODSDFormat; }
    ASIOError SetIoFormat(const ASIOIoFormat *Format);
    ASIOError SetSampleRateLocked(double Rate);
    ASIOError RestartAtRate(DWORD Rate);
    BOOL CarryBuffersToRate(DWORD Rate);
    ASIOError StopLocked();

    // Host buffers (AsioDriverBuffers.cpp).
    ASIOError CreateBuffersLocked(ASIOBufferInfo *Infos, int32_t Count, int32_t Size, ASIOCallbacks *Callbacks);
    ASIOError FreeHostBuffers();

    // Streaming (AsioDriverStream.cpp). Start and stop expect the driver critical section.
    ASIOError StartStreaming(BOOL ResetPosition);
    ASIOError StopStreaming();
    // Expects the driver critical section and the stream told to end. Waits for the stream
    // thread (terminating one that does not end in time) and closes it; FALSE, without waiting,
    // when called on the stream thread itself, which then stays to be ended by the next caller.
    BOOL EndStreamThread();
    // Enters the driver critical section for stop; FALSE, on the stream thread, when another
    // thread's stop holds it (or when the section does not exist).
    BOOL EnterDriverLockForStop(BOOL onStreamThread);
    static DWORD WINAPI StreamThreadProc(LPVOID Context);
    DWORD DuplexLoop();
    DWORD OutputLoop();
    BOOL RecoverStreamReset();
    BOOL StopRequested();
    BOOL BufferSwitch(BOOL TimerOnly);
    VOID WriteOutputs();
    VOID CopyInputs(DWORD Half);
    VOID CopyOutputs(DWORD Half);
    static VOID GetSystemTime(ASIOTimeStamp *Stamp);

    // Message window and power (AsioDriverWindow.cpp).
    static DWORD WINAPI MessageThreadProc(LPVOID Context);
    DWORD MessageThread();
    static LRESULT CALLBACK WindowProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam);
    VOID OnSuspend();
    VOID OnResume();
    VOID OnSuspendedTick();
    // One host buffer period in whole milliseconds, rounded up (unsigned 32-bit arithmetic).
    static UINT SuspendedTickMs(DWORD Rate, DWORD HostBufferSize) { return (Rate + HostBufferSize * 1000 - 1) / Rate; }

    // Settings thread (AsioDriverSettings.cpp).
    static DWORD WINAPI SettingsThreadProc(LPVOID Context);
    DWORD SettingsThread();
    VOID CompareSettings();
    VOID OnSettingsChanged();

    VOID SetError(const char *Text);

    ASIOIoFormat m_IoFormat;
    DWORD m_DsdSupported;
    CAsioDeviceList m_Devices;
    DWORD m_BufferSizeIndex;
    DWORD m_CurrentRate;
    DWORD m_StoredRate;
    WCHAR m_SelectedDevice[129];
    CRegUtil2 m_Settings;
    HANDLE m_SettingsMutex;
    DWORD m_InputCount;
    DWORD m_OutputCount;
    DWORD m_InputBits;
    DWORD m_OutputBits;
    ASIOSampleType m_InputType;
    ASIOSampleType m_OutputType;
    RateRange m_Range;
    DWORD m_BufferFrames;
    DWORD m_HostBufferSize;
    // The format the channels were prepared with, to find a rate change that altered it.
    DWORD m_PreparedInputCount;
    DWORD m_PreparedOutputCount;
    DWORD m_PreparedInputBits;
    DWORD m_PreparedOutputBits;
    std::vector<LONG> m_InputUsed;
    std::vector<LONG> m_OutputUsed;
    std::vector<ChannelMap> m_InputMap;
    std::vector<ChannelMap> m_OutputMap;
    std::atomic<DWORD> m_CurrentHalf;
    std::atomic<LONG> m_State;
    std::atomic<DWORD> m_ResetPending;
    std::atomic<DWORD> m_ResetNeeded;
    ASIOCallbacks *volatile m_Callbacks;
    char m_ErrorText[128];
    DWORD m_TimeInfoMode;
    std::atomic<DWORD> m_TimeCode;
    std::atomic<double> m_SamplePosition;
    std::atomic<ULONGLONG> m_SystemTime;
    ASIOTime m_TimeInfo;
    std::atomic<DWORD> m_PendingTimeFlags;
    CCritSec m_DriverLock;
    HANDLE m_SettingsEvents[3];
    HANDLE m_SettingsThread;
    std::atomic<DWORD> m_SettingsStop;
    double m_PendingRate;
    HANDLE m_HostMutex;
    HANDLE m_HeldMutex;
    HANDLE m_InUseEvent;
    CAsioChannelGroup m_Group;
    HANDLE m_MessageThread;
    HANDLE m_WindowReady;
    std::atomic<HWND> m_Window;
    DWORD m_ResumePolls;
    std::vector<void *> m_OutputHalves[2];
    std::vector<void *> m_InputHalves[2];
    HANDLE m_StreamStopEvent;
    HANDLE m_StreamThread;
    DWORD m_StreamThreadId;
    std::atomic<DWORD> m_StopFlag;
    // Stops under way on threads other than the stream thread.
    std::atomic<LONG> m_OtherStops;
    std::atomic<DWORD> m_OutputReadyMode;
    std::atomic<DWORD> m_OutputWritten;
    std::atomic<DWORD> m_WriteError;
    // A device chosen in the control panel while the host had buffers, opened at disposeBuffers.
    BOOL m_ReselectPending;
    BOOL m_InitSucceeded;
    DWORD m_OwnerProcess;
};
