// CMiniportWaveRTStream: the WaveRT stream of one direction. It checks and records its format
// with the adapter, owns its cyclic buffer, starts and stops the adapter's streaming with
// the RUN state, and gives its reservation back at teardown.
#pragma once
#include <portcls.h>
#include <stdunk.h>
#include "AsyncInterfaces.h"

class CMiniportWaveRT;

class CMiniportWaveRTStream : public IMiniportWaveRTStreamNotification, public CUnknown {
public:
    DECLARE_STD_UNKNOWN();
    explicit CMiniportWaveRTStream(PUNKNOWN UnknownOuter);
    ~CMiniportWaveRTStream() override;

    // The miniport is recorded first, so that a failed Init still gives the reservation back
    // at teardown. STATUS_INVALID_PARAMETER for a format too short for its wave header.
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

    // Called through the miniport's stream slot.
    ULONG BitsPerSample() const { return m_BitsPerSample; }
    VOID AdvancePosition(ULONG Bytes);
    VOID QueueData(ULONG Bytes);

private:
    static NTSTATUS CheckFormat(PKSDATAFORMAT DataFormat, PULONG Channels, PULONG Bits, PULONG Rate);

    CMiniportWaveRT *m_pMiniport;
    PPORTWAVERTSTREAM m_pPortStream;
    BOOLEAN m_Capture;
    BOOLEAN m_Running;
    BOOLEAN m_FormatSet;
    KSSTATE m_State;
    ULONG m_Channels;
    ULONG m_BitsPerSample;
    ULONG m_Rate;
    PMDL m_pMdl;
    PUCHAR m_pBuffer;
    ULONG m_BufferSize;
    ULONG m_Position;
    ULONG m_QueuePosition;
    ULONGLONG m_TotalBytes;
};
