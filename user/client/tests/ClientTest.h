// The fixture of the client library's tests: a freshly booted machine per test that checks
// no registry key handle is left open, and a helper that runs code in a simulated process.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <platform/machine_state.h>
#include <platform/process.h>
#include <platform/registry.h>
#include <functional>
#include <string>

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override { platform::machine_boot(); }
    void TearDown() override
    {
        EXPECT_EQ(0u, platform::registry_open_handle_count()) << "a key handle was left open";
        platform::machine_shutdown();
    }

    // Runs body on a thread of a new process and waits for it; the process stays alive for
    // the caller, which ends it and drops the reference.
    static platform::process *run_in_process(const wchar_t *image, const std::function<void()> &body)
    {
        platform::process *p = platform::process_create(image, image);
        platform::thread *t = platform::process_start_thread(p, body);
        EXPECT_NE(nullptr, t);
        EXPECT_TRUE(platform::process_wait_threads(p, 10000));
        if (t != nullptr) {
            platform::thread_dereference(t);
        }
        return p;
    }

    static void end_process(platform::process *p)
    {
        platform::process_terminate(p, 0);
        platform::process_dereference(p);
    }

    static std::wstring settings_path()
    {
        return L"\\Registry\\User\\" + platform::registry_current_user() +
               L"\\SOFTWARE\\Orvan\\{12A0DEBD-D683-43B5-BF51-9C131720841C}";
    }
};
