// KS requests on a subdevice: filter and pin creates, closes and IOCTL_KS_PROPERTY, and the
// filter's properties: pin factories, data-range intersection, signal-processing modes, node
// properties and the miniport's filter and pin automation tables.
#include <cstring>
#include <set>
#include "portcls_internal.h"
#include <platform/ks_client.h>
#include <platform/verifier.h>

namespace platform {
namespace {

std::mutex g_objects_lock;
std::set<ks_object *> g_objects;

void track(ks_object *object)
{
    std::lock_guard<std::mutex> guard(g_objects_lock);
    g_objects.insert(object);
}

void untrack(ks_object *object)
{
    std::lock_guard<std::mutex> guard(g_objects_lock);
    g_objects.erase(object);
}

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Writes a fixed-size answer with the size-query convention: a zero-length buffer learns the
// size (STATUS_BUFFER_OVERFLOW), a short one fails.
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

ULONG align8(ULONG n) { return (n + 7) & ~7u; }

ULONG verb_of(const KSPROPERTY *property)
{
    return property->Flags & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT);
}

// KSPROPERTY_PIN_DATARANGES: a KSMULTIPLE_ITEM, then each range 8-aligned, a flagged range
// followed by its attribute list.
NTSTATUS pin_data_ranges(const PCPIN_DESCRIPTOR *pin, void *value, ULONG *value_size)
{
    std::vector<const KSDATARANGE *> ranges = pc_pin_ranges(pin);
    ULONG total = sizeof(KSMULTIPLE_ITEM);
    for (const KSDATARANGE *range : ranges) {
        total += align8(range->FormatSize);
        if (const KSMULTIPLE_ITEM *attributes = pc_range_attributes(pin, range)) {
            total += align8(attributes->Size);
        }
    }
    if (*value_size == 0) {
        *value_size = total;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (*value_size < total) {
        *value_size = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    UCHAR *out = static_cast<UCHAR *>(value);
    std::memset(out, 0, total);
    KSMULTIPLE_ITEM header{total, (ULONG)ranges.size()};
    std::memcpy(out, &header, sizeof(header));
    ULONG offset = sizeof(KSMULTIPLE_ITEM);
    for (const KSDATARANGE *range : ranges) {
        std::memcpy(out + offset, range, range->FormatSize);
        offset += align8(range->FormatSize);
        if (const KSMULTIPLE_ITEM *attributes = pc_range_attributes(pin, range)) {
            std::memcpy(out + offset, attributes, attributes->Size);
            offset += align8(attributes->Size);
        }
    }
    *value_size = total;
    return STATUS_SUCCESS;
}

bool guid_matches(const GUID &a, const GUID &b, const GUID &wildcard)
{
    return IsEqualGUID(a, b) || IsEqualGUID(a, wildcard) || IsEqualGUID(b, wildcard);
}

// KSPROPERTY_PIN_DATAINTERSECTION: the client's ranges in order, each against the pin's
// ranges; the first answer other than STATUS_NO_MATCH is the result.
NTSTATUS pin_intersection(pc_port *port, ULONG pin_id, const PCPIN_DESCRIPTOR *pin, const UCHAR *items,
                          ULONG items_size, void *value, ULONG *value_size)
{
    if (items_size < sizeof(KSMULTIPLE_ITEM)) {
        return STATUS_INVALID_PARAMETER;
    }
    KSMULTIPLE_ITEM header;
    std::memcpy(&header, items, sizeof(header));
    if (header.Size < sizeof(KSMULTIPLE_ITEM) || header.Size > items_size) {
        return STATUS_INVALID_PARAMETER;
    }
    std::vector<const KSDATARANGE *> own = pc_pin_ranges(pin);
    ULONG offset = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < header.Count; ++i) {
        if (header.Size - offset < sizeof(KSDATARANGE)) {
            return STATUS_INVALID_PARAMETER;
        }
        const KSDATARANGE *client = reinterpret_cast<const KSDATARANGE *>(items + offset);
        if (client->FormatSize < sizeof(KSDATARANGE) || client->FormatSize > header.Size - offset) {
            return STATUS_INVALID_PARAMETER;
        }
        offset += align8(client->FormatSize);
        if ((client->Flags & KSDATARANGE_ATTRIBUTES) != 0) {
            if (offset > header.Size || header.Size - offset < sizeof(KSMULTIPLE_ITEM)) {
                return STATUS_INVALID_PARAMETER;
            }
            KSMULTIPLE_ITEM attributes;
            std::memcpy(&attributes, items + offset, sizeof(attributes));
            if (attributes.Size < sizeof(KSMULTIPLE_ITEM) || attributes.Size > header.Size - offset) {
                return STATUS_INVALID_PARAMETER;
            }
            offset += align8(attributes.Size);
        }
        for (const KSDATARANGE *range : own) {
            if (!guid_matches(client->MajorFormat, range->MajorFormat, KSDATAFORMAT_TYPE_WILDCARD) ||
                !guid_matches(client->SubFormat, range->SubFormat, KSDATAFORMAT_SUBTYPE_WILDCARD)) {
                continue;
            }
            ULONG size = 0;
            PVOID out = *value_size != 0 ? value : nullptr;
            NTSTATUS status = port->miniport()->DataRangeIntersection(
                pin_id, const_cast<PKSDATARANGE>(client), const_cast<PKSDATARANGE>(range), *value_size, out, &size);
            if (status == STATUS_NOT_IMPLEMENTED) {
                status = pc_default_intersection(client, range, *value_size, out, &size);
            }
            if (status == STATUS_NO_MATCH) {
                continue;
            }
            if (NT_SUCCESS(status) && size > *value_size) {
                size = *value_size;
            }
            *value_size = (!NT_ERROR(status)) ? size : 0;
            return status;
        }
        if (offset > header.Size) {
            break;
        }
    }
    *value_size = 0;
    return STATUS_NO_MATCH;
}

NTSTATUS pin_factory_property(pc_port *port, const UCHAR *request, ULONG request_size, void *value,
                              ULONG *value_size)
{
    const KSPROPERTY *property = reinterpret_cast<const KSPROPERTY *>(request);
    const PCFILTER_DESCRIPTOR *filter = port->filter();
    if (verb_of(property) != KSPROPERTY_TYPE_GET) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (property->Id == KSPROPERTY_PIN_CTYPES) {
        ULONG count = filter->PinCount;
        return put(value, value_size, &count, sizeof(count));
    }
    if (request_size < sizeof(KSP_PIN)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG pin_id = reinterpret_cast<const KSP_PIN *>(request)->PinId;
    const PCPIN_DESCRIPTOR *pin = pc_pin_descriptor(filter, pin_id);
    if (pin == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const KSPIN_DESCRIPTOR &ks = pin->KsPinDescriptor;
    ULONG possible = pin->MaxFilterInstanceCount < pin->MaxGlobalInstanceCount ? pin->MaxFilterInstanceCount
                                                                               : pin->MaxGlobalInstanceCount;
    switch (property->Id) {
    case KSPROPERTY_PIN_DATAFLOW: {
        ULONG flow = ks.DataFlow;
        return put(value, value_size, &flow, sizeof(flow));
    }
    case KSPROPERTY_PIN_COMMUNICATION: {
        ULONG communication = ks.Communication;
        return put(value, value_size, &communication, sizeof(communication));
    }
    case KSPROPERTY_PIN_CATEGORY:
        if (ks.Category == nullptr) {
            return STATUS_NOT_FOUND;
        }
        return put(value, value_size, ks.Category, sizeof(GUID));
    case KSPROPERTY_PIN_CINSTANCES:
    case KSPROPERTY_PIN_GLOBALCINSTANCES: {
        KSPIN_CINSTANCES instances{possible, port->pin_instances(pin_id)};
        return put(value, value_size, &instances, sizeof(instances));
    }
    case KSPROPERTY_PIN_NECESSARYINSTANCES: {
        ULONG necessary = pin->MinFilterInstanceCount;
        return put(value, value_size, &necessary, sizeof(necessary));
    }
    case KSPROPERTY_PIN_INTERFACES:
    case KSPROPERTY_PIN_MEDIUMS: {
        KSMULTIPLE_ITEM none{sizeof(KSMULTIPLE_ITEM), 0};
        return put(value, value_size, &none, sizeof(none));
    }
    case KSPROPERTY_PIN_DATARANGES:
        return pin_data_ranges(pin, value, value_size);
    case KSPROPERTY_PIN_DATAINTERSECTION:
        return pin_intersection(port, pin_id, pin, request + sizeof(KSP_PIN), request_size - sizeof(KSP_PIN), value,
                                value_size);
    default:
        return STATUS_NOT_FOUND;
    }
}

// KSPROPERTY_AUDIOSIGNALPROCESSING_MODES: a KSMULTIPLE_ITEM of the modes the miniport names.
NTSTATUS signal_processing_modes(pc_port *port, const UCHAR *request, ULONG request_size, void *value,
                                 ULONG *value_size)
{
    const KSPROPERTY *property = reinterpret_cast<const KSPROPERTY *>(request);
    if (property->Id != KSPROPERTY_AUDIOSIGNALPROCESSING_MODES || verb_of(property) != KSPROPERTY_TYPE_GET) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (request_size < sizeof(KSP_PIN)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG pin_id = reinterpret_cast<const KSP_PIN *>(request)->PinId;
    if (pc_pin_descriptor(port->filter(), pin_id) == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    IMiniportAudioSignalProcessing *modes_source = nullptr;
    if (!NT_SUCCESS(port->miniport()->QueryInterface(IID_IMiniportAudioSignalProcessing,
                                                     reinterpret_cast<void **>(&modes_source)))) {
        return STATUS_NOT_FOUND;
    }
    constexpr ULONG capacity = 16;
    GUID modes[capacity] = {};
    ULONG count = capacity;
    NTSTATUS status = modes_source->GetModes(pin_id, modes, &count);
    modes_source->Release();
    if (!NT_SUCCESS(status)) {
        *value_size = 0;
        return status;
    }
    if (count > capacity) {
        count = capacity;
    }
    std::vector<UCHAR> answer(sizeof(KSMULTIPLE_ITEM) + count * sizeof(GUID));
    KSMULTIPLE_ITEM header{(ULONG)answer.size(), count};
    std::memcpy(answer.data(), &header, sizeof(header));
    std::memcpy(answer.data() + sizeof(header), modes, count * sizeof(GUID));
    return put(value, value_size, answer.data(), (ULONG)answer.size());
}

} // namespace

ks_object *ks_object_of(PFILE_OBJECT file)
{
    if (file == nullptr || file->FsContext == nullptr) {
        return nullptr;
    }
    ks_object *object = static_cast<ks_object *>(file->FsContext);
    std::lock_guard<std::mutex> guard(g_objects_lock);
    return g_objects.count(object) != 0 ? object : nullptr;
}

NTSTATUS ks_filter_property(pc_port *port, IUnknown *minor, const UCHAR *request, ULONG request_size,
                            void *value, ULONG *value_size, PIRP irp)
{
    const KSPROPERTY *property = reinterpret_cast<const KSPROPERTY *>(request);
    const PCFILTER_DESCRIPTOR *filter = port->filter();
    IMiniport *miniport = port->miniport();
    if (filter == nullptr || miniport == nullptr) {
        return STATUS_DEVICE_NOT_READY;
    }
    bool found = false;
    NTSTATUS status;
    if ((property->Flags & KSPROPERTY_TYPE_TOPOLOGY) != 0) {
        if (request_size < sizeof(KSNODEPROPERTY)) {
            return STATUS_INVALID_PARAMETER;
        }
        ULONG node_id = reinterpret_cast<const KSNODEPROPERTY *>(request)->NodeId;
        const PCNODE_DESCRIPTOR *node = pc_node_descriptor(filter, node_id);
        if (node == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        status = pc_dispatch_automation(node->AutomationTable, property, miniport, minor, node_id,
                                        const_cast<UCHAR *>(request) + sizeof(KSNODEPROPERTY),
                                        request_size - sizeof(KSNODEPROPERTY), value, value_size, irp, &found);
        return found ? status : STATUS_NOT_FOUND;
    }
    if (IsEqualGUID(property->Set, KSPROPSETID_Pin)) {
        return pin_factory_property(port, request, request_size, value, value_size);
    }
    if (IsEqualGUID(property->Set, KSPROPSETID_AudioSignalProcessing)) {
        return signal_processing_modes(port, request, request_size, value, value_size);
    }
    status = pc_dispatch_automation(filter->AutomationTable, property, miniport, minor, PCFILTER_NODE,
                                    const_cast<UCHAR *>(request) + sizeof(KSPROPERTY),
                                    request_size - sizeof(KSPROPERTY), value, value_size, irp, &found);
    if (found) {
        return status;
    }
    // A pin factory's own properties, addressed through the filter with a KSP_PIN: the
    // handler's instance starts with the pin id.
    if (request_size >= sizeof(KSP_PIN)) {
        const PCPIN_DESCRIPTOR *pin = pc_pin_descriptor(filter, reinterpret_cast<const KSP_PIN *>(request)->PinId);
        if (pin != nullptr) {
            status = pc_dispatch_automation(pin->AutomationTable, property, miniport, minor, PCFILTER_NODE,
                                            const_cast<UCHAR *>(request) + sizeof(KSPROPERTY),
                                            request_size - sizeof(KSPROPERTY), value, value_size, irp, &found);
            if (found) {
                return status;
            }
        }
    }
    return STATUS_NOT_FOUND;
}

ks_filter::~ks_filter()
{
    port->object_closed();
    port_unknown->Release();
    --pc_live_objects();
}

NTSTATUS ks_filter::property(const UCHAR *request, ULONG request_size, void *value, ULONG *value_size, PIRP irp)
{
    return ks_filter_property(port, nullptr, request, request_size, value, value_size, irp);
}

NTSTATUS ks_dispatch_create(pc_device *dev, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = stack->FileObject;
    if (file == nullptr || file->FsContext != nullptr) {
        return complete(irp, STATUS_INVALID_PARAMETER);
    }
    if (dev->removed) {
        return complete(irp, STATUS_DELETE_PENDING);
    }
    std::wstring name;
    bool is_pin = false;
    std::vector<UCHAR> connect;
    if (file->FileName.Buffer == nullptr ||
        !ks_parse_create_name(file->FileName.Buffer, file->FileName.Length / sizeof(WCHAR), &name, &is_pin,
                              &connect)) {
        return complete(irp, STATUS_OBJECT_NAME_NOT_FOUND);
    }
    pc_port *port = nullptr;
    IUnknown *unknown = pc_find_subdevice(dev, name, &port);
    if (unknown == nullptr) {
        return complete(irp, STATUS_OBJECT_NAME_NOT_FOUND);
    }
    ks_object *object = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    if (is_pin) {
        // The pin keeps the reference taken by the lookup.
        status = ks_create_pin(unknown, port, reinterpret_cast<const KSPIN_CONNECT *>(connect.data()),
                               (ULONG)connect.size(), &object);
    } else {
        port->object_opened();
        object = new ks_filter(unknown, port);
        ++pc_live_objects();
    }
    if (NT_SUCCESS(status)) {
        track(object);
        file->FsContext = object;
    }
    return complete(irp, status);
}

NTSTATUS ks_dispatch_close(PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    ks_object *object = ks_object_of(file);
    if (object != nullptr) {
        untrack(object);
        file->FsContext = nullptr;
        delete object;
    }
    return complete(irp, STATUS_SUCCESS);
}

NTSTATUS ks_dispatch_cleanup(PIRP irp)
{
    ks_object *object = ks_object_of(IoGetCurrentIrpStackLocation(irp)->FileObject);
    if (object != nullptr) {
        object->cleanup();
    }
    return complete(irp, STATUS_SUCCESS);
}

NTSTATUS ks_dispatch_device_control(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ks_object *object = ks_object_of(stack->FileObject);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (object != nullptr && (code == IOCTL_KS_WRITE_STREAM || code == IOCTL_KS_READ_STREAM)) {
        NTSTATUS status = object->stream_io(irp);
        return status == STATUS_PENDING ? status : complete(irp, status);
    }
    if (object == nullptr || code != IOCTL_KS_PROPERTY) {
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    ULONG in_len = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out_len = stack->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR *system = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
    if (in_len < sizeof(KSPROPERTY) || system == nullptr) {
        return complete(irp, STATUS_INVALID_PARAMETER);
    }
    // The request and the value share the system buffer; both are worked on in copies.
    std::vector<UCHAR> input(system, system + in_len);
    const KSPROPERTY *property = reinterpret_cast<const KSPROPERTY *>(input.data());
    ULONG request_size = in_len;
    std::vector<UCHAR> value(out_len);
    if (verb_of(property) == KSPROPERTY_TYPE_SET) {
        if (in_len < sizeof(KSPROPERTY) + out_len) {
            return complete(irp, STATUS_INVALID_PARAMETER);
        }
        request_size = in_len - out_len;
        if (out_len != 0) {
            std::memcpy(value.data(), input.data() + request_size, out_len);
        }
    }
    ULONG value_size = out_len;
    NTSTATUS status = object->property(input.data(), request_size, out_len != 0 ? value.data() : nullptr,
                                       &value_size, irp);
    ULONG_PTR information = 0;
    if (!NT_ERROR(status)) {
        information = value_size;
        ULONG copy = value_size < out_len ? value_size : out_len;
        if (copy != 0) {
            std::memcpy(system, value.data(), copy);
        }
    }
    return complete(irp, status, information);
}

} // namespace platform
