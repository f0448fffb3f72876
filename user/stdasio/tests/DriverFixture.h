// Fixture of the standard ASIO driver's tests: a booted machine whose test process plays a
// 32-bit host, ovmlsaso registered as its setup registers it, simulated standard devices
// behind exclusive-mode endpoints, helpers for the per-user settings, and a callback recorder
// for tests that drive IASIO directly.
#pragma once
#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include <AsioInterface.h>
#include <sim/machine.h>

namespace stdasio_test {

// {E34ABBB9-E175-4A6A-9BDF-9899FC21BCBD}
inline const CLSID DriverClassId = {0xE34ABBB9, 0xE175, 0x4A6A, {0x9B, 0xDF, 0x98, 0x99, 0xFC, 0x21, 0xBC, 0xBD}};
inline constexpr const WCHAR *DriverName = L"Orvan Marla Series ASIO";

// What the driver told the callbacks of a directly driven session. Callbacks carry no context,
// so one recorder serves the test that runs.
struct recorder {
    std::atomic<int> switches{0};
    std::atomic<int> plain_switches{0};
    std::atomic<int> resets{0};
    std::atomic<int> rate_changes{0};
    std::atomic<int32_t> time_info{1};
    // Runs inside each buffer switch with its number, before the switch is counted (a host
    // that takes time); set before start.
    std::function<void(int)> on_switch;
    std::mutex lock;
    std::vector<int32_t> halves;
    std::vector<int64_t> positions;   // sample position of each bufferSwitchTimeInfo
    std::vector<uint32_t> time_codes; // timeCodeSamples.lo
    std::vector<uint32_t> flags;      // timeInfo.flags
    std::vector<double> time_rates;   // timeInfo.sampleRate
    std::vector<int16_t> first_input_samples; // input 0's first sample of each switch's half
    std::vector<void *> inputs[2];            // the two halves of input 0
    std::vector<void *> outputs[2];           // both halves of each output, filled per switch
    size_t half_bytes = 0;
};
recorder &record();
ASIOCallbacks recording_callbacks();

int line_underruns();
// The rate the devices' endpoints were last opened at, and how many periods with a sample
// other than 0 their render endpoints played.
ULONG last_open_rate();
int audible_render_periods();
bool wait_until(const std::function<bool()> &cond, DWORD timeout_ms = 10000);

// Per-user settings of the standard driver, as the control panel writes them.
void store_setting_dword(LPCWSTR name, DWORD value);
void store_setting_byte(LPCWSTR name, BYTE value);
void store_setting_text(LPCWSTR name, const std::wstring &value);
DWORD stored_setting_dword(LPCWSTR name);

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Adds a supported standard device: a render and a capture endpoint whose device path
    // names the maker's VID/PID, render looped back to capture. Returns the device key.
    // render_granularity: the render endpoint grants buffers in multiples of these frames.
    std::wstring add_device(const std::wstring &name = L"USB Audio", unsigned serial = 1,
                            ULONG render_granularity = 0);
    // The endpoint identifiers of the last added device.
    std::wstring m_renderId;
    std::wstring m_captureId;
    // The rates the next added device's endpoints open at.
    std::vector<ULONG> m_rates{44100, 48000};

    // A new driver object through COM, as a host creates it; released by TearDown.
    IASIO *create_driver();
    // Creates, inits and creates buffers for two inputs and two outputs at the stored size.
    IASIO *prepared_driver(ASIOBufferInfo infos[4], ASIOCallbacks *callbacks);

    std::unique_ptr<sim::machine> m_machine;
    HMODULE m_module = nullptr;
    std::vector<IASIO *> m_drivers;
    bool m_com = false;
};

} // namespace stdasio_test
