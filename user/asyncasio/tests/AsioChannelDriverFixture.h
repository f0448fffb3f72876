// Fixture of the ASIO driver's tests against the client tests' channel driver, whose devices
// can be told to misbehave: render-only devices that take every write at once, duplex devices
// whose capture begins with data of its own, helpers that set up the driver on them, and a way
// to follow the timers of the driver's message window on the machine's manual clock.
#pragma once
#include "AsioDriverFixture.h"
#include <platform/clock.h>
#include <array>
#include <atomic>
#include <string>
#include <vector>
#include "ChannelMachineTest.h"
#include "RegUtil2.h"

namespace asio_test {

// Leak checking builds: a killed host's driver object stays in the simulation's heap, where on
// Windows it would vanish with its process.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool LeakChecked = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool LeakChecked = true;
#else
inline constexpr bool LeakChecked = false;
#endif
#else
inline constexpr bool LeakChecked = false;
#endif

inline const std::wstring DeviceId = L"USB\\VID_3A51&PID_0102&MI_00\\7&1A2B3C&0&0000";
inline const std::wstring OtherDeviceId = L"USB\\VID_3A51&PID_0103&MI_00\\7&1A2B3C&0&0001";

class AsioChannelDriverTest : public ChannelMachineTest {
private:
    static std::array<std::atomic<int>, 4> &window_ticks()
    {
        static std::array<std::atomic<int>, 4> counts{};
        return counts;
    }
    static WNDPROC &original_proc()
    {
        static WNDPROC proc = nullptr;
        return proc;
    }
    static LRESULT CALLBACK counting_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
    {
        const LRESULT result = CallWindowProcW(original_proc(), window, message, wparam, lparam);
        if (message == WM_TIMER && wparam < window_ticks().size()) {
            window_ticks()[wparam]++;
        }
        return result;
    }

protected:
    void SetUp() override
    {
        new_recorder();
        ChannelMachineTest::SetUp();
        register_driver(&m_module);
    }

    void TearDown() override
    {
        platform::clock_use_manual(false);
        if (m_driver != nullptr) {
            m_driver->Release();
            m_driver = nullptr;
        }
        CoUninitialize();
        ChannelMachineTest::TearDown();
        FreeLibrary(m_module);
        delete_recorder();
    }

    // Two 32-bit outputs at every table rate of 44100..96000.
    static void render_only(CHANNEL_TEST_DEVICE &s)
    {
        s.CapsCount = 0;
        for (ULONG rate : {44100u, 48000u, 88200u, 96000u}) {
            s.Caps[s.CapsCount++] = {rate, 2, 32, 0, 32};
        }
    }

    static void store(DWORD rate, DWORD index)
    {
        CRegUtil2 settings;
        DWORD probe = 0;
        settings.GetValue(REGVAL_SAMPLING_RATE, &probe, sizeof(probe));
        ASSERT_EQ(REGUTIL_OK, settings.SetValue(REGVAL_SAMPLING_RATE, &rate, sizeof(rate)));
        ASSERT_EQ(REGUTIL_OK, settings.SetValue(REGVAL_BUFFER_SIZE_INDEX, &index, sizeof(index)));
    }

    // A driver initialised at rate on a device that configure describes (a duplex device
    // before it), or that render_only and then configure describe.
    template <typename Configure>
    void open_with(Configure configure, DWORD rate = 48000)
    {
        m_device = &add_device({DeviceId}, configure);
        store(rate, 7);
        m_driver = create_asio_driver();
        ASSERT_NE(m_driver, nullptr);
        ASSERT_EQ(m_driver->init(nullptr), ASIOTrue);
        record().driver = m_driver;
    }
    template <typename Configure>
    void open_device(Configure configure, DWORD rate = 48000)
    {
        open_with(
            [&](CHANNEL_TEST_DEVICE &s) {
                render_only(s);
                configure(s);
            },
            rate);
    }
    void open_render_only(DWORD rate = 48000)
    {
        open_device([](CHANNEL_TEST_DEVICE &) {}, rate);
    }

    // Buffers for both outputs of the device (and its first input when it has inputs).
    void create_buffers(int32_t size = 512, bool with_input = false)
    {
        m_infos = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
        if (with_input) {
            m_infos.push_back({ASIOTrue, 0, {}});
        }
        ASSERT_EQ(m_driver->createBuffers(m_infos.data(), (int32_t)m_infos.size(), size, &m_callbacks), ASE_OK);
        std::lock_guard<std::mutex> guard(record().lock);
        record().outputs.clear();
        for (size_t i = 0; i < 2; ++i) {
            record().outputs.emplace_back(m_infos[i].buffers[0], m_infos[i].buffers[1]);
        }
        record().output_bytes = (size_t)size * 4;
    }

    static bool wait_switches(int count)
    {
        return wait_until([&] { return record().switches.load() >= count; });
    }

    uint64_t position()
    {
        ASIOSamples samples{};
        ASIOTimeStamp stamp{};
        EXPECT_EQ(m_driver->getSamplePosition(&samples, &stamp), ASE_OK);
        return ((uint64_t)samples.hi << 32) | samples.lo;
    }

    // Counts the timer messages the driver's message window has handled, by timer: the
    // window procedure is wrapped so that a count rises once the driver's handler returned.
    static void watch_window()
    {
        const HWND window = FindWindowW(L"OVMLSAASO", nullptr);
        ASSERT_NE(window, nullptr);
        for (auto &count : window_ticks()) {
            count = 0;
        }
        original_proc() = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&counting_proc)));
        ASSERT_NE(original_proc(), nullptr);
    }
    static int ticks(UINT_PTR timer) { return window_ticks()[timer].load(); }

    // Moves the clock on by at least the shortest timer period (10 ms) and returns once the
    // window has handled every timer that fell due: a timer of the test's own, set last, falls
    // due last and is handled after the others.
    static void advance_ms(LONGLONG ms)
    {
        ASSERT_GE(ms, (LONGLONG)USER_TIMER_MINIMUM);
        const HWND window = FindWindowW(L"OVMLSAASO", nullptr);
        ASSERT_NE(window, nullptr);
        platform::clock_advance((ms - USER_TIMER_MINIMUM) * platform::ticks_per_ms);
        const int before = ticks(FenceTimer);
        ASSERT_NE(SetTimer(window, FenceTimer, USER_TIMER_MINIMUM, nullptr), 0u);
        platform::clock_advance(USER_TIMER_MINIMUM * platform::ticks_per_ms);
        ASSERT_TRUE(wait_until([&] { return ticks(FenceTimer) > before; }));
        KillTimer(window, FenceTimer);
    }

    // Function numbers of the control codes a device answered from call number from on.
    static std::vector<ULONG> calls_since(const test_device &device, size_t from)
    {
        const std::vector<ULONG> all = calls(device);
        return std::vector<ULONG>(all.begin() + (ptrdiff_t)std::min(from, all.size()), all.end());
    }
    static size_t count_of(const std::vector<ULONG> &calls, ULONG code)
    {
        return (size_t)std::count(calls.begin(), calls.end(), CHANNEL_TEST_FUNCTION(code));
    }

    // The driver's resume-poll and suspended-position timers, and one of the test's own.
    static constexpr UINT_PTR ResumeTimer = 1;
    static constexpr UINT_PTR SuspendedTimer = 2;
    static constexpr UINT_PTR FenceTimer = 3;

    HMODULE m_module = nullptr;
    IASIO *m_driver = nullptr;
    test_device *m_device = nullptr;
    std::vector<ASIOBufferInfo> m_infos;
    ASIOCallbacks m_callbacks = recording_callbacks();
};

} // namespace asio_test
