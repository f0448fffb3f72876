// Helpers of the control panel's tests: waiting on a condition, and a host's hold of the ASIO
// driver played by its named objects on a thread of a simulated process of its own.
#pragma once
#include <windows.h>
#include <platform/process.h>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include "NamedObjects.h"

namespace panel_test {

inline bool wait_for(const std::function<bool()> &condition, DWORD timeout_ms = 10000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Takes the driver as the ASIO driver's message thread does: owns the driver-held mutex and
// sets the driver-in-use event. It lets go without resetting the event, or dies holding it.
class SimulatedHost {
public:
    SimulatedHost()
    {
        m_process = platform::process_create(L"asiohost.exe", L"asiohost.exe");
        m_release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~SimulatedHost()
    {
        SetEvent(m_release);
        platform::process_wait_threads(m_process, 10000);
        if (m_thread != nullptr) {
            platform::thread_dereference(m_thread);
        }
        platform::process_dereference(m_process);
        CloseHandle(m_release);
    }
    SimulatedHost(const SimulatedHost &) = delete;
    SimulatedHost &operator=(const SimulatedHost &) = delete;

    // Returns once the host holds the driver.
    bool take()
    {
        m_thread = platform::process_start_thread(m_process, [this] {
            HANDLE held = CreateMutexW(nullptr, FALSE, OVM_DRIVER_HELD_MUTEX_NAME);
            HANDLE inUse = CreateEventW(nullptr, TRUE, FALSE, OVM_DRIVER_IN_USE_EVENT_NAME);
            WaitForSingleObject(held, INFINITE);
            SetEvent(inUse);
            m_holding = true;
            WaitForSingleObject(m_release, INFINITE);
            ReleaseMutex(held);
            CloseHandle(inUse);
            CloseHandle(held);
            m_holding = false;
        });
        return m_thread != nullptr && wait_for([this] { return m_holding.load(); });
    }
    void release() { SetEvent(m_release); }
    void crash() { platform::process_terminate(m_process, 1); }

private:
    platform::process *m_process = nullptr;
    platform::thread *m_thread = nullptr;
    HANDLE m_release = nullptr;
    std::atomic<bool> m_holding{false};
};

} // namespace panel_test
