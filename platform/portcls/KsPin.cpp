// A WaveRT pin instance: created from a connect request through the miniport's NewStream,
// it steps the stream's state one neighbour at a time, allocates and maps the cyclic buffer,
// registers notification events, reports position and latency, and on close walks the stream
// back to STOP and frees what it holds.
#include <cstring>
#include "portcls_internal.h"
#include <platform/kernel_handles.h>
#include <platform/verifier.h>

namespace platform {
namespace {

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

ULONG verb_of(const KSPROPERTY *property)
{
    return property->Flags & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT);
}

class ks_pin final : public ks_object {
public:
    ks_pin(IUnknown *unknown, pc_port *port, ULONG pin_id)
        : ks_object(ks_kind::pin), m_port_unknown(unknown), m_port(port), m_pin_id(pin_id)
    {
        ++pc_live_objects();
    }
    ~ks_pin() override;

    NTSTATUS open(const KSDATAFORMAT *format, ULONG format_size, bool capture);
    NTSTATUS property(const UCHAR *request, ULONG request_size, void *value, ULONG *value_size,
                      PIRP irp) override;

private:
    NTSTATUS set_state(KSSTATE target);
    NTSTATUS allocate_buffer(ULONG requested, ULONG notifications, bool with_notification, void *value,
                             ULONG *value_size);
    void free_buffer();
    NTSTATUS notification_event(const UCHAR *request, ULONG request_size, bool add);
    NTSTATUS rt_audio(const UCHAR *request, ULONG request_size, void *value, ULONG *value_size);

    IUnknown *m_port_unknown; // counted
    pc_port *m_port;
    ULONG m_pin_id;
    bool m_instance_held = false;
    IMiniportWaveRTStream *m_stream = nullptr;                    // counted
    IMiniportWaveRTStreamNotification *m_notification = nullptr; // counted, null without support
    IPortWaveRTStream *m_port_stream = nullptr;                   // counted
    KSSTATE m_state = KSSTATE_STOP;
    PMDL m_buffer_mdl = nullptr;
    ULONG m_buffer_size = 0;
    bool m_buffer_notifies = false;
    PVOID m_port_mapping = nullptr; // our own mapping when the miniport left the MDL unmapped
    std::vector<PKEVENT> m_events;
};

ks_pin::~ks_pin()
{
    if (m_stream != nullptr) {
        set_state(KSSTATE_STOP);
        for (PKEVENT event : m_events) {
            m_notification->UnregisterNotificationEvent(event);
        }
        m_events.clear();
        free_buffer();
        if (m_notification != nullptr) {
            m_notification->Release();
        }
        m_stream->Release();
    }
    if (m_port_stream != nullptr) {
        m_port_stream->Release();
    }
    if (m_instance_held) {
        m_port->release_pin_instance(m_pin_id);
    }
    m_port->object_closed();
    m_port_unknown->Release();
    --pc_live_objects();
}

NTSTATUS ks_pin::open(const KSDATAFORMAT *format, ULONG format_size, bool capture)
{
    m_port->object_opened();
    if (!m_port->acquire_pin_instance(m_pin_id)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    m_instance_held = true;
    std::vector<UCHAR> copy(reinterpret_cast<const UCHAR *>(format), reinterpret_cast<const UCHAR *>(format) + format_size);
    NTSTATUS status = m_port->new_pin_stream(m_pin_id, capture ? TRUE : FALSE,
                                             reinterpret_cast<PKSDATAFORMAT>(copy.data()), &m_stream, &m_port_stream);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!NT_SUCCESS(m_stream->QueryInterface(IID_IMiniportWaveRTStreamNotification,
                                             reinterpret_cast<void **>(&m_notification)))) {
        m_notification = nullptr;
    }
    return STATUS_SUCCESS;
}

// The stream walks to the target through each neighbouring state; a refused step leaves the
// pin in the last state reached.
NTSTATUS ks_pin::set_state(KSSTATE target)
{
    while (m_state != target) {
        KSSTATE next = (KSSTATE)(m_state < target ? m_state + 1 : m_state - 1);
        NTSTATUS status = m_stream->SetState(next);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        m_state = next;
    }
    return STATUS_SUCCESS;
}

void ks_pin::free_buffer()
{
    if (m_buffer_mdl == nullptr) {
        return;
    }
    if (m_port_mapping != nullptr) {
        MmUnmapLockedPages(m_port_mapping, m_buffer_mdl);
        m_port_mapping = nullptr;
    }
    if (m_buffer_notifies) {
        m_notification->FreeBufferWithNotification(m_buffer_mdl, m_buffer_size);
    } else {
        m_stream->FreeAudioBuffer(m_buffer_mdl, m_buffer_size);
    }
    m_buffer_mdl = nullptr;
    m_buffer_size = 0;
    m_buffer_notifies = false;
}

NTSTATUS ks_pin::allocate_buffer(ULONG requested, ULONG notifications, bool with_notification, void *value,
                                 ULONG *value_size)
{
    if (*value_size == 0) {
        *value_size = sizeof(KSRTAUDIO_BUFFER);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (*value_size < sizeof(KSRTAUDIO_BUFFER)) {
        *value_size = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (with_notification && m_notification == nullptr) {
        *value_size = 0;
        return STATUS_NOT_SUPPORTED;
    }
    if (m_state != KSSTATE_STOP) {
        *value_size = 0;
        return STATUS_INVALID_DEVICE_STATE;
    }
    free_buffer();
    PMDL mdl = nullptr;
    ULONG actual = 0;
    ULONG offset = 0;
    MEMORY_CACHING_TYPE cache = MmCached;
    NTSTATUS status = with_notification
                          ? m_notification->AllocateBufferWithNotification(notifications, requested, &mdl, &actual,
                                                                           &offset, &cache)
                          : m_stream->AllocateAudioBuffer(requested, &mdl, &actual, &offset, &cache);
    if (NT_SUCCESS(status) && mdl == nullptr) {
        status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status)) {
        *value_size = 0;
        return status;
    }
    m_buffer_mdl = mdl;
    m_buffer_size = actual;
    m_buffer_notifies = with_notification;
    PUCHAR base = nullptr;
    if ((mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) != 0 && mdl->MappedSystemVa != nullptr) {
        base = static_cast<PUCHAR>(mdl->MappedSystemVa);
    } else {
        m_port_mapping = MmMapLockedPagesSpecifyCache(mdl, KernelMode, cache, nullptr, FALSE, NormalPagePriority);
        base = static_cast<PUCHAR>(m_port_mapping);
    }
    if (base == nullptr) {
        free_buffer();
        *value_size = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KSRTAUDIO_BUFFER answer{};
    answer.BufferAddress = base + offset;
    answer.ActualBufferSize = actual;
    answer.CallMemoryBarrier = FALSE;
    return put(value, value_size, &answer, sizeof(answer));
}

NTSTATUS ks_pin::notification_event(const UCHAR *request, ULONG request_size, bool add)
{
    if (request_size < sizeof(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_notification == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    HANDLE handle = reinterpret_cast<const KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY *>(request)->NotificationEvent;
    PKEVENT event = static_cast<PKEVENT>(kernel_handle_lookup(handle, kernel_handle_type::event));
    if (event == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (add) {
        NTSTATUS status = m_notification->RegisterNotificationEvent(event);
        if (NT_SUCCESS(status)) {
            m_events.push_back(event);
        } else {
            // The miniport drops an event registered twice; the pin forgets it as well.
            std::erase(m_events, event);
        }
        return status;
    }
    NTSTATUS status = m_notification->UnregisterNotificationEvent(event);
    std::erase(m_events, event);
    return status;
}

NTSTATUS ks_pin::rt_audio(const UCHAR *request, ULONG request_size, void *value, ULONG *value_size)
{
    const KSPROPERTY *property = reinterpret_cast<const KSPROPERTY *>(request);
    switch (property->Id) {
    case KSPROPERTY_RTAUDIO_BUFFER: {
        if (request_size < sizeof(KSRTAUDIO_BUFFER_PROPERTY)) {
            return STATUS_INVALID_PARAMETER;
        }
        const auto *ask = reinterpret_cast<const KSRTAUDIO_BUFFER_PROPERTY *>(request);
        return allocate_buffer(ask->RequestedBufferSize, 0, false, value, value_size);
    }
    case KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION: {
        if (request_size < sizeof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION)) {
            return STATUS_INVALID_PARAMETER;
        }
        const auto *ask = reinterpret_cast<const KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION *>(request);
        return allocate_buffer(ask->RequestedBufferSize, ask->NotificationCount, true, value, value_size);
    }
    case KSPROPERTY_RTAUDIO_HWLATENCY: {
        KSRTAUDIO_HWLATENCY latency{};
        m_stream->GetHWLatency(&latency);
        return put(value, value_size, &latency, sizeof(latency));
    }
    case KSPROPERTY_RTAUDIO_POSITIONREGISTER:
    case KSPROPERTY_RTAUDIO_CLOCKREGISTER: {
        KSRTAUDIO_HWREGISTER reg{};
        NTSTATUS status = property->Id == KSPROPERTY_RTAUDIO_POSITIONREGISTER ? m_stream->GetPositionRegister(&reg)
                                                                              : m_stream->GetClockRegister(&reg);
        if (!NT_SUCCESS(status)) {
            *value_size = 0;
            return status;
        }
        return put(value, value_size, &reg, sizeof(reg));
    }
    case KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT:
        *value_size = 0;
        return notification_event(request, request_size, true);
    case KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT:
        *value_size = 0;
        return notification_event(request, request_size, false);
    default:
        return STATUS_NOT_FOUND;
    }
}

NTSTATUS ks_pin::property(const UCHAR *request, ULONG request_size, void *value, ULONG *value_size, PIRP irp)
{
    const KSPROPERTY *property = reinterpret_cast<const KSPROPERTY *>(request);
    ULONG verb = verb_of(property);
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
    if (IsEqualGUID(property->Set, KSPROPSETID_RtAudio)) {
        if (verb != KSPROPERTY_TYPE_GET) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        return rt_audio(request, request_size, value, value_size);
    }
    if (IsEqualGUID(property->Set, KSPROPSETID_Audio) && property->Id == KSPROPERTY_AUDIO_POSITION &&
        verb == KSPROPERTY_TYPE_GET) {
        KSAUDIO_POSITION position{};
        NTSTATUS status = m_stream->GetPosition(&position);
        if (!NT_SUCCESS(status)) {
            *value_size = 0;
            return status;
        }
        return put(value, value_size, &position, sizeof(position));
    }
    const PCPIN_DESCRIPTOR *pin = pc_pin_descriptor(m_port->filter(), m_pin_id);
    bool found = false;
    NTSTATUS status = pc_dispatch_automation(pin != nullptr ? pin->AutomationTable : nullptr, property,
                                             m_port->miniport(), m_stream,
                                             PCFILTER_NODE, const_cast<UCHAR *>(request) + sizeof(KSPROPERTY),
                                             request_size - sizeof(KSPROPERTY), value, value_size, irp, &found);
    return found ? status : STATUS_NOT_FOUND;
}

} // namespace

NTSTATUS ks_create_pin(IUnknown *port_unknown, pc_port *port, const KSPIN_CONNECT *connect, ULONG connect_size,
                       ks_object **pin_object)
{
    *pin_object = nullptr;
    const PCPIN_DESCRIPTOR *pin =
        connect_size >= sizeof(KSPIN_CONNECT) ? pc_pin_descriptor(port->filter(), connect->PinId) : nullptr;
    if (pin == nullptr || connect_size < sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT)) {
        port_unknown->Release();
        return STATUS_INVALID_PARAMETER;
    }
    KSPIN_COMMUNICATION communication = pin->KsPinDescriptor.Communication;
    if (communication != KSPIN_COMMUNICATION_SINK && communication != KSPIN_COMMUNICATION_BOTH) {
        port_unknown->Release();
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const KSDATAFORMAT *format = reinterpret_cast<const KSDATAFORMAT *>(connect + 1);
    ULONG format_size = connect_size - sizeof(KSPIN_CONNECT);
    if (!pc_format_matches_pin(pin, format, format_size)) {
        port_unknown->Release();
        return STATUS_NO_MATCH;
    }
    bool capture = pin->KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_OUT;
    if (port->makes_own_pins()) {
        return port->create_pin_object(port_unknown, connect->PinId, format, capture, pin_object);
    }
    ks_pin *object = new ks_pin(port_unknown, port, connect->PinId);
    NTSTATUS status = object->open(format, format->FormatSize, pin->KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_OUT);
    if (!NT_SUCCESS(status)) {
        delete object;
        return status;
    }
    *pin_object = object;
    return STATUS_SUCCESS;
}

} // namespace platform
