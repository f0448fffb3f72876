// The fixture of the setup tool tests: a booted machine with one device node, and helpers for
// the setup key, the file store and driver candidates.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <setupapi.h>
#include <platform/device_install.h>
#include <platform/pnp.h>
#include <sim/device_setup.h>
#include <sim/machine.h>
#include <memory>

class SetupFixture : public ::testing::Test {
protected:
    void SetUp() override { machine = std::make_unique<sim::machine>(); }
    // Every program device setup started has ended before the machine goes down.
    void TearDown() override
    {
        for (const auto &start : platform::process_start_records()) {
            EXPECT_TRUE(platform::process_start_wait(start.process_id, 10000, nullptr));
        }
        machine.reset();
    }

    // A present device node; its PDO is only a key of the PnP manager's table.
    void add_device(const std::wstring &instance_id, const std::vector<std::wstring> &hardware_ids,
                    const std::wstring &manufacturer = L"")
    {
        platform::device_node fields;
        fields.instance_id = instance_id;
        fields.hardware_ids = hardware_ids;
        fields.manufacturer = manufacturer;
        ASSERT_NE(nullptr, platform::pnp_create_node(reinterpret_cast<DEVICE_OBJECT *>(&pdo_keys[nodes++]), fields));
    }

    static platform::driver_candidate driver(const char *description, const char *manufacturer, DWORD rank)
    {
        platform::driver_candidate candidate;
        candidate.description = description;
        candidate.manufacturer = manufacturer;
        candidate.provider = manufacturer;
        candidate.inf_path = "C:\\Windows\\INF\\oem1.inf";
        candidate.rank = rank;
        return candidate;
    }

    static void write_setup_value(const WCHAR *key_path, const WCHAR *name, DWORD type, const void *data, DWORD size)
    {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_path, 0, nullptr, 0,
                                                 KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr));
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, type, static_cast<const BYTE *>(data), size));
        RegCloseKey(key);
    }

    std::unique_ptr<sim::machine> machine;

private:
    char pdo_keys[8] = {};
    int nodes = 0;
};
