// A WaveCyclic pin instance. The audio engine streams through IOCTL_KS_WRITE_STREAM (render)
// and IOCTL_KS_READ_STREAM (capture): each request carries whole frames in its buffered
// system buffer and stays pending in the pin's cancel-safe queue until the port has copied all
// of it into the stream's cyclic buffer with IDmaChannel::CopyTo, or filled all of it from the
// buffer with IDmaChannel::CopyFrom. The copies run whenever the stream's service group
// services the pin, when a request arrives and when the position is read; how far they may go
// is what the stream's GetPosition says the device has played or written. Requests are refused
// in STOP and cancelled when the pin returns to STOP or its handle is cleaned up; they fail
// with the stream's status once it can no longer report a position (its device is gone).
#include <cstring>
#include "PortWaveCyclic.h"
#include "PortWaveRTStream.h"
#include <platform/verifier.h>

namespace platform {
namespace {

class cyclic_pin;

// The pin's member of its service group. Its lock is the pin's service lock and outlives the
// pin, so a group that still runs after the pin has gone finds no pin.
class cyclic_sink final : public CUnknown, public IServiceSink {
public:
    DECLARE_STD_UNKNOWN();
    explicit cyclic_sink(PUNKNOWN outer) : CUnknown(outer)
    {
        ++pc_live_objects();
        KeInitializeSpinLock(&lock);
    }
    ~cyclic_sink() override { --pc_live_objects(); }
    STDMETHODIMP_(void) RequestService() override;

    KSPIN_LOCK lock;
    cyclic_pin *pin = nullptr; // under lock
};

STDMETHODIMP cyclic_sink::NonDelegatingQueryInterface(REFIID iid, PVOID *ppvObject)
{
    if (ppvObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUID(iid, IID_IServiceSink)) {
        *ppvObject = static_cast<IServiceSink *>(this);
        NonDelegatingAddRef();
        return STATUS_SUCCESS;
    }
    return CUnknown::NonDelegatingQueryInterface(iid, ppvObject);
}

// The pending stream requests, cancellable while they wait.
struct irp_queue {
    IO_CSQ csq;
    KSPIN_LOCK lock;
    LIST_ENTRY irps;
};

irp_queue *queue_of(PIO_CSQ csq) { return CONTAINING_RECORD(csq, irp_queue, csq); }

VOID csq_insert(PIO_CSQ csq, PIRP irp) { InsertTailList(&queue_of(csq)->irps, &irp->Tail.Overlay.ListEntry); }

VOID csq_remove(PIO_CSQ, PIRP irp) { RemoveEntryList(&irp->Tail.Overlay.ListEntry); }

PIRP csq_peek(PIO_CSQ csq, PIRP irp, PVOID)
{
    PLIST_ENTRY head = &queue_of(csq)->irps;
    PLIST_ENTRY next = irp == nullptr ? head->Flink : irp->Tail.Overlay.ListEntry.Flink;
    return next == head ? nullptr : CONTAINING_RECORD(next, IRP, Tail.Overlay.ListEntry);
}

VOID csq_acquire(PIO_CSQ csq, PKIRQL irql) { KeAcquireSpinLock(&queue_of(csq)->lock, irql); }

VOID csq_release(PIO_CSQ csq, KIRQL irql) { KeReleaseSpinLock(&queue_of(csq)->lock, irql); }

VOID csq_complete_cancelled(PIO_CSQ, PIRP irp)
{
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS put(void *value, ULONG *value_size, const void *data, ULONG size)
{
    if (*value_size == 0) {
        *value_size = size;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (*value_size < size) {
        *value_size = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(value, data, size);
    *value_size = size;
    return STATUS_SUCCESS;
}

const WAVEFORMATEX *wave_of(const KSDATAFORMAT *format)
{
    if (IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) &&
        format->FormatSize >= sizeof(KSDATAFORMAT_WAVEFORMATEX)) {
        return &reinterpret_cast<const KSDATAFORMAT_WAVEFORMATEX *>(format)->WaveFormatEx;
    }
    if (IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_DSOUND) &&
        format->FormatSize >= sizeof(KSDATAFORMAT_DSOUND)) {
        return &reinterpret_cast<const KSDATAFORMAT_DSOUND *>(format)->BufferDesc.WaveFormatEx;
    }
    return nullptr;
}

// The notification interval the port asks of every stream.
constexpr ULONG notification_ms = 10;

class cyclic_pin final : public ks_object {
public:
    cyclic_pin(IUnknown *unknown, pc_port *port, pc_cyclic_port *cyclic, ULONG pin_id, bool capture)
        : ks_object(ks_kind::pin), m_port_unknown(unknown), m_port(port), m_cyclic(cyclic), m_pin_id(pin_id),
          m_capture(capture)
    {
        ++pc_live_objects();
        KeInitializeSpinLock(&m_queue.lock);
        InitializeListHead(&m_queue.irps);
        IoCsqInitialize(&m_queue.csq, csq_insert, csq_remove, csq_peek, csq_acquire, csq_release,
                        csq_complete_cancelled);
        m_port->object_opened();
    }
    ~cyclic_pin() override;

    NTSTATUS open(IMiniportWaveCyclic *miniport, const KSDATAFORMAT *format);
    NTSTATUS property(const UCHAR *request, ULONG request_size, void *value, ULONG *value_size,
                      PIRP irp) override;
    NTSTATUS stream_io(PIRP irp) override;
    void cleanup() override { cancel_all(); }

    // Runs with the sink's lock held (DISPATCH_LEVEL); finished requests are put on done.
    void service_locked(PLIST_ENTRY done);
    // Takes the lock, services, and completes what finished.
    void service();

private:
    // With the sink's lock held: every waiting request, the partly copied one first, is put on
    // done with status.
    void fail_locked(NTSTATUS status, PLIST_ENTRY done);
    NTSTATUS set_state(KSSTATE target);
    void cancel_all();
    static void complete_list(PLIST_ENTRY done);
    ULONG request_length(PIRP irp) const;

    IUnknown *m_port_unknown; // counted
    pc_port *m_port;
    pc_cyclic_port *m_cyclic;
    bool m_group_known = false; // the port holds m_group among its pins' groups
    ULONG m_pin_id;
    bool m_capture;
    bool m_instance_held = false;
    std::vector<UCHAR> m_format;
    IMiniportWaveCyclicStream *m_stream = nullptr; // counted
    IDmaChannel *m_dma = nullptr;                  // counted
    IServiceGroup *m_group = nullptr;              // counted
    cyclic_sink *m_sink = nullptr;                 // counted
    PUCHAR m_buffer = nullptr;
    ULONG m_size = 0;
    ULONG m_block = 1;
    irp_queue m_queue;

    // Under the sink's lock.
    KSSTATE m_state = KSSTATE_STOP;
    PIRP m_current = nullptr; // taken from the queue, partly copied
    ULONG m_current_done = 0;
    ULONG m_offset = 0;            // where the port copies next in the buffer
    ULONG m_last_position = 0;     // the stream's position at the last service
    ULONGLONG m_device_bytes = 0;  // played (render) or written by the device (capture)
    ULONGLONG m_port_bytes = 0;    // copied in (render) or out (capture) by the port
};

STDMETHODIMP_(void) cyclic_sink::RequestService()
{
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    if (pin != nullptr) {
        pin->service_locked(&done);
    }
    KeReleaseSpinLock(&lock, irql);
    while (!IsListEmpty(&done)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&done), IRP, Tail.Overlay.ListEntry);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

cyclic_pin::~cyclic_pin()
{
    if (m_stream != nullptr) {
        set_state(KSSTATE_STOP);
    }
    cancel_all();
    if (m_sink != nullptr) {
        KIRQL irql;
        KeAcquireSpinLock(&m_sink->lock, &irql);
        m_sink->pin = nullptr;
        KeReleaseSpinLock(&m_sink->lock, irql);
        if (m_group != nullptr) {
            m_group->RemoveMember(m_sink);
        }
        m_sink->Release();
    }
    if (m_group_known) {
        m_cyclic->pin_group_closed(m_group);
    }
    if (m_group != nullptr) {
        m_group->Release();
    }
    if (m_dma != nullptr) {
        m_dma->Release();
    }
    if (m_stream != nullptr) {
        m_stream->Release();
    }
    if (m_instance_held) {
        m_port->release_pin_instance(m_pin_id);
    }
    m_port->object_closed();
    m_port_unknown->Release();
    --pc_live_objects();
}

NTSTATUS cyclic_pin::open(IMiniportWaveCyclic *miniport, const KSDATAFORMAT *format)
{
    if (!m_port->acquire_pin_instance(m_pin_id)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    m_instance_held = true;
    NTSTATUS status = STATUS_SUCCESS;
    const UCHAR *bytes = reinterpret_cast<const UCHAR *>(format);
    m_format.assign(bytes, bytes + format->FormatSize);
    PKSDATAFORMAT own = reinterpret_cast<PKSDATAFORMAT>(m_format.data());
    status = miniport->NewStream(&m_stream, nullptr, NonPagedPoolNx, m_pin_id, m_capture ? TRUE : FALSE, own,
                                 &m_dma, &m_group);
    if (NT_SUCCESS(status) && (m_stream == nullptr || m_dma == nullptr || m_group == nullptr)) {
        status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const WAVEFORMATEX *wave = wave_of(own);
    if (wave != nullptr) {
        m_block = wave->nBlockAlign != 0 ? wave->nBlockAlign : (ULONG)wave->nChannels * wave->wBitsPerSample / 8;
    }
    if (m_block == 0) {
        m_block = 1;
    }
    m_buffer = static_cast<PUCHAR>(m_dma->SystemAddress());
    m_size = m_dma->BufferSize() / m_block * m_block;
    if (m_buffer == nullptr || m_size < 2 * m_block) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG framing = 0;
    m_stream->SetNotificationFreq(notification_ms, &framing);
    m_sink = new (NonPagedPoolNx, pc_pool_tag) cyclic_sink(nullptr);
    if (m_sink == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    m_sink->AddRef();
    m_sink->pin = this;
    status = m_group->AddMember(m_sink);
    if (NT_SUCCESS(status)) {
        m_cyclic->pin_group_opened(m_group);
        m_group_known = true;
    }
    return status;
}

ULONG cyclic_pin::request_length(PIRP irp) const
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    return m_capture ? stack->Parameters.DeviceIoControl.OutputBufferLength
                     : stack->Parameters.DeviceIoControl.InputBufferLength;
}

// Render keeps at least one frame of the buffer unwritten, so that a full buffer and an empty
// one never give the same position and every position step is unambiguous.
void cyclic_pin::service_locked(PLIST_ENTRY done)
{
    if (m_state == KSSTATE_STOP) {
        return;
    }
    ULONG position = 0;
    NTSTATUS status = m_stream->GetPosition(&position);
    if (!NT_SUCCESS(status)) {
        // A stream that lost its device moves no more audio: its requests fail at once.
        fail_locked(status, done);
        return;
    }
    position %= m_size;
    ULONG step = (position + m_size - m_last_position) % m_size;
    m_last_position = position;
    if (!m_capture) {
        ULONGLONG ahead = m_port_bytes - m_device_bytes;
        m_device_bytes += step < ahead ? step : ahead;
    } else {
        m_device_bytes += step;
    }
    for (;;) {
        ULONGLONG room = m_capture ? m_device_bytes - m_port_bytes
                                   : (m_size - m_block) - (m_port_bytes - m_device_bytes);
        if (room == 0) {
            break;
        }
        if (m_current == nullptr) {
            m_current = IoCsqRemoveNextIrp(&m_queue.csq, nullptr);
            m_current_done = 0;
            if (m_current == nullptr) {
                break;
            }
        }
        PUCHAR data = static_cast<PUCHAR>(m_current->AssociatedIrp.SystemBuffer);
        ULONG length = request_length(m_current);
        ULONG n = length - m_current_done;
        if (room < n) {
            n = (ULONG)room;
        }
        if (m_size - m_offset < n) {
            n = m_size - m_offset;
        }
        if (m_capture) {
            m_dma->CopyFrom(data + m_current_done, m_buffer + m_offset, n);
        } else {
            m_dma->CopyTo(m_buffer + m_offset, data + m_current_done, n);
        }
        m_offset = (m_offset + n) % m_size;
        m_port_bytes += n;
        m_current_done += n;
        if (m_current_done == length) {
            m_current->IoStatus.Status = STATUS_SUCCESS;
            m_current->IoStatus.Information = length;
            InsertTailList(done, &m_current->Tail.Overlay.ListEntry);
            m_current = nullptr;
        }
    }
}

void cyclic_pin::fail_locked(NTSTATUS status, PLIST_ENTRY done)
{
    if (m_current != nullptr) {
        m_current->IoStatus.Status = status;
        m_current->IoStatus.Information = 0;
        InsertTailList(done, &m_current->Tail.Overlay.ListEntry);
        m_current = nullptr;
    }
    while (PIRP irp = IoCsqRemoveNextIrp(&m_queue.csq, nullptr)) {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        InsertTailList(done, &irp->Tail.Overlay.ListEntry);
    }
}

void cyclic_pin::complete_list(PLIST_ENTRY done)
{
    while (!IsListEmpty(done)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(done), IRP, Tail.Overlay.ListEntry);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

void cyclic_pin::service()
{
    if (m_sink != nullptr) {
        m_sink->RequestService();
    }
}

void cyclic_pin::cancel_all()
{
    LIST_ENTRY done;
    InitializeListHead(&done);
    if (m_sink != nullptr) {
        KIRQL irql;
        KeAcquireSpinLock(&m_sink->lock, &irql);
        fail_locked(STATUS_CANCELLED, &done);
        KeReleaseSpinLock(&m_sink->lock, irql);
    } else {
        fail_locked(STATUS_CANCELLED, &done);
    }
    complete_list(&done);
}

// One neighbouring step at a time. The pin leaves a running state before the stream does, so
// no service copies into a stream that is stopping; a refused step restores the state.
NTSTATUS cyclic_pin::set_state(KSSTATE target)
{
    NTSTATUS status = STATUS_SUCCESS;
    while (m_state != target && NT_SUCCESS(status)) {
        KSSTATE from = m_state;
        KSSTATE next = (KSSTATE)(from < target ? from + 1 : from - 1);
        KIRQL irql;
        if (next == KSSTATE_STOP) {
            KeAcquireSpinLock(&m_sink->lock, &irql);
            m_state = KSSTATE_STOP;
            KeReleaseSpinLock(&m_sink->lock, irql);
        }
        status = m_stream->SetState(next);
        KeAcquireSpinLock(&m_sink->lock, &irql);
        if (!NT_SUCCESS(status)) {
            m_state = from;
        } else {
            if (from == KSSTATE_STOP) {
                m_offset = 0;
                m_last_position = 0;
                m_device_bytes = 0;
                m_port_bytes = 0;
            }
            m_state = next;
        }
        KeReleaseSpinLock(&m_sink->lock, irql);
        if (NT_SUCCESS(status) && next == KSSTATE_STOP) {
            cancel_all();
        }
    }
    if (m_state != KSSTATE_STOP) {
        service();
    }
    return status;
}

NTSTATUS cyclic_pin::stream_io(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bool write = stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_KS_WRITE_STREAM;
    if (write == m_capture) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ULONG length = request_length(irp);
    if (length == 0 || length % m_block != 0 || irp->AssociatedIrp.SystemBuffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    KIRQL irql;
    KeAcquireSpinLock(&m_sink->lock, &irql);
    bool stopped = m_state == KSSTATE_STOP;
    if (!stopped) {
        IoCsqInsertIrp(&m_queue.csq, irp, nullptr);
    }
    KeReleaseSpinLock(&m_sink->lock, irql);
    if (stopped) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    service();
    return STATUS_PENDING;
}

NTSTATUS cyclic_pin::property(const UCHAR *request, ULONG request_size, void *value, ULONG *value_size, PIRP irp)
{
    const KSPROPERTY *property = reinterpret_cast<const KSPROPERTY *>(request);
    ULONG verb = property->Flags & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT);
    if ((property->Flags & KSPROPERTY_TYPE_TOPOLOGY) != 0) {
        return ks_filter_property(m_port, m_stream, request, request_size, value, value_size, irp);
    }
    if (IsEqualGUID(property->Set, KSPROPSETID_Connection) && property->Id == KSPROPERTY_CONNECTION_STATE) {
        if (verb == KSPROPERTY_TYPE_GET) {
            ULONG state = m_state;
            return put(value, value_size, &state, sizeof(state));
        }
        if (verb == KSPROPERTY_TYPE_SET) {
            if (*value_size < sizeof(ULONG)) {
                *value_size = 0;
                return STATUS_BUFFER_TOO_SMALL;
            }
            ULONG target;
            std::memcpy(&target, value, sizeof(target));
            *value_size = 0;
            if (target > KSSTATE_RUN) {
                return STATUS_INVALID_PARAMETER;
            }
            return set_state((KSSTATE)target);
        }
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (IsEqualGUID(property->Set, KSPROPSETID_Audio) && property->Id == KSPROPERTY_AUDIO_POSITION &&
        verb == KSPROPERTY_TYPE_GET) {
        // Render: played and written bytes; capture: bytes the device wrote and the port read.
        LIST_ENTRY done;
        InitializeListHead(&done);
        KSAUDIO_POSITION position{};
        KIRQL irql;
        KeAcquireSpinLock(&m_sink->lock, &irql);
        service_locked(&done);
        position.PlayOffset = m_device_bytes;
        position.WriteOffset = m_port_bytes;
        KeReleaseSpinLock(&m_sink->lock, irql);
        complete_list(&done);
        return put(value, value_size, &position, sizeof(position));
    }
    const PCPIN_DESCRIPTOR *pin = pc_pin_descriptor(m_port->filter(), m_pin_id);
    bool found = false;
    NTSTATUS status = pc_dispatch_automation(pin != nullptr ? pin->AutomationTable : nullptr, property,
                                             m_port->miniport(), m_stream, PCFILTER_NODE,
                                             const_cast<UCHAR *>(request) + sizeof(KSPROPERTY),
                                             request_size - sizeof(KSPROPERTY), value, value_size, irp, &found);
    return found ? status : STATUS_NOT_FOUND;
}

} // namespace

NTSTATUS pc_create_cyclic_pin(IUnknown *port_unknown, pc_port *port, pc_cyclic_port *cyclic,
                              IMiniportWaveCyclic *miniport, ULONG pin_id, const KSDATAFORMAT *format, bool capture,
                              ks_object **pin)
{
    *pin = nullptr;
    cyclic_pin *object = new cyclic_pin(port_unknown, port, cyclic, pin_id, capture);
    NTSTATUS status = object->open(miniport, format);
    if (!NT_SUCCESS(status)) {
        delete object;
        return status;
    }
    *pin = object;
    return STATUS_SUCCESS;
}

} // namespace platform
