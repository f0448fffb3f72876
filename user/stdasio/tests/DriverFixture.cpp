// The standard ASIO driver tests' machine, registration, devices, settings helpers and callback
// recorder.
#include "DriverFixture.h"
#include <platform/audio_endpoint.h>
#include <platform/process.h>
#include <platform/registry.h>
#include <platform/win32_system.h>
#include <chrono>
#include <algorithm>
#include <cstring>
#include <deque>
#include <thread>

namespace stdasio_test {
namespace {

const WCHAR SettingsKey[] = L"SOFTWARE\\Orvan\\Marla Series ASIO";

recorder *g_recorder = nullptr;

// USB identity of a supported standard device, as its device instance path shows it.
const WCHAR SupportedDevicePath[] = L"USB\\VID_3A51&PID_0201\\";

std::atomic<int> g_line_underruns{0};
std::atomic<ULONG> g_last_open_rate{0};
std::atomic<int> g_audible_render_periods{0};

// The wire from a device's render endpoint back to its capture endpoint. Capture waits until
// two periods are queued before it takes any, so that the two endpoint clocks' jitter never
// makes it run dry in the middle of a stream.
class loopback_line {
public:
    void put(const BYTE *data, size_t bytes)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_fifo.insert(m_fifo.end(), data, data + bytes);
        const size_t limit = 1u << 20;
        if (m_fifo.size() > limit) {
            m_fifo.erase(m_fifo.begin(), m_fifo.begin() + (std::ptrdiff_t)(m_fifo.size() - limit));
        }
    }
    bool take(BYTE *data, size_t bytes)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_flowing && m_fifo.size() >= 2 * bytes) {
            m_flowing = true;
        }
        if (!m_flowing || m_fifo.size() < bytes) {
            if (m_flowing) {
                g_line_underruns++;
            }
            std::memset(data, 0, bytes);
            return m_flowing;
        }
        std::copy(m_fifo.begin(), m_fifo.begin() + (std::ptrdiff_t)bytes, data);
        m_fifo.erase(m_fifo.begin(), m_fifo.begin() + (std::ptrdiff_t)bytes);
        return true;
    }
    void reset()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_fifo.clear();
        m_flowing = false;
    }

private:
    std::mutex m_lock;
    std::deque<BYTE> m_fifo;
    bool m_flowing = false;
};

class loopback_stream : public platform::audio_endpoint_stream {
public:
    loopback_stream(std::shared_ptr<loopback_line> line, USHORT blockAlign)
        : m_line(std::move(line)), m_align(blockAlign)
    {
    }
    void render(const BYTE *data, UINT32 frames) override
    {
        const size_t bytes = (size_t)frames * m_align;
        if (std::any_of(data, data + bytes, [](BYTE b) { return b != 0; })) {
            g_audible_render_periods++;
        }
        m_line->put(data, bytes);
    }
    bool capture(BYTE *data, UINT32 frames) override { return m_line->take(data, (size_t)frames * m_align); }

private:
    std::shared_ptr<loopback_line> m_line;
    USHORT m_align;
};

class loopback_backend : public platform::audio_endpoint_backend {
public:
    explicit loopback_backend(std::shared_ptr<loopback_line> line) : m_line(std::move(line)) {}
    std::unique_ptr<platform::audio_endpoint_stream> open(const platform::audio_pcm_format &format, UINT32) override
    {
        if (format.block_align() == 0) {
            return nullptr;
        }
        g_last_open_rate = format.rate;
        m_line->reset();
        return std::make_unique<loopback_stream>(m_line, format.block_align());
    }

private:
    std::shared_ptr<loopback_line> m_line;
};

void note_switch(int32_t index)
{
    recorder &r = record();
    const int number = r.switches.load();
    {
        std::lock_guard<std::mutex> guard(r.lock);
        r.halves.push_back(index);
        if (index >= 0 && index < 2 && !r.inputs[index].empty()) {
            r.first_input_samples.push_back(*static_cast<const int16_t *>(r.inputs[index][0]));
        }
        for (void *output : r.outputs[index & 1]) {
            std::memset(output, (number + 1) & 0x7F, r.half_bytes);
        }
    }
    if (r.on_switch) {
        r.on_switch(number);
    }
    r.switches++;
}

void on_switch(int32_t index, ASIOBool)
{
    record().plain_switches++;
    note_switch(index);
}

ASIOTime *on_switch_time(ASIOTime *time, int32_t index, ASIOBool)
{
    recorder &r = record();
    {
        std::lock_guard<std::mutex> guard(r.lock);
        r.positions.push_back((int64_t)(((uint64_t)time->timeInfo.samplePosition.hi << 32) |
                                        time->timeInfo.samplePosition.lo));
        r.time_codes.push_back(time->timeCode.timeCodeSamples.lo);
        r.flags.push_back(time->timeInfo.flags);
        r.time_rates.push_back(time->timeInfo.sampleRate);
    }
    note_switch(index);
    return nullptr;
}

int32_t on_message(int32_t selector, int32_t, void *, double *)
{
    recorder &r = record();
    switch (selector) {
    case kAsioSupportsTimeInfo:
        return r.time_info.load();
    case kAsioResetRequest:
        r.resets++;
        return 1;
    default:
        return 0;
    }
}

void on_rate(ASIOSampleRate)
{
    record().rate_changes++;
}

HKEY open_settings()
{
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, SettingsKey, 0, nullptr, 0,
                                             KEY_READ | KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr));
    return key;
}

} // namespace

recorder &record()
{
    return *g_recorder;
}

ASIOCallbacks recording_callbacks()
{
    return ASIOCallbacks{on_switch, on_rate, on_message, on_switch_time};
}

int line_underruns()
{
    return g_line_underruns.load();
}

ULONG last_open_rate()
{
    return g_last_open_rate.load();
}

int audible_render_periods()
{
    return g_audible_render_periods.load();
}

bool wait_until(const std::function<bool()> &cond, DWORD timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void store_setting_dword(LPCWSTR name, DWORD value)
{
    HKEY key = open_settings();
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value),
                                            sizeof(value)));
    RegCloseKey(key);
}

void store_setting_byte(LPCWSTR name, BYTE value)
{
    HKEY key = open_settings();
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, REG_BINARY, &value, sizeof(value)));
    RegCloseKey(key);
}

void store_setting_text(LPCWSTR name, const std::wstring &value)
{
    HKEY key = open_settings();
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                                            (DWORD)((value.size() + 1) * sizeof(WCHAR))));
    RegCloseKey(key);
}

DWORD stored_setting_dword(LPCWSTR name)
{
    HKEY key = open_settings();
    DWORD value = 0;
    DWORD bytes = sizeof(value);
    DWORD type = 0;
    if (key != nullptr) {
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(&value), &bytes);
        RegCloseKey(key);
    }
    return value;
}

void DriverTest::SetUp()
{
    delete g_recorder;
    g_recorder = new recorder();
    g_last_open_rate = 0;
    g_audible_render_periods = 0;
    g_line_underruns = 0;
    m_machine = std::make_unique<sim::machine>();
    // The driver is a 32-bit in-process server: the process that registers and hosts it opens
    // keys in the 32-bit registry view.
    platform::registry_set_process_view(platform::process_current(), platform::registry_view::wow64_32);
    platform::module_register_path(L"ovmlsaso.dll", L"C:\\Program Files (x86)\\Orvan\\ASIO\\ovmlsaso.dll");
    m_module = LoadLibraryW(L"ovmlsaso.dll");
    ASSERT_NE(m_module, nullptr);
    auto reg = reinterpret_cast<HRESULT(STDAPICALLTYPE *)()>(
        reinterpret_cast<void (*)()>(GetProcAddress(m_module, "DllRegisterServer")));
    ASSERT_NE(reg, nullptr);
    ASSERT_EQ(reg(), S_OK);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    m_com = true;
}

void DriverTest::TearDown()
{
    for (IASIO *driver : m_drivers) {
        driver->Release();
    }
    m_drivers.clear();
    if (m_com) {
        CoUninitialize();
    }
    if (m_module != nullptr) {
        FreeLibrary(m_module);
    }
    m_machine.reset();
    delete g_recorder;
    g_recorder = nullptr;
}

std::wstring DriverTest::add_device(const std::wstring &name, unsigned serial, ULONG render_granularity)
{
    const std::wstring key = std::wstring(SupportedDevicePath) + L"OVS" + std::to_wstring(serial);
    auto line = std::make_shared<loopback_line>();
    auto backend = std::make_shared<loopback_backend>(line);
    platform::audio_endpoint_desc desc;
    for (ULONG rate : m_rates) {
        desc.formats.push_back(platform::audio_pcm_format{rate, 2, 16, 16});
    }
    desc.interface_name = name;
    desc.device_path = L"{1}." + key;
    desc.backend = backend;
    desc.flow = platform::audio_flow::render;
    desc.guid = GUID{0x5D1A0000u + serial, 0x1111, 0x2222, {0, 1, 2, 3, 4, 5, 6, 7}};
    desc.friendly_name = L"Speakers (" + name + L")";
    desc.description = L"Speakers";
    desc.buffer_granularity_frames = render_granularity;
    m_renderId = platform::audio_endpoint_add(desc);
    desc.buffer_granularity_frames = 0;
    desc.flow = platform::audio_flow::capture;
    desc.guid = GUID{0x5D1B0000u + serial, 0x1111, 0x2222, {0, 1, 2, 3, 4, 5, 6, 7}};
    desc.friendly_name = L"Line In (" + name + L")";
    desc.description = L"Line In";
    m_captureId = platform::audio_endpoint_add(desc);
    EXPECT_FALSE(m_renderId.empty());
    EXPECT_FALSE(m_captureId.empty());
    return key;
}

IASIO *DriverTest::create_driver()
{
    IASIO *driver = nullptr;
    if (FAILED(CoCreateInstance(DriverClassId, nullptr, CLSCTX_INPROC_SERVER, DriverClassId,
                                reinterpret_cast<void **>(&driver))) ||
        driver == nullptr) {
        return nullptr;
    }
    m_drivers.push_back(driver);
    return driver;
}

IASIO *DriverTest::prepared_driver(ASIOBufferInfo infos[4], ASIOCallbacks *callbacks)
{
    IASIO *driver = create_driver();
    if (driver == nullptr || driver->init(nullptr) != ASIOTrue) {
        ADD_FAILURE() << "the driver did not initialise";
        return nullptr;
    }
    int32_t min = 0, max = 0, preferred = 0, granularity = 0;
    EXPECT_EQ(ASE_OK, driver->getBufferSize(&min, &max, &preferred, &granularity));
    for (int i = 0; i < 4; ++i) {
        infos[i] = ASIOBufferInfo{i < 2 ? ASIOTrue : ASIOFalse, i % 2, {nullptr, nullptr}};
    }
    if (driver->createBuffers(infos, 4, preferred, callbacks) != ASE_OK) {
        ADD_FAILURE() << "createBuffers failed";
        return nullptr;
    }
    recorder &r = record();
    std::lock_guard<std::mutex> guard(r.lock);
    r.half_bytes = (size_t)preferred * sizeof(int16_t);
    for (int half = 0; half < 2; ++half) {
        r.inputs[half] = {infos[0].buffers[half]};
        r.outputs[half] = {infos[2].buffers[half], infos[3].buffers[half]};
    }
    return driver;
}

} // namespace stdasio_test
