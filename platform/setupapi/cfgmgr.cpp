// Configuration manager calls over the PnP manager's device nodes: locating a node by instance
// ID, its ID and its status. Device instance numbers are SetupAPI's.
#include "device_info_set.h"
#include <cfgmgr32.h>
#include <platform/pnp.h>
#include <cstring>

using namespace platform;

namespace {

// The node's instance ID as the PnP manager spells it, and whether it was removed; false when
// the machine has no such node.
bool node_state(DEVINST devinst, std::wstring *instance_id, bool *removed, bool *started, bool *has_service)
{
    std::wstring known;
    if (!devinfo_instance_of(devinst, &known)) {
        return false;
    }
    pnp_lock();
    const device_node *node = pnp_node_by_instance(known);
    if (node != nullptr) {
        *instance_id = node->instance_id;
        *removed = node->removed;
        *started = node->started;
        *has_service = !node->service.empty();
    }
    pnp_unlock();
    return node != nullptr;
}

} // namespace

extern "C" {

CONFIGRET WINAPI CM_Locate_DevNodeW(PDEVINST pdnDevInst, DEVINSTID_W pDeviceID, ULONG ulFlags)
{
    if (pdnDevInst == nullptr) {
        return CR_INVALID_POINTER;
    }
    if ((ulFlags & ~(ULONG)CM_LOCATE_DEVNODE_PHANTOM) != 0) {
        return CR_INVALID_FLAG;
    }
    if (pDeviceID == nullptr || *pDeviceID == L'\0') {
        return CR_NO_SUCH_DEVNODE;
    }
    std::wstring instance_id;
    bool removed = false;
    pnp_lock();
    if (const device_node *node = pnp_node_by_instance(pDeviceID)) {
        instance_id = node->instance_id;
        removed = node->removed;
    }
    pnp_unlock();
    if (instance_id.empty() || (removed && (ulFlags & CM_LOCATE_DEVNODE_PHANTOM) == 0)) {
        return CR_NO_SUCH_DEVNODE;
    }
    *pdnDevInst = devinfo_devinst_of(instance_id);
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_ID_Size(PULONG pulLen, DEVINST dnDevInst, ULONG ulFlags)
{
    if (pulLen == nullptr) {
        return CR_INVALID_POINTER;
    }
    if (ulFlags != 0) {
        return CR_INVALID_FLAG;
    }
    std::wstring instance_id;
    if (!devinfo_instance_of(dnDevInst, &instance_id)) {
        return CR_INVALID_DEVNODE;
    }
    *pulLen = (ULONG)instance_id.size();
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_IDW(DEVINST dnDevInst, PWSTR Buffer, ULONG BufferLen, ULONG ulFlags)
{
    if (Buffer == nullptr) {
        return CR_INVALID_POINTER;
    }
    if (ulFlags != 0) {
        return CR_INVALID_FLAG;
    }
    std::wstring instance_id;
    if (!devinfo_instance_of(dnDevInst, &instance_id)) {
        return CR_INVALID_DEVNODE;
    }
    if (BufferLen < instance_id.size() + 1) {
        return CR_BUFFER_SMALL;
    }
    std::memcpy(Buffer, instance_id.c_str(), (instance_id.size() + 1) * sizeof(WCHAR));
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst, ULONG ulFlags)
{
    if (pulStatus == nullptr || pulProblemNumber == nullptr) {
        return CR_INVALID_POINTER;
    }
    if (ulFlags != 0) {
        return CR_INVALID_FLAG;
    }
    std::wstring instance_id;
    bool removed = false;
    bool started = false;
    bool has_service = false;
    if (!node_state(dnDevInst, &instance_id, &removed, &started, &has_service)) {
        return devinfo_instance_of(dnDevInst, &instance_id) ? CR_NO_SUCH_DEVNODE : CR_INVALID_DEVNODE;
    }
    if (removed) {
        return CR_NO_SUCH_DEVNODE;
    }
    ULONG status = DN_NT_ENUMERATOR;
    if (has_service) {
        status |= DN_DRIVER_LOADED | DN_NT_DRIVER;
    }
    if (started) {
        status |= DN_STARTED;
    }
    *pulStatus = status;
    *pulProblemNumber = 0;
    return CR_SUCCESS;
}

} // extern "C"
