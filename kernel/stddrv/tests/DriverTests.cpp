// ovmlsau as the machine loads it: chosen by the standard devices' hardware IDs, started on
// both of them with its "Wave" subdevice, removed, and unloaded with no pool left.
#include <gtest/gtest.h>
#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>
#include <platform/pnp.h>
#include <platform/pool.h>
#include <sim/audio_device.h>
#include <sim/machine.h>
#include <sim/package_drivers.h>

namespace stddrv_test {
namespace {

std::vector<std::wstring> audio_references()
{
    std::vector<std::wstring> references;
    for (const platform::device_interface &entry : platform::pnp_interfaces(KSCATEGORY_AUDIO, true)) {
        references.push_back(entry.reference);
    }
    return references;
}

TEST(DriverTest, PackageTableNamesTheStandardDriverForBothStandardProducts)
{
    int standard = 0;
    for (const sim::package_driver &row : sim::package_drivers()) {
        const std::wstring id = row.hardware_id;
        if (id.find(L"PID_0201") != std::wstring::npos || id.find(L"PID_0202") != std::wstring::npos) {
            EXPECT_STREQ("ovmlsau", row.module);
            ++standard;
        } else {
            EXPECT_STREQ("ovmlsaau", row.module);
        }
    }
    EXPECT_EQ(2, standard);
}

TEST(DriverTest, StandardDevicesLoadAndStartTheStandardDriver)
{
    sim::machine machine;
    sim::install_package_drivers(machine);
    auto uac1 = std::make_shared<sim::audio_device>(sim::build_uac1_device(sim::standard_uac1_options()));
    auto uac2 = std::make_shared<sim::audio_device>(sim::build_uac2_device(sim::standard_uac2_options(1)));
    DEVICE_OBJECT *pdo1 = nullptr;
    DEVICE_OBJECT *pdo2 = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, machine.attach(uac1, &pdo1));
    ASSERT_NE(nullptr, machine.driver("ovmlsau"));
    EXPECT_EQ(nullptr, machine.driver("ovmlsaau"));
    EXPECT_EQ(std::vector<std::wstring>{L"Wave"}, audio_references());
    ASSERT_EQ(STATUS_SUCCESS, machine.attach(uac2, &pdo2));
    EXPECT_EQ((std::vector<std::wstring>{L"Wave", L"Wave"}), audio_references());

    EXPECT_EQ(STATUS_SUCCESS, machine.detach(pdo1));
    EXPECT_EQ(std::vector<std::wstring>{L"Wave"}, audio_references());
    EXPECT_EQ(STATUS_SUCCESS, machine.detach(pdo2));
    EXPECT_TRUE(audio_references().empty());

    const std::string path = machine.module_path("ovmlsau");
    EXPECT_EQ(STATUS_SUCCESS, machine.unload_driver("ovmlsau"));
    EXPECT_TRUE(platform::pool_leaks(path).empty()) << platform::pool_leak_report(path);
}

TEST(DriverTest, OrderlyRemovalReleasesTheAdapter)
{
    sim::machine machine;
    sim::install_package_drivers(machine);
    auto device = std::make_shared<sim::audio_device>(sim::build_uac2_device(sim::standard_uac2_options(1)));
    DEVICE_OBJECT *pdo = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, machine.attach(device, &pdo));
    EXPECT_EQ(STATUS_SUCCESS, machine.send_pnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE));
    EXPECT_EQ(STATUS_SUCCESS, machine.send_pnp(pdo, IRP_MN_REMOVE_DEVICE));
    const std::string path = machine.module_path("ovmlsau");
    EXPECT_TRUE(platform::pool_leaks(path).empty()) << platform::pool_leak_report(path);
    EXPECT_EQ(STATUS_SUCCESS, machine.detach(pdo));
    EXPECT_EQ(STATUS_SUCCESS, machine.unload_driver("ovmlsau"));
}

TEST(DriverTest, DeviceWithoutCaptureFailsToStartAndLeavesNothing)
{
    sim::machine machine;
    sim::install_package_drivers(machine);
    sim::uac1_options options = sim::standard_uac1_options();
    options.capture = false;
    auto device = std::make_shared<sim::audio_device>(sim::build_uac1_device(options));
    DEVICE_OBJECT *pdo = nullptr;
    EXPECT_EQ(STATUS_NOT_SUPPORTED, machine.attach(device, &pdo));
    EXPECT_TRUE(audio_references().empty());
    const std::string path = machine.module_path("ovmlsau");
    EXPECT_TRUE(platform::pool_leaks(path).empty()) << platform::pool_leak_report(path);
    if (pdo != nullptr) {
        EXPECT_EQ(STATUS_SUCCESS, machine.detach(pdo));
    }
    EXPECT_EQ(STATUS_SUCCESS, machine.unload_driver("ovmlsau"));
}

} // namespace
} // namespace stddrv_test
