// CMiniportWaveCyclic, the miniport of the standard driver's "Wave" subdevice, and
// CMiniportWaveCyclicStream, one stream per direction that is also the stream's DMA channel:
// regions the port copies into or out of its cyclic buffer go to the adapter's queues, and
// the adapter's transfer engine reports positions and asks for service through the
// miniport's IMiniportCallback.
#pragma once
#include <portcls.h>
#include <stdunk.h>
#include "StdInterfaces.h"

class CMiniportWaveCyclicStream;

// Pins of the filter, in table order.
enum : ULONG {
    STD_PIN_CAPTURE_STREAM = 0,
    STD_PIN_CAPTURE_BRIDGE = 1,
    STD_PIN_RENDER_STREAM = 2,
    STD_PIN_RENDER_BRIDGE = 3,
    STD_PIN_COUNT = 4
};

// The filter the miniport describes.
extern const PCFILTER_DESCRIPTOR g_StdWaveFilter;

// KSPROPERTY_GENERAL_COMPONENTID of the filter.
NTSTATUS PropertyHandlerStdComponentId(PPCPROPERTY_REQUEST Request);

class CMiniportWaveCyclic : public IMiniportWaveCyclic, public IMiniportCallback, public CUnknown {
public:
    DECLARE_STD_UNKNOWN();
    explicit CMiniportWaveCyclic(PUNKNOWN UnknownOuter);
    ~CMiniportWaveCyclic() override;

    // IMiniport
    STDMETHODIMP GetDescription(PPCFILTER_DESCRIPTOR *Description) override;
    STDMETHODIMP DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange,
                                       ULONG OutputBufferLength, PVOID ResultantFormat,
                                       PULONG ResultantFormatLength) override;
    // IMiniportWaveCyclic
    STDMETHODIMP Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVECYCLIC Port) override;
    STDMETHODIMP NewStream(PMINIPORTWAVECYCLICSTREAM *Stream, PUNKNOWN OuterUnknown, POOL_TYPE PoolType, ULONG Pin,
                           BOOLEAN Capture, PKSDATAFORMAT DataFormat, PDMACHANNEL *DmaChannel,
                           PSERVICEGROUP *ServiceGroup) override;
    // IMiniportCallback: from the transfer engine, at DISPATCH_LEVEL or below.
    STDMETHODIMP_(void) NotifyStream(BOOLEAN Capture) override;
    STDMETHODIMP_(void) SetRenderPosition(PUCHAR Address) override;
    STDMETHODIMP_(void) SetCapturePosition(PUCHAR Address) override;

    // A stream's teardown forgets it. PASSIVE_LEVEL.
    VOID StreamClosing(BOOLEAN Capture);

    PADAPTERCOMMON Adapter() const { return m_pAdapter; }
    // Whether a WAVEFORMATEX lies inside the data-range limits.
    BOOLEAN FormatInLimits(const WAVEFORMATEX *Format) const;

private:
    PPORTWAVECYCLIC m_pPort = nullptr;          // referenced
    PSERVICEGROUP m_pServiceGroup = nullptr;    // referenced
    PADAPTERCOMMON m_pAdapter = nullptr;        // referenced
    const PCFILTER_DESCRIPTOR *m_pFilter = nullptr;
    KSPIN_LOCK m_StreamLock;                    // guards the stream pointers against the callbacks
    CMiniportWaveCyclicStream *m_pCaptureStream = nullptr; // not referenced
    CMiniportWaveCyclicStream *m_pRenderStream = nullptr;  // not referenced
    ULONG m_MinChannels = 0;
    ULONG m_MaxChannels = 0;
    ULONG m_MinBits = 0;
    ULONG m_MaxBits = 0;
    ULONG m_MinRate = 0;
    ULONG m_MaxRate = 0;
};

// The stream, its own DMA channel. The cyclic buffer is ordinary non-paged memory.
class CMiniportWaveCyclicStream : public IMiniportWaveCyclicStream, public IDmaChannel, public CUnknown {
public:
    DECLARE_STD_UNKNOWN();
    explicit CMiniportWaveCyclicStream(PUNKNOWN UnknownOuter);
    ~CMiniportWaveCyclicStream() override;

    // PASSIVE_LEVEL. STATUS_INVALID_DEVICE_REQUEST without a WAVEFORMATEX; the buffer
    // allocation's and the adapter's status otherwise.
    NTSTATUS Init(CMiniportWaveCyclic *Miniport, ULONG Pin, BOOLEAN Capture, PKSDATAFORMAT DataFormat);

    // IMiniportWaveCyclicStream
    STDMETHODIMP SetFormat(PKSDATAFORMAT DataFormat) override;
    STDMETHODIMP_(ULONG) SetNotificationFreq(ULONG Interval, PULONG FramingSize) override;
    STDMETHODIMP SetState(KSSTATE State) override;
    STDMETHODIMP GetPosition(PULONG Position) override;
    STDMETHODIMP NormalizePhysicalPosition(PLONGLONG PhysicalPosition) override;
    STDMETHODIMP_(void) Silence(PVOID Buffer, ULONG ByteCount) override;
    // IDmaChannel
    STDMETHODIMP AllocateBuffer(ULONG BufferSize, PPHYSICAL_ADDRESS PhysicalAddressConstraint) override;
    STDMETHODIMP_(void) FreeBuffer() override;
    STDMETHODIMP_(ULONG) TransferCount() override;
    STDMETHODIMP_(ULONG) MaximumBufferSize() override;
    STDMETHODIMP_(ULONG) AllocatedBufferSize() override;
    STDMETHODIMP_(ULONG) BufferSize() override;
    STDMETHODIMP_(void) SetBufferSize(ULONG BufferSize) override;
    STDMETHODIMP_(PVOID) SystemAddress() override;
    STDMETHODIMP_(PHYSICAL_ADDRESS) PhysicalAddress() override;
    STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject() override;
    STDMETHODIMP_(void) CopyTo(PVOID Destination, PVOID Source, ULONG ByteCount) override;
    STDMETHODIMP_(void) CopyFrom(PVOID Destination, PVOID Source, ULONG ByteCount) override;

    // From the miniport's callback (DISPATCH_LEVEL or below): the device's address in the
    // buffer becomes the position.
    VOID SetPositionFromAddress(PUCHAR Address);

private:
    NTSTATUS StepState(KSSTATE From, KSSTATE To);
    BOOLEAN InsideBuffer(PUCHAR Address, ULONG ByteCount) const;

    CMiniportWaveCyclic *m_pMiniport = nullptr; // referenced
    ULONG m_PinId = 0;
    BOOLEAN m_Capture = FALSE;
    KSSTATE m_State = KSSTATE_STOP;
    volatile ULONG m_Position = 0;
    PUCHAR m_pBuffer = nullptr;
    ULONG m_AllocatedSize = 0;
    ULONG m_BufferSize = 0;
    BOOLEAN m_FormatSet = FALSE;
    USHORT m_Channels = 0;
    USHORT m_Bits = 0;
    ULONG m_Rate = 0;
    ULONG m_BlockAlign = 0;
    ULONG m_NotificationFrames = 0;
};

// The size of every stream's cyclic buffer, and the largest the channel reports.
constexpr ULONG STD_CYCLIC_BUFFER_SIZE = 9600;
