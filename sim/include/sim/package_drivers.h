// The package's kernel drivers by the hardware IDs of its devices, as its INF files list them:
// the asynchronous device gets ovmlsaau, the two standard devices get ovmlsau.
#pragma once
#include <span>

namespace sim {

class machine;

struct package_driver {
    const wchar_t *hardware_id;
    const char *module;
    const wchar_t *service;
};

// Every (hardware ID, module, service) row of the package.
std::span<const package_driver> package_drivers();

// Installs every row on the machine, so that attaching a device of the package loads its driver.
void install_package_drivers(machine &target);

} // namespace sim
