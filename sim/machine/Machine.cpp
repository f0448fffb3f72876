// Boot and shutdown of the simulated machine, and the loader of kernel driver modules.
#include <sim/machine.h>
#include <wdm.h>
#include <platform/io_driver.h>
#include <platform/machine_state.h>
#include <platform/pool.h>
#include <cstdlib>
#include <dlfcn.h>

namespace sim {

struct machine::loaded_driver {
    std::string name;
    std::string path;
    void *module = nullptr;
    DRIVER_OBJECT *object = nullptr;
    std::wstring registry_path;
    UNICODE_STRING registry_path_string{};
};

machine::machine()
{
    platform::machine_boot();
}

machine::~machine()
{
    detach_all();
    while (!drivers_.empty()) {
        loaded_driver &entry = *drivers_.back();
        unload(entry, entry.object->DriverUnload != nullptr);
        drivers_.pop_back();
    }
    platform::machine_shutdown();
}

std::string machine::module_directory()
{
    const char *overridden = std::getenv("OVM_MODULE_DIR");
    return overridden != nullptr && *overridden != '\0' ? overridden : OVM_MODULE_DIR;
}

std::string machine::module_path(const std::string &name) const
{
    for (const auto &entry : drivers_) {
        if (entry->name == name) {
            return entry->path;
        }
    }
    return module_directory() + "/" + name + ".so";
}

DRIVER_OBJECT *machine::driver(const std::string &name) const
{
    for (const auto &entry : drivers_) {
        if (entry->name == name) {
            return entry->object;
        }
    }
    return nullptr;
}

NTSTATUS machine::load_driver(const std::string &name, const std::wstring &service)
{
    if (driver(name) != nullptr) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    auto entry = std::make_unique<loaded_driver>();
    entry->name = name;
    entry->path = module_path(name);
    entry->module = dlopen(entry->path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (entry->module == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto entry_point = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(entry->module, "DriverEntry"));
    if (entry_point == nullptr) {
        dlclose(entry->module);
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const std::wstring service_name = service.empty() ? std::wstring(name.begin(), name.end()) : service;
    entry->registry_path = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service_name;
    entry->registry_path_string.Buffer = entry->registry_path.data();
    entry->registry_path_string.Length = (USHORT)(entry->registry_path.size() * sizeof(WCHAR));
    entry->registry_path_string.MaximumLength = entry->registry_path_string.Length;
    entry->object = platform::io_create_driver_object(service_name, entry->path);
    entry->object->DriverInit = entry_point;

    const NTSTATUS status = entry_point(entry->object, &entry->registry_path_string);
    if (!NT_SUCCESS(status)) {
        // A failed DriverEntry is unloaded without DriverUnload; what it allocated is still
        // checked, as Windows' verifier does.
        entry->object->DriverUnload = nullptr;
        unload(*entry, true);
        return status;
    }
    drivers_.push_back(std::move(entry));
    return status;
}

NTSTATUS machine::unload_driver(const std::string &name)
{
    for (auto it = drivers_.begin(); it != drivers_.end(); ++it) {
        if ((*it)->name != name) {
            continue;
        }
        if ((*it)->object->DriverUnload == nullptr) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        unload(**it, true);
        drivers_.erase(it);
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

void machine::unload(loaded_driver &entry, bool checks)
{
    if (entry.object->DriverUnload != nullptr) {
        entry.object->DriverUnload(entry.object);
    }
    KeFlushQueuedDpcs();
    if (checks) {
        platform::io_unload_driver_object(entry.object);
        platform::pool_verify_unload(entry.path);
    } else {
        platform::io_discard_driver_object(entry.object);
    }
    entry.object = nullptr;
    dlclose(entry.module);
}

} // namespace sim
