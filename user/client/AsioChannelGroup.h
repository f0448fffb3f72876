// CAsioChannelGroup: the device channels of the current device presented as one device: each
// state change runs over every channel with roll-back, capabilities are aggregated, host
// channel numbers are mapped onto channels, and the streaming thread's per-period reads,
// writes and waits run over all of them.
#pragma once
#include <vector>
#include <windows.h>
#include "AsioDeviceChannel.h"

class CAsioChannelGroup {
public:
    CAsioChannelGroup();
    ~CAsioChannelGroup();
    CAsioChannelGroup(const CAsioChannelGroup &) = delete;
    CAsioChannelGroup &operator=(const CAsioChannelGroup &) = delete;

    // Every operation holds the group lock for its whole run, waits included.
    BOOL OpenDevice(LPCWSTR Path, LPCWSTR InstanceId, LPCWSTR Name);
    VOID CloseAll();
    DWORD GetChannelCount();
    // The channel at Position (opening order), or null. For the sample-copy routines, which
    // reach the half buffers directly.
    CAsioDeviceChannel *GetChannel(DWORD Position);

    // At the first failure the channels already done are rolled back in reverse order.
    BOOL AcquireAll();
    BOOL PrepareAll(DWORD Frames, BOOL WithInputs, BOOL WithOutputs, DWORD PrefillPercent, BOOL Dsd);
    BOOL StartAll();
    // Run over every channel whatever each answers; always TRUE.
    BOOL StopAll();
    BOOL UnprepareAll();
    BOOL ReleaseAll();
    // Stop at the first failure, without roll-back.
    BOOL SetSampleRateAll(DWORD Rate);
    BOOL PingAll();
    BOOL StartCaptureAll();

    // The rates every channel supports: {0, 0} when they share none. One common rate
    // (lowest equal to highest) is a valid range.
    VOID GetRateRange(RateRange *Range);
    BOOL IsDsdSupported();
    DWORD GetInputCount();
    DWORD GetOutputCount();
    // The smallest container width of a direction over the channels that have it (32 when
    // none has).
    DWORD GetBitsPerSample(BOOL IsInput);
    // The same two values as the channels would have at Rate, from their capability rows,
    // so that a format can be judged before the device's rate is changed for it.
    VOID GetFormatAt(DWORD Rate, BOOL IsInput, DWORD *Count, DWORD *Bits);
    // FALSE when a query fails; *IsOn is FALSE as soon as one channel reports its device off.
    BOOL IsPowered(BOOL *IsOn);
    // TRUE when a channel reports a stream reset; a failed query ends the walk with FALSE.
    BOOL HasStreamReset();
    // The largest latencies over the channels.
    BOOL GetLatencies(DWORD Frames, DWORD *InputLatency, DWORD *OutputLatency);
    // Brings every channel to the smallest position among them.
    BOOL AlignPositions();
    VOID ClearBuffersAll();
    BOOL CancelIoAll();

    // ERROR_SUCCESS when every channel's request was issued (queued or already done), else the
    // Win32 error of the first channel whose request failed; later channels are not asked.
    DWORD ReadHalfAll(DWORD Half);
    DWORD WriteHalfAll(DWORD Half);
    // WAIT_OBJECT_0 when the half completed on every channel; WAIT_OBJECT_0 + 1 as soon as the
    // stop event is signalled; any other result of a channel's WaitHalf at once.
    DWORD WaitHalfAll(DWORD Half, HANDLE StopEvent);

    // The channel (opening order) and the index inside it of host channel AsioIndex; FALSE
    // when the index is beyond every channel.
    BOOL MapChannel(BOOL IsInput, DWORD AsioIndex, DWORD *Position, DWORD *Index);
    BOOL GetChannelName(BOOL IsInput, DWORD AsioIndex, CHAR Name[32]);

private:
    struct Lock;

    CRITICAL_SECTION m_Lock;
    BOOLEAN m_LockInitialized;
    std::vector<CAsioDeviceChannel *> m_Channels;
};
