// CMiniportWaveRTStream: the WaveRT stream of one direction. It checks and records its format
// with the adapter, owns its cyclic buffer, starts and stops the adapter's streaming with its
// states, reports positions, signals the registered notification events and queues the spans
// of its buffer that the mix path consumes or fills.
#pragma once
#include <portcls.h>
#include <stdunk.h>
#include "AsyncInterfaces.h"

class CMiniportWaveRT;

// Format kinds a stream may carry (the wave format tags they come from).
constexpr ULONG WAVERT_KIND_PCM = 1;
constexpr ULONG WAVERT_KIND_IEEE_FLOAT = 3;
constexpr ULONG WAVERT_KIND_ALAW = 6;
constexpr ULONG WAVERT_KIND_MULAW = 7;

// One registered notification event.
struct WAVERT_NOTIFICATION {
    LIST_ENTRY Links;
    PKEVENT Event;
};

class CMiniportWaveRTStream : public IMiniportWaveRTStreamNotification, public IDrmAudioStream, public CUnknown {
public:
    DECLARE_STD_UNKNOWN();
    explicit CMiniportWaveRTStream(PUNKNOWN UnknownOuter);
    ~CMiniportWaveRTStream() override;

    // PASSIVE_LEVEL. The miniport is recorded first, so that a failed Init still gives the
    // reservation back at teardown. STATUS_INVALID_DEVICE_REQUEST for a format that is not
    // audio with a wave header, is too short for the header it claims, or has an unsupported
    // kind; otherwise the adapter's SetFormat status.
    NTSTATUS Init(CMiniportWaveRT *Miniport, PPORTWAVERTSTREAM PortStream, ULONG Pin, BOOLEAN Capture,
                  PKSDATAFORMAT DataFormat);

    // IMiniportWaveRTStream
    STDMETHODIMP SetFormat(PKSDATAFORMAT DataFormat) override;
    STDMETHODIMP SetState(KSSTATE State) override;
    STDMETHODIMP GetPosition(PKSAUDIO_POSITION Position) override;
    STDMETHODIMP AllocateAudioBuffer(ULONG RequestedSize, PMDL *AudioBufferMdl, ULONG *ActualSize,
                                     ULONG *OffsetFromFirstPage, MEMORY_CACHING_TYPE *CacheType) override;
    STDMETHODIMP_(void) FreeAudioBuffer(PMDL AudioBufferMdl, ULONG BufferSize) override;
    STDMETHODIMP_(void) GetHWLatency(KSRTAUDIO_HWLATENCY *HwLatency) override;
    STDMETHODIMP GetPositionRegister(KSRTAUDIO_HWREGISTER *Register) override;
    STDMETHODIMP GetClockRegister(KSRTAUDIO_HWREGISTER *Register) override;
    // IMiniportWaveRTStreamNotification
    STDMETHODIMP AllocateBufferWithNotification(ULONG NotificationCount, ULONG RequestedSize, PMDL *AudioBufferMdl,
                                                ULONG *ActualSize, ULONG *OffsetFromFirstPage,
                                                MEMORY_CACHING_TYPE *CacheType) override;
    STDMETHODIMP_(void) FreeBufferWithNotification(PMDL AudioBufferMdl, ULONG BufferSize) override;
    STDMETHODIMP RegisterNotificationEvent(PKEVENT NotificationEvent) override;
    STDMETHODIMP UnregisterNotificationEvent(PKEVENT NotificationEvent) override;
    // IDrmAudioStream
    STDMETHODIMP SetContentId(ULONG ContentId, PCDRMRIGHTS DrmRights) override;

    // Called through the miniport's stream slot, at DISPATCH_LEVEL or below.
    ULONG BitsPerSample() const { return m_BitsPerSample; }
    // Moves the position on by Bytes (modulo the buffer) and signals the notification events
    // by the stream's notification count.
    VOID AdvancePosition(ULONG Bytes);
    // Queues the next Bytes of the cyclic buffer (at most one buffer) to the adapter's render
    // or capture queue, split at the wrap. Nothing while the gate is closed or without buffer.
    VOID QueueData(ULONG Bytes);

    KSSTATE State() const { return m_State; }
    ULONG FormatKind() const { return m_FormatKind; }
    ULONG BufferSize() const { return m_BufferSize; }
    ULONG NotificationCount() const { return m_NotificationCount; }
    ULONG ContentId() const { return m_ContentId; }

private:
    static NTSTATUS ParseFormat(PKSDATAFORMAT DataFormat, ULONG *Kind, PWAVEFORMATEX Wave);
    NTSTATUS StepState(KSSTATE To);
    NTSTATUS StartAdapterStream();
    NTSTATUS StopAdapterStream();
    VOID CloseGate();
    VOID OpenGate();
    VOID ResetPosition();
    VOID ReleaseBuffer();
    VOID SignalNotificationsLocked();

    CMiniportWaveRT *m_pMiniport;
    PPORTWAVERTSTREAM m_pPortStream;
    KSSTATE m_State;
    ULONG m_Pin;
    BOOLEAN m_Capture;

    // The gate: queue calls enter it while open; closing waits for those inside to leave.
    KSPIN_LOCK m_GateLock;
    BOOLEAN m_GateClosed;
    ULONG m_GateCount;
    KEVENT m_GateDrained;

    PMDL m_pMdl;
    PUCHAR m_pBuffer;
    ULONG m_BufferSize;
    ULONG m_CaptureQueueOffset;
    ULONG m_RenderQueueOffset;

    BOOLEAN m_FormatSet;
    ULONG m_FormatKind;
    ULONG m_Channels;
    ULONG m_BitsPerSample;
    ULONG m_SampleRate;
    ULONG m_BlockAlign;

    // Position record and notifications, under m_PositionLock.
    KSPIN_LOCK m_PositionLock;
    ULONG m_PositionSize;
    ULONG m_Position;
    ULONG m_PreviousPosition;
    ULONG m_NotificationCount;
    BOOLEAN m_FirstUpdate;
    LIST_ENTRY m_Notifications;

    ULONG m_ContentId;
};
