// The fixture of the Win32 registry tests: a freshly booted machine per test, a check that
// every key a test opened was closed, and a helper that waits for a condition.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <platform/machine_state.h>
#include <platform/registry.h>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override { platform::machine_boot(); }
    void TearDown() override
    {
        EXPECT_EQ(0u, platform::registry_open_handle_count()) << "a test left a key open";
        platform::machine_shutdown();
    }

    static bool eventually(const std::function<bool()> &condition)
    {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > limit) {
                return false;
            }
            std::this_thread::yield();
        }
        return true;
    }

    static std::wstring user_path(const std::wstring &below)
    {
        return L"\\Registry\\User\\" + platform::registry_current_user() + L"\\" + below;
    }

    static std::vector<BYTE> bytes_of(const void *data, size_t size)
    {
        const auto *p = static_cast<const BYTE *>(data);
        return std::vector<BYTE>(p, p + size);
    }
};

// The settings key of the asynchronous stack, as the client library opens it.
inline constexpr const WCHAR *settings_key = L"SOFTWARE\\Orvan\\{12A0DEBD-D683-43B5-BF51-9C131720841C}";
