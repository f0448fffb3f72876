// UpdateDriverForPlugAndPlayDevicesW: checks the request against the machine's devices and
// file store and records it; the update itself is what the record says (the machine has no
// INF processing).
#include <windows.h>
#include <newdev.h>
#include <setupapi_install.h>
#include <platform/device_install.h>
#include <platform/machine_state.h>
#include <platform/pnp.h>
#include <cwctype>
#include <mutex>

namespace platform {
namespace {

std::mutex g_lock;
std::vector<driver_update_record> g_records;

void reset()
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_records.clear();
}

machine_hooks g_hooks("newdev.updates", reset, reset);

bool same_id(const std::wstring &a, const std::wstring &b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::towlower((wint_t)a[i]) != std::towlower((wint_t)b[i])) {
            return false;
        }
    }
    return true;
}

bool is_full_path(const std::wstring &path)
{
    const bool drive = path.size() >= 3 && std::iswalpha((wint_t)path[0]) && path[1] == L':' && path[2] == L'\\';
    const bool unc = path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\';
    return drive || unc;
}

// The instance IDs of present devices carrying the ID among their hardware or compatible IDs.
std::vector<std::wstring> devices_with_id(const std::wstring &id)
{
    std::vector<std::wstring> found;
    pnp_lock();
    for (const device_node *node : pnp_nodes()) {
        if (node->removed) {
            continue;
        }
        bool match = false;
        for (const std::wstring &hardware_id : node->hardware_ids) {
            match = match || same_id(hardware_id, id);
        }
        for (const std::wstring &compatible_id : node->compatible_ids) {
            match = match || same_id(compatible_id, id);
        }
        if (match) {
            found.push_back(node->instance_id);
        }
    }
    pnp_unlock();
    return found;
}

} // namespace

std::vector<driver_update_record> driver_update_records()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_records;
}

} // namespace platform

using namespace platform;

BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND hwndParent, LPCWSTR HardwareId, LPCWSTR FullInfPath,
                                               DWORD InstallFlags, PBOOL bRebootRequired)
{
    UNREFERENCED_PARAMETER(hwndParent);
    if (bRebootRequired != nullptr) {
        *bRebootRequired = FALSE;
    }
    if (HardwareId == nullptr || HardwareId[0] == L'\0' || FullInfPath == nullptr || !is_full_path(FullInfPath)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if ((InstallFlags & ~(DWORD)INSTALLFLAG_BITS) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return FALSE;
    }
    driver_update_record record;
    record.hardware_id = HardwareId;
    record.inf_path = FullInfPath;
    record.install_flags = InstallFlags;
    const DWORD attributes = GetFileAttributesW(FullInfPath);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        record.error = ERROR_FILE_NOT_FOUND;
    } else {
        record.instance_ids = devices_with_id(HardwareId);
        record.error = record.instance_ids.empty() ? (DWORD)ERROR_NO_SUCH_DEVINST : (DWORD)ERROR_SUCCESS;
    }
    const DWORD error = record.error;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_records.push_back(std::move(record));
    }
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}
