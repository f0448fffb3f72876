// Device setup of simulated devices attached to the machine's USB bus: the asynchronous
// device keeps this package's driver over foreign ones, and the standard device ends with
// the update tool run and its driver update recorded.
#include "SetupFixture.h"
#include <sim/audio_device.h>
#include <sim/uac_descriptors.h>

namespace {

class AttachedDeviceSetupTests : public SetupFixture {
protected:
    // Attaches a device with no driver installed for it; its node's instance ID.
    std::wstring attach(std::shared_ptr<sim::usb_device> device)
    {
        DEVICE_OBJECT *pdo = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, machine->attach(std::move(device), &pdo));
        platform::pnp_lock();
        const platform::device_node *node = platform::pnp_node_of(pdo);
        std::wstring id = node != nullptr ? node->instance_id : std::wstring();
        platform::pnp_unlock();
        return id;
    }
};

TEST_F(AttachedDeviceSetupTests, AsynchronousDeviceKeepsThePackageDriver)
{
    const std::wstring id = attach(std::make_shared<sim::audio_device>(sim::build_uac2_device(sim::uac2_options{})));
    ASSERT_FALSE(id.empty());
    const auto result = sim::run_device_setup(id,
                                              {driver("USB Audio 2.0 Device", "(Generic USB Audio)", 0x00FF0000),
                                               driver("Orvan Marla Series Async Audio", "Orvan", 0x00FF2001)},
                                              {L"ovmlsacoinstaller.dll", "CoInstallerEntryPoint"});
    EXPECT_EQ(0u, result.error);
    ASSERT_EQ(2u, result.drivers.size());
    EXPECT_EQ(0xFFFFFFFFu, result.drivers[0].rank);
    EXPECT_EQ(0x00FF2001u, result.drivers[1].rank);
    EXPECT_EQ(1, result.chosen);
}

TEST_F(AttachedDeviceSetupTests, StandardDeviceEndsWithItsDriverForcedOn)
{
    const std::wstring folder = L"C:\\Program Files\\Orvan\\Marla Series\\";
    platform::file_store_add(folder + L"ovmlsau.inf");
    const std::wstring path = folder;
    write_setup_value(L"SOFTWARE\\Orvan\\Marla Series Setup", L"InstallPath", REG_SZ, path.c_str(),
                      (DWORD)((path.size() + 1) * sizeof(WCHAR)));
    const std::wstring id = attach(std::make_shared<sim::audio_device>(sim::build_uac1_device(sim::uac1_options{})));
    ASSERT_FALSE(id.empty());
    platform::pnp_lock();
    const std::wstring first_id = platform::pnp_node_by_instance(id)->hardware_ids.at(0);
    platform::pnp_unlock();

    const auto result = sim::run_device_setup(id, {driver("USB Audio Device", "(Generic USB Audio)", 0x00FF0000)},
                                              {L"ovmlscoinstaller.dll", "ovmsCoInstaller"});
    EXPECT_EQ(0u, result.error);
    const auto starts = platform::process_start_records();
    ASSERT_EQ(1u, starts.size());
    EXPECT_EQ(L"\"" + folder + L"ovmupddev.exe\" \"" + folder + L"ovmlsau.inf\" \"" + first_id + L"\"",
              starts[0].command_line);
    EXPECT_EQ(folder, starts[0].current_directory);
    DWORD exit_code = 99;
    ASSERT_TRUE(platform::process_start_wait(starts[0].process_id, 10000, &exit_code));
    EXPECT_EQ(0u, exit_code);
    const auto updates = platform::driver_update_records();
    ASSERT_EQ(1u, updates.size());
    EXPECT_EQ(first_id, updates[0].hardware_id);
    EXPECT_EQ(std::vector<std::wstring>{id}, updates[0].instance_ids);
}

} // namespace
