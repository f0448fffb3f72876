// Device setup of the simulated machine: the install function sequence of a new device, with
// the device's co-installer called before (and, on request, after) each step, over a device
// information set that carries the offered driver list.
#include <sim/device_setup.h>
#include <windows.h>
#include <setupapi.h>
#include <platform/pnp.h>

namespace sim {
namespace {

const UINT install_sequence[] = {
    DIF_SELECTBESTCOMPATDRV, DIF_ALLOW_INSTALL,  DIF_INSTALLDEVICEFILES,           DIF_REGISTER_COINSTALLERS,
    DIF_INSTALLINTERFACES,   DIF_INSTALLDEVICE,  DIF_NEWDEVICEWIZARD_FINISHINSTALL,
};

int best_driver(const std::vector<platform::driver_candidate> &drivers)
{
    int best = -1;
    for (size_t i = 0; i < drivers.size(); ++i) {
        if (best < 0 || drivers[i].rank < drivers[(size_t)best].rank) {
            best = (int)i;
        }
    }
    return best;
}

std::wstring widen(const std::string &text)
{
    return std::wstring(text.begin(), text.end());
}

// The installed driver becomes the device's: its manufacturer and description.
void install_on_node(const std::wstring &instance_id, const platform::driver_candidate &driver)
{
    platform::pnp_lock();
    if (platform::device_node *node = platform::pnp_node_by_instance(instance_id)) {
        node->manufacturer = widen(driver.manufacturer);
        node->description = widen(driver.description);
    }
    platform::pnp_unlock();
}

class setup_run {
public:
    setup_run(void *set, COINSTALLER_ROUTINE routine, device_setup_result *result)
        : set_(set), routine_(routine), result_(result)
    {
        platform::install_set_device_data(set_, &device_);
    }

    // Calls the co-installer around one step; false when setup must stop.
    bool step(UINT function, const std::wstring &instance_id)
    {
        COINSTALLER_CONTEXT_DATA context = {};
        const DWORD before = routine_(function, set_, &device_, &context);
        result_->calls.push_back(device_setup_call{function, false, before});
        if (before != NO_ERROR && before != ERROR_DI_POSTPROCESSING_REQUIRED) {
            result_->error = before;
            return false;
        }
        DWORD outcome = NO_ERROR;
        if (function == DIF_SELECTBESTCOMPATDRV) {
            result_->drivers = platform::install_set_drivers(set_, true);
            result_->chosen = best_driver(result_->drivers);
            outcome = result_->chosen >= 0 ? NO_ERROR : (DWORD)ERROR_NO_DRIVER_SELECTED;
        } else if (function == DIF_INSTALLDEVICE && result_->chosen >= 0) {
            install_on_node(instance_id, result_->drivers[(size_t)result_->chosen]);
        }
        if (before == ERROR_DI_POSTPROCESSING_REQUIRED) {
            context.PostProcessing = TRUE;
            context.InstallResult = outcome;
            result_->calls.push_back(device_setup_call{function, true, routine_(function, set_, &device_, &context)});
        }
        if (outcome != NO_ERROR) {
            result_->error = outcome;
            return false;
        }
        return true;
    }

private:
    void *set_;
    COINSTALLER_ROUTINE routine_;
    device_setup_result *result_;
    SP_DEVINFO_DATA device_{};
};

} // namespace

device_setup_result run_device_setup(const std::wstring &instance_id,
                                     const std::vector<platform::driver_candidate> &compatible,
                                     const coinstaller_ref &coinstaller)
{
    device_setup_result result;
    HMODULE module = LoadLibraryW(coinstaller.module.c_str());
    if (module == nullptr) {
        result.error = ERROR_MOD_NOT_FOUND;
        return result;
    }
    auto routine = reinterpret_cast<COINSTALLER_ROUTINE>(GetProcAddress(module, coinstaller.entry.c_str()));
    void *set = routine != nullptr ? platform::install_set_create(instance_id, compatible, {}) : nullptr;
    if (routine == nullptr) {
        result.error = ERROR_PROC_NOT_FOUND;
    } else if (set == nullptr) {
        result.error = ERROR_NO_SUCH_DEVINST;
    } else {
        setup_run run(set, routine, &result);
        bool going = true;
        for (UINT function : install_sequence) {
            going = going && run.step(function, instance_id);
        }
        result.finish_install_action = (platform::install_set_flags_ex(set) & DI_FLAGSEX_FINISHINSTALL_ACTION) != 0;
        if (going && result.finish_install_action) {
            run.step(DIF_FINISHINSTALL_ACTION, instance_id);
        }
        platform::install_set_destroy(set);
    }
    FreeLibrary(module);
    return result;
}

} // namespace sim
