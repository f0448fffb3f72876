// CMiniportWaveCyclicStream: one direction's stream of the "Wave" filter and its own DMA
// channel. The cyclic buffer is ordinary non-paged memory; every region the port copies in or
// out is queued with the adapter, whose transfer engine sends it to the device or refills it,
// and whose callback moves the stream's position.
#include <string.h>
#include "MiniportWaveCyclic.h"
#include "StdPoolTags.h"

namespace {

const WAVEFORMATEX *StreamWaveFormat(const KSDATAFORMAT *Format)
{
    if (Format == nullptr) {
        return nullptr;
    }
    if (IsEqualGUID(Format->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) &&
        Format->FormatSize >= sizeof(KSDATAFORMAT_WAVEFORMATEX)) {
        return &reinterpret_cast<const KSDATAFORMAT_WAVEFORMATEX *>(Format)->WaveFormatEx;
    }
    if (IsEqualGUID(Format->Specifier, KSDATAFORMAT_SPECIFIER_DSOUND) &&
        Format->FormatSize >= sizeof(KSDATAFORMAT_DSOUND)) {
        return &reinterpret_cast<const KSDATAFORMAT_DSOUND *>(Format)->BufferDesc.WaveFormatEx;
    }
    return nullptr;
}

// A format whose frame or rate is zero would divide by zero in every position conversion.
BOOLEAN UsableWaveFormat(const WAVEFORMATEX *Wave)
{
    return Wave->nChannels != 0 && Wave->wBitsPerSample >= 8 && Wave->nSamplesPerSec != 0;
}

} // namespace

CMiniportWaveCyclicStream::CMiniportWaveCyclicStream(PUNKNOWN UnknownOuter) : CUnknown(UnknownOuter) {}

// The port releases a stream at PASSIVE_LEVEL; one still running is walked down to STOP.
CMiniportWaveCyclicStream::~CMiniportWaveCyclicStream()
{
    if (m_pMiniport != nullptr) {
        while (m_State != KSSTATE_STOP) {
            KSSTATE next = (KSSTATE)(m_State - 1);
            StepState(m_State, next);
            m_State = next;
        }
        if (m_FormatSet) {
            m_pMiniport->Adapter()->ClearStreamFormat(m_Capture);
        }
        m_pMiniport->StreamClosing(m_Capture);
    }
    FreeBuffer();
    if (m_pMiniport != nullptr) {
        static_cast<IMiniportWaveCyclic *>(m_pMiniport)->Release();
    }
}

STDMETHODIMP CMiniportWaveCyclicStream::NonDelegatingQueryInterface(REFIID Interface, PVOID *Object)
{
    if (Object == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUID(Interface, IID_IUnknown) || IsEqualGUID(Interface, IID_IMiniportWaveCyclicStream)) {
        *Object = static_cast<IMiniportWaveCyclicStream *>(this);
    } else if (IsEqualGUID(Interface, IID_IDmaChannel)) {
        *Object = static_cast<IDmaChannel *>(this);
    } else {
        *Object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    static_cast<IUnknown *>(*Object)->AddRef();
    return STATUS_SUCCESS;
}

NTSTATUS CMiniportWaveCyclicStream::Init(CMiniportWaveCyclic *Miniport, ULONG Pin, BOOLEAN Capture,
                                         PKSDATAFORMAT DataFormat)
{
    static_cast<IMiniportWaveCyclic *>(Miniport)->AddRef();
    m_pMiniport = Miniport;
    m_PinId = Pin;
    m_Capture = Capture ? TRUE : FALSE;
    m_State = KSSTATE_STOP;
    m_Position = 0;
    NTSTATUS status = AllocateBuffer(STD_CYCLIC_BUFFER_SIZE, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const WAVEFORMATEX *wave = StreamWaveFormat(DataFormat);
    if (wave == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!UsableWaveFormat(wave)) {
        return STATUS_INVALID_PARAMETER;
    }
    status = m_pMiniport->Adapter()->SetStreamFormat(m_Capture, wave->nChannels, wave->wBitsPerSample,
                                                     wave->nSamplesPerSec);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    m_FormatSet = TRUE;
    m_Channels = wave->nChannels;
    m_Bits = wave->wBitsPerSample;
    m_Rate = wave->nSamplesPerSec;
    m_BlockAlign = (ULONG)m_Channels * m_Bits / 8;
    return STATUS_SUCCESS;
}

STDMETHODIMP CMiniportWaveCyclicStream::SetFormat(PKSDATAFORMAT DataFormat)
{
    PADAPTERCOMMON adapter = m_pMiniport->Adapter();
    if (adapter->IsDeviceRemoved()) {
        return STATUS_DEVICE_REMOVED;
    }
    if (m_State != KSSTATE_STOP) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const WAVEFORMATEX *wave = StreamWaveFormat(DataFormat);
    if (wave == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!UsableWaveFormat(wave)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = adapter->ChangeStreamFormat(m_Capture, wave->nChannels, wave->wBitsPerSample,
                                                  wave->nSamplesPerSec);
    if (NT_SUCCESS(status)) {
        m_FormatSet = TRUE;
        m_Channels = wave->nChannels;
        m_Bits = wave->wBitsPerSample;
        m_Rate = wave->nSamplesPerSec;
        m_BlockAlign = (ULONG)m_Channels * m_Bits / 8;
    }
    return status;
}

STDMETHODIMP_(ULONG) CMiniportWaveCyclicStream::SetNotificationFreq(ULONG Interval, PULONG FramingSize)
{
    m_NotificationFrames = (ULONG)((ULONGLONG)Interval * m_Rate / 1000);
    if (FramingSize != nullptr) {
        *FramingSize = m_NotificationFrames * m_BlockAlign;
    }
    return Interval;
}

// One step between neighbouring states; the state changes only on success.
NTSTATUS CMiniportWaveCyclicStream::StepState(KSSTATE From, KSSTATE To)
{
    PADAPTERCOMMON adapter = m_pMiniport->Adapter();
    NTSTATUS status = STATUS_SUCCESS;
    if (From == To) {
        return STATUS_SUCCESS;
    }
    if (From == KSSTATE_STOP && To == KSSTATE_ACQUIRE) {
        DbgPrint("SetState - STOP to ACQUIRE\n");
        if (adapter->IsDeviceRemoved()) {
            return STATUS_DEVICE_REMOVED;
        }
        status = adapter->StartStream(m_Capture);
        if (NT_SUCCESS(status)) {
            m_Position = 0;
            if (m_Capture) {
                adapter->QueueCaptureBuffer(m_pBuffer, m_AllocatedSize);
            }
        }
    } else if (From == KSSTATE_ACQUIRE && To == KSSTATE_PAUSE) {
        if (adapter->IsDeviceRemoved()) {
            status = STATUS_DEVICE_REMOVED;
        }
    } else if (From == KSSTATE_ACQUIRE && To == KSSTATE_STOP) {
        DbgPrint("SetState - ACQUIRE to STOP\n");
        if (m_Capture) {
            adapter->FlushCaptureQueue();
        } else {
            adapter->FlushRenderQueue();
        }
        status = adapter->StopStream(m_Capture);
        if (status == STATUS_DELETE_PENDING) {
            status = STATUS_SUCCESS;
        }
    } else if (From == KSSTATE_PAUSE && To == KSSTATE_ACQUIRE) {
        status = STATUS_SUCCESS;
    } else if (From == KSSTATE_PAUSE && To == KSSTATE_RUN) {
        if (adapter->IsDeviceRemoved()) {
            return STATUS_DEVICE_REMOVED;
        }
        adapter->SetRunEvent(m_Capture);
    } else if (From == KSSTATE_RUN && To == KSSTATE_PAUSE) {
        adapter->ClearRunEvent(m_Capture);
    } else {
        status = STATUS_INVALID_PARAMETER;
    }
    return status;
}

STDMETHODIMP CMiniportWaveCyclicStream::SetState(KSSTATE State)
{
    NTSTATUS status = StepState(m_State, State);
    if (NT_SUCCESS(status)) {
        m_State = State;
    }
    return status;
}

STDMETHODIMP CMiniportWaveCyclicStream::GetPosition(PULONG Position)
{
    if (Position == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_pMiniport->Adapter()->IsDeviceRemoved()) {
        return STATUS_DEVICE_REMOVED;
    }
    *Position = m_Position;
    return STATUS_SUCCESS;
}

STDMETHODIMP CMiniportWaveCyclicStream::NormalizePhysicalPosition(PLONGLONG PhysicalPosition)
{
    if (PhysicalPosition == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_pMiniport->Adapter()->IsDeviceRemoved()) {
        return STATUS_DEVICE_REMOVED;
    }
    if (m_BlockAlign == 0 || m_Rate == 0) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    *PhysicalPosition = *PhysicalPosition * 10000000 / m_BlockAlign / m_Rate;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(void) CMiniportWaveCyclicStream::Silence(PVOID Buffer, ULONG ByteCount)
{
    if (Buffer != nullptr) {
        memset(Buffer, m_Bits == 8 ? 0x80 : 0, ByteCount);
    }
}

// An address reported by the transfer engine; one outside the buffer is ignored rather than
// turned into a position past its end.
VOID CMiniportWaveCyclicStream::SetPositionFromAddress(PUCHAR Address)
{
    if (m_pBuffer == nullptr || Address < m_pBuffer || Address > m_pBuffer + m_AllocatedSize) {
        return;
    }
    ULONG position = (ULONG)(Address - m_pBuffer);
    if (position >= m_AllocatedSize) {
        position -= m_AllocatedSize;
    }
    m_Position = position;
}

STDMETHODIMP CMiniportWaveCyclicStream::AllocateBuffer(ULONG Size, PPHYSICAL_ADDRESS PhysicalAddressConstraint)
{
    UNREFERENCED_PARAMETER(PhysicalAddressConstraint);
    FreeBuffer();
    if (Size == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    m_pBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, Size, STD_TAG));
    if (m_pBuffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memset(m_pBuffer, 0, Size);
    m_AllocatedSize = Size;
    m_BufferSize = Size;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(void) CMiniportWaveCyclicStream::FreeBuffer()
{
    if (m_pBuffer != nullptr) {
        ExFreePoolWithTag(m_pBuffer, STD_TAG);
        m_pBuffer = nullptr;
    }
    m_AllocatedSize = 0;
    m_BufferSize = 0;
}

STDMETHODIMP_(ULONG) CMiniportWaveCyclicStream::TransferCount() { return m_AllocatedSize; }

STDMETHODIMP_(ULONG) CMiniportWaveCyclicStream::MaximumBufferSize() { return STD_CYCLIC_BUFFER_SIZE; }

STDMETHODIMP_(ULONG) CMiniportWaveCyclicStream::AllocatedBufferSize() { return m_AllocatedSize; }

STDMETHODIMP_(ULONG) CMiniportWaveCyclicStream::BufferSize() { return m_BufferSize; }

STDMETHODIMP_(void) CMiniportWaveCyclicStream::SetBufferSize(ULONG Size)
{
    if (Size <= m_AllocatedSize) {
        m_BufferSize = Size;
    }
}

STDMETHODIMP_(PVOID) CMiniportWaveCyclicStream::SystemAddress() { return m_pBuffer; }

STDMETHODIMP_(PHYSICAL_ADDRESS) CMiniportWaveCyclicStream::PhysicalAddress()
{
    PHYSICAL_ADDRESS address;
    address.QuadPart = (LONGLONG)(ULONG_PTR)m_pBuffer;
    return address;
}

STDMETHODIMP_(PADAPTER_OBJECT) CMiniportWaveCyclicStream::GetAdapterObject() { return nullptr; }

BOOLEAN CMiniportWaveCyclicStream::InsideBuffer(PUCHAR Address, ULONG ByteCount) const
{
    return m_pBuffer != nullptr && ByteCount != 0 && Address >= m_pBuffer && Address < m_pBuffer + m_AllocatedSize;
}

// The part up to the buffer's end is queued first, the rest from the buffer's start. The rest
// never runs over the bytes just written: a count larger than the buffer is cut there.
STDMETHODIMP_(void) CMiniportWaveCyclicStream::CopyTo(PVOID Destination, PVOID Source, ULONG ByteCount)
{
    PUCHAR destination = static_cast<PUCHAR>(Destination);
    PUCHAR source = static_cast<PUCHAR>(Source);
    if (!InsideBuffer(destination, ByteCount) || source == nullptr) {
        return;
    }
    PADAPTERCOMMON adapter = m_pMiniport->Adapter();
    ULONG toEnd = (ULONG)(m_pBuffer + m_AllocatedSize - destination);
    ULONG first = ByteCount < toEnd ? ByteCount : toEnd;
    memcpy(destination, source, first);
    adapter->QueueRenderBuffer(destination, first);
    ULONG rest = ByteCount - first;
    ULONG before = (ULONG)(destination - m_pBuffer);
    if (rest > before) {
        rest = before;
    }
    if (rest != 0) {
        memcpy(m_pBuffer, source + first, rest);
        adapter->QueueRenderBuffer(m_pBuffer, rest);
    }
}

STDMETHODIMP_(void) CMiniportWaveCyclicStream::CopyFrom(PVOID Destination, PVOID Source, ULONG ByteCount)
{
    PUCHAR destination = static_cast<PUCHAR>(Destination);
    PUCHAR source = static_cast<PUCHAR>(Source);
    if (!InsideBuffer(source, ByteCount) || destination == nullptr) {
        return;
    }
    PADAPTERCOMMON adapter = m_pMiniport->Adapter();
    ULONG toEnd = (ULONG)(m_pBuffer + m_AllocatedSize - source);
    ULONG first = ByteCount < toEnd ? ByteCount : toEnd;
    memcpy(destination, source, first);
    adapter->QueueCaptureBuffer(source, first);
    ULONG rest = ByteCount - first;
    ULONG before = (ULONG)(source - m_pBuffer);
    if (rest > before) {
        rest = before;
    }
    if (rest != 0) {
        memcpy(destination + first, m_pBuffer, rest);
        adapter->QueueCaptureBuffer(m_pBuffer, rest);
    }
}
