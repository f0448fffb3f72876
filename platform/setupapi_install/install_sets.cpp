// The device information sets of device setup: created by the machine's device setup for one
// device with its driver lists, looked up by the SetupAPI calls co-installers make, and
// freed by device setup (or at the next boot).
#include "install_sets.h"
#include <platform/machine_state.h>
#include <platform/pnp.h>
#include <cfgmgr32.h>
#include <map>
#include <memory>
#include <utility>
#include "../setupapi/device_info_set.h"

namespace platform {
namespace {

// The media device class, which every device this machine installs belongs to.
constexpr GUID media_class = {0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

std::map<void *, std::unique_ptr<install_set>> g_sets;
// Install records of SetupAPI's own sets, by set handle and device number (0 for the set).
std::map<std::pair<void *, DWORD>, std::unique_ptr<install_set>> g_listed;
DWORD g_next_dev_inst = 1;

void reset()
{
    std::lock_guard<std::mutex> guard(install_set_lock());
    g_sets.clear();
    g_listed.clear();
    g_next_dev_inst = 1;
}

machine_hooks g_hooks("setupapi.install_sets", reset, reset);

std::vector<install_driver> make_list(const std::vector<driver_candidate> &candidates, DWORD type)
{
    std::vector<install_driver> list;
    for (const driver_candidate &candidate : candidates) {
        list.push_back(install_driver{candidate, type});
    }
    return list;
}

std::vector<driver_candidate> candidates_of(const std::vector<install_driver> &list)
{
    std::vector<driver_candidate> result;
    for (const install_driver &driver : list) {
        result.push_back(driver.candidate);
    }
    return result;
}

} // namespace

std::mutex &install_set_lock()
{
    static std::mutex lock;
    return lock;
}

install_set *install_set_find_locked(void *handle)
{
    auto found = g_sets.find(handle);
    return found != g_sets.end() ? found->second.get() : nullptr;
}

DWORD install_set_check_device_locked(const install_set &set, const SP_DEVINFO_DATA *data)
{
    if (data == nullptr) {
        return ERROR_SUCCESS;
    }
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return ERROR_INVALID_USER_BUFFER;
    }
    return data->DevInst == set.dev_inst ? ERROR_SUCCESS : (DWORD)ERROR_NO_SUCH_DEVINST;
}

install_set *install_set_of_listed_locked(void *handle, const SP_DEVINFO_DATA *data, DWORD *error)
{
    device_info_set *listed = nullptr;
    if (!devinfo_lock_set(handle, &listed)) {
        *error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    size_t index = 0;
    *error = data != nullptr ? devinfo_find_device(*listed, data, &index) : (DWORD)ERROR_SUCCESS;
    devinfo_unlock();
    if (*error != ERROR_SUCCESS) {
        return nullptr;
    }
    std::unique_ptr<install_set> &record = g_listed[{handle, data != nullptr ? data->DevInst : 0}];
    if (record == nullptr) {
        record = std::make_unique<install_set>();
        record->params.cbSize = sizeof(SP_DEVINSTALL_PARAMS_A);
        record->dev_inst = data != nullptr ? data->DevInst : 0;
    }
    return record.get();
}

void *install_set_create(const std::wstring &instance_id, const std::vector<driver_candidate> &compatible,
                         const std::vector<driver_candidate> &class_drivers)
{
    if (pnp_node_by_instance(instance_id) == nullptr) {
        return nullptr;
    }
    auto set = std::make_unique<install_set>();
    set->instance_id = instance_id;
    set->params.cbSize = sizeof(SP_DEVINSTALL_PARAMS_A);
    set->compatible = make_list(compatible, SPDIT_COMPATDRIVER);
    set->class_drivers = make_list(class_drivers, SPDIT_CLASSDRIVER);
    // The device keeps the number the configuration manager knows it by, when it has one.
    DEVINST devinst = 0;
    std::wstring id = instance_id;
    const bool located = CM_Locate_DevNodeW(&devinst, id.data(), 0) == CR_SUCCESS;
    std::lock_guard<std::mutex> guard(install_set_lock());
    set->dev_inst = located ? devinst : 0x80000000u + g_next_dev_inst++;
    void *handle = set.get();
    g_sets[handle] = std::move(set);
    return handle;
}

void install_set_destroy(void *set)
{
    std::lock_guard<std::mutex> guard(install_set_lock());
    g_sets.erase(set);
}

bool install_set_is_valid(void *set)
{
    std::lock_guard<std::mutex> guard(install_set_lock());
    return install_set_find_locked(set) != nullptr;
}

std::vector<driver_candidate> install_set_drivers(void *set, bool compatible)
{
    std::lock_guard<std::mutex> guard(install_set_lock());
    install_set *s = install_set_find_locked(set);
    if (s == nullptr) {
        return {};
    }
    return candidates_of(compatible ? s->compatible : s->class_drivers);
}

DWORD install_set_flags(void *set)
{
    std::lock_guard<std::mutex> guard(install_set_lock());
    install_set *s = install_set_find_locked(set);
    return s != nullptr ? s->params.Flags : 0;
}

DWORD install_set_flags_ex(void *set)
{
    std::lock_guard<std::mutex> guard(install_set_lock());
    install_set *s = install_set_find_locked(set);
    return s != nullptr ? s->params.FlagsEx : 0;
}

std::wstring install_set_instance_id(void *set)
{
    std::lock_guard<std::mutex> guard(install_set_lock());
    install_set *s = install_set_find_locked(set);
    return s != nullptr ? s->instance_id : std::wstring();
}

void install_set_device_data(void *set, void *sp_devinfo_data)
{
    auto *data = static_cast<SP_DEVINFO_DATA *>(sp_devinfo_data);
    std::lock_guard<std::mutex> guard(install_set_lock());
    install_set *s = install_set_find_locked(set);
    data->cbSize = sizeof(SP_DEVINFO_DATA);
    data->ClassGuid = media_class;
    data->DevInst = s != nullptr ? s->dev_inst : 0;
    data->Reserved = 0;
}

} // namespace platform
