// The package's driver table: which kernel module a device of the package is started with.
#include <sim/machine.h>
#include <sim/package_drivers.h>

namespace sim {

namespace {

constexpr package_driver rows[] = {
    {L"USB\\VID_3A51&PID_0102", "ovmlsaau", L"OVMLSAAU"},
    {L"USB\\VID_3A51&PID_0201", "ovmlsau", L"OVMLSAU"},
    {L"USB\\VID_3A51&PID_0202", "ovmlsau", L"OVMLSAU"},
};

} // namespace

std::span<const package_driver> package_drivers()
{
    return rows;
}

void install_package_drivers(machine &target)
{
    for (const package_driver &row : rows) {
        target.install_driver(row.hardware_id, row.module, row.service);
    }
}

} // namespace sim
