// CMiniportWaveRT: the miniport of the device's WaveRT subdevice. It describes the adapter's
// filter, intersects data ranges at the device's current rate, creates one stream per
// direction after reserving it with the adapter, and lets the adapter and the mix path reach
// the live streams through IMiniportWaveRTExt.
#pragma once
#include <portcls.h>
#include <stdunk.h>
#include "AsyncInterfaces.h"
#include "OwnedFilter.h"

class CMiniportWaveRTStream;

// Entry counting for one direction's stream: the mix path enters it at DISPATCH_LEVEL while
// portcls may tear the stream down at PASSIVE_LEVEL; teardown closes it and waits for drain.
struct STREAM_SLOT {
    KSPIN_LOCK Lock;
    KEVENT Drained;
    ULONG Count;
    ULONG Closing;
};

class CMiniportWaveRT : public IMiniportWaveRTExt,
                        public IPowerNotify,
                        public IMiniportAudioSignalProcessing,
                        public CUnknown {
public:
    DECLARE_STD_UNKNOWN();
    explicit CMiniportWaveRT(PUNKNOWN UnknownOuter);
    ~CMiniportWaveRT() override;

    // IMiniport
    STDMETHODIMP GetDescription(PPCFILTER_DESCRIPTOR *Description) override;
    STDMETHODIMP DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange,
                                       ULONG OutputBufferLength, PVOID ResultantFormat,
                                       PULONG ResultantFormatLength) override;
    // IMiniportWaveRT
    STDMETHODIMP Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVERT Port) override;
    STDMETHODIMP NewStream(PMINIPORTWAVERTSTREAM *Stream, PPORTWAVERTSTREAM PortStream, ULONG Pin,
                           BOOLEAN Capture, PKSDATAFORMAT DataFormat) override;
    STDMETHODIMP GetDeviceDescription(PDEVICE_DESCRIPTION DeviceDescription) override;
    // IMiniportWaveRTExt
    STDMETHODIMP_(void) FillSilence(BOOLEAN Capture, PVOID Buffer, ULONG Length) override;
    STDMETHODIMP_(void) AdvancePosition(BOOLEAN Capture, ULONG Bytes) override;
    STDMETHODIMP_(BOOLEAN) LockStream(BOOLEAN Capture) override;
    STDMETHODIMP_(void) UnlockStream(BOOLEAN Capture) override;
    STDMETHODIMP_(void) QueueStreamData(BOOLEAN Capture, ULONG Bytes) override;
    STDMETHODIMP_(void) TouchStream(BOOLEAN Capture) override;
    STDMETHODIMP UnregisterSubdevice(PDEVICE_OBJECT DeviceObject) override;
    // IPowerNotify
    STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE PowerState) override;
    // IMiniportAudioSignalProcessing
    STDMETHODIMP GetModes(ULONG Pin, GUID *SignalProcessingModes, ULONG *NumSignalProcessingModes) override;

    // Called by a stream's teardown: closes its slot, waits for the slot to drain, forgets the
    // stream and gives its reservation back. PASSIVE_LEVEL.
    VOID StreamClosing(BOOLEAN Capture);

    PADAPTERCOMMON Adapter() const { return m_pAdapter; }
    ULONG DevicePowerState() const { return m_PowerState; }

private:
    CMiniportWaveRTStream *EnterSlot(BOOLEAN Capture);
    VOID LeaveSlot(BOOLEAN Capture);

    PADAPTERCOMMON m_pAdapter;
    PPORTWAVERT m_pPort;
    // The description its port keeps pointers into: this miniport's own, freed with it.
    OWNED_FILTER m_Filter;
    CMiniportWaveRTStream *m_pStream[2];
    STREAM_SLOT m_Slot[2];
    ULONG m_PowerState;
};
