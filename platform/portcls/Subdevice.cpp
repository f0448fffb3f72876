// Subdevice registration: PcRegisterSubdevice publishes a port's filter under a name as device
// interfaces of KSCATEGORY_AUDIO and the filter's own categories (reference string = the
// name); unregistration withdraws them. Creates on those interfaces find the subdevice by name.
#include <cwctype>
#include "portcls_internal.h"
#include <platform/verifier.h>

namespace platform {
namespace {

bool same_name(const std::wstring &a, const std::wstring &b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::towlower(a[i]) != std::towlower(b[i])) {
            return false;
        }
    }
    return true;
}

// Disables and frees the interfaces of a record that is no longer in its device's table, and
// drops the record's port reference.
void withdraw(pc_subdevice *sub)
{
    for (UNICODE_STRING &link : sub->links) {
        IoSetDeviceInterfaceState(&link, FALSE);
        RtlFreeUnicodeString(&link);
    }
    sub->port->subdevice_withdrawn();
    sub->port_unknown->Release();
    delete sub;
}

// The device interface classes of a filter: KSCATEGORY_AUDIO first, then its own categories.
std::vector<GUID> categories_of(const PCFILTER_DESCRIPTOR *filter)
{
    std::vector<GUID> result{KSCATEGORY_AUDIO};
    if (filter != nullptr && filter->Categories != nullptr) {
        for (ULONG i = 0; i < filter->CategoryCount; ++i) {
            bool known = false;
            for (const GUID &g : result) {
                known = known || IsEqualGUID(g, filter->Categories[i]);
            }
            if (!known) {
                result.push_back(filter->Categories[i]);
            }
        }
    }
    return result;
}

} // namespace

IUnknown *pc_find_subdevice(pc_device *dev, const std::wstring &name, pc_port **port)
{
    std::lock_guard<std::mutex> guard(dev->lock);
    for (pc_subdevice *sub : dev->subdevices) {
        if (same_name(sub->name, name)) {
            sub->port_unknown->AddRef();
            *port = sub->port;
            return sub->port_unknown;
        }
    }
    return nullptr;
}

NTSTATUS pc_unregister_subdevice(PDEVICE_OBJECT device, pc_port *port)
{
    verifier_check_irql(PASSIVE_LEVEL, "IUnregisterSubdevice::UnregisterSubdevice");
    pc_device *dev = pc_device_of(device);
    if (dev == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    pc_subdevice *found = nullptr;
    {
        std::lock_guard<std::mutex> guard(dev->lock);
        for (auto it = dev->subdevices.begin(); it != dev->subdevices.end(); ++it) {
            if ((*it)->port == port) {
                found = *it;
                dev->subdevices.erase(it);
                break;
            }
        }
    }
    if (found == nullptr) {
        return STATUS_NOT_FOUND;
    }
    withdraw(found);
    return STATUS_SUCCESS;
}

void pc_unregister_all_subdevices(pc_device *dev)
{
    std::vector<pc_subdevice *> subs;
    {
        std::lock_guard<std::mutex> guard(dev->lock);
        subs.swap(dev->subdevices);
    }
    for (pc_subdevice *sub : subs) {
        withdraw(sub);
    }
}

} // namespace platform

using namespace platform;

extern "C" NTSTATUS PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWSTR Name, PUNKNOWN Unknown)
{
    verifier_check_irql(PASSIVE_LEVEL, "PcRegisterSubdevice");
    pc_device *dev = pc_device_of(DeviceObject);
    if (dev == nullptr || Name == nullptr || Name[0] == L'\0' || Unknown == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    pc_port *port = nullptr;
    if (!NT_SUCCESS(Unknown->QueryInterface(IID_pc_port, reinterpret_cast<void **>(&port))) || port == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (port->miniport() == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    pc_subdevice *sub = new pc_subdevice();
    sub->name = Name;
    sub->port = port;
    sub->port_unknown = port->port_unknown();
    sub->port_unknown->AddRef();

    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, Name);
    NTSTATUS status = STATUS_SUCCESS;
    for (const GUID &category : categories_of(port->filter())) {
        UNICODE_STRING link{};
        status = IoRegisterDeviceInterface(dev->pdo, &category, &reference, &link);
        if (!NT_SUCCESS(status)) {
            break;
        }
        sub->links.push_back(link);
    }
    if (NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> guard(dev->lock);
        bool taken = false;
        for (pc_subdevice *other : dev->subdevices) {
            taken = taken || same_name(other->name, sub->name);
        }
        if (taken) {
            status = STATUS_OBJECT_NAME_COLLISION;
        } else if (dev->subdevices.size() >= dev->max_subdevices) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            dev->subdevices.push_back(sub);
        }
    }
    if (!NT_SUCCESS(status)) {
        for (UNICODE_STRING &link : sub->links) {
            RtlFreeUnicodeString(&link);
        }
        sub->port_unknown->Release();
        delete sub;
        return status;
    }
    // The record is in the table before the interfaces arrive, so a client that opens the
    // interface from its arrival notification finds the filter.
    for (UNICODE_STRING &link : sub->links) {
        NTSTATUS enabled = IoSetDeviceInterfaceState(&link, TRUE);
        if (!NT_SUCCESS(enabled)) {
            pc_unregister_subdevice(DeviceObject, port);
            return enabled;
        }
    }
    return STATUS_SUCCESS;
}
