// Device setup of the simulated machine: installs a driver for a device node as Windows
// setup does, offering its driver list (this package's and foreign drivers), calling the
// device's co-installer at each install function in order, choosing the best-ranked driver
// and, when asked, running the finish-install action.
#pragma once
#include <platform/device_install.h>
#include <string>
#include <vector>
#include <ntdef.h>

namespace sim {

// A co-installer: a module of the machine (e.g. "ovmlsacoinstaller.dll") and its entry.
struct coinstaller_ref {
    std::wstring module;
    std::string entry;
};

struct device_setup_call {
    UINT function = 0;        // the DIF code
    bool post_processing = false;
    DWORD result = 0;         // what the co-installer returned
};

struct device_setup_result {
    DWORD error = 0;          // 0, ERROR_NO_SUCH_DEVINST, ERROR_MOD_NOT_FOUND, ERROR_PROC_NOT_FOUND
                              // or ERROR_NO_DRIVER_SELECTED when no candidate remained
    std::vector<platform::driver_candidate> drivers; // the compatible list as ranked at the end
    int chosen = -1;          // index into drivers of the installed one
    std::vector<device_setup_call> calls;
    bool finish_install_action = false; // a co-installer asked for DIF_FINISHINSTALL_ACTION
};

// Runs setup for the node with instance_id. The best driver is the lowest rank, the first of
// equals; installing it sets the node's manufacturer and description to the driver's. The
// install functions go, in order: DIF_SELECTBESTCOMPATDRV, DIF_ALLOW_INSTALL,
// DIF_INSTALLDEVICEFILES, DIF_REGISTER_COINSTALLERS, DIF_INSTALLINTERFACES,
// DIF_INSTALLDEVICE, DIF_NEWDEVICEWIZARD_FINISHINSTALL and, when requested through
// DI_FLAGSEX_FINISHINSTALL_ACTION, DIF_FINISHINSTALL_ACTION. A co-installer that returns
// ERROR_DI_POSTPROCESSING_REQUIRED is called again after the step; any other error stops
// setup with that error. Runs on the calling thread.
device_setup_result run_device_setup(const std::wstring &instance_id,
                                     const std::vector<platform::driver_candidate> &compatible,
                                     const coinstaller_ref &coinstaller);

} // namespace sim
