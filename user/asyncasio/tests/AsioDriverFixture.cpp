// The ASIO driver tests' machine, device, registration, settings helpers and callback recorder.
#include "AsioDriverFixture.h"
#include <platform/clock.h>
#include <sim/paced_clock.h>
#include <platform/win32_system.h>
#include <sim/uac_descriptors.h>
#include <chrono>
#include <cstring>
#include <thread>
#include "RegUtil2.h"

namespace asio_test {
namespace {

const CLSID ClassId = {0x4427F646, 0x4B33, 0x4B24, {0xA4, 0xD1, 0xA8, 0x38, 0xCC, 0xF6, 0x62, 0xC5}};

recorder *g_recorder = nullptr;

void on_switch(int32_t index, ASIOBool)
{
    recorder &r = record();
    {
        std::lock_guard<std::mutex> guard(r.lock);
        r.halves.push_back(index);
    }
    r.switches++;
}

ASIOTime *on_switch_time(ASIOTime *time, int32_t index, ASIOBool)
{
    recorder &r = record();
    {
        std::lock_guard<std::mutex> guard(r.lock);
        r.halves.push_back(index);
        r.positions.push_back((int64_t)(((uint64_t)time->timeInfo.samplePosition.hi << 32) |
                                        time->timeInfo.samplePosition.lo));
        r.time_codes.push_back(time->timeCode.timeCodeSamples.lo);
        r.flags.push_back(time->timeInfo.flags);
        r.rates.push_back(time->timeInfo.sampleRate);
    }
    IASIO *driver = r.driver.load();
    if (r.query_in_switch.load() && driver != nullptr) {
        double rate = 0;
        int32_t a = 0, b = 0;
        ASIOChannelInfo info{};
        driver->getSampleRate(&rate);
        driver->getLatencies(&a, &b);
        driver->getChannels(&a, &b);
        driver->getChannelInfo(&info);
        driver->canSampleRate(rate);
    }
    {
        std::lock_guard<std::mutex> guard(r.lock);
        for (const auto &buffers : r.outputs) {
            std::memset(index == 0 ? buffers.first : buffers.second, (int)((r.switches.load() + 1) & 0xFF),
                        r.output_bytes);
        }
    }
    if (r.call_output_ready.load() && driver != nullptr) {
        driver->outputReady();
    }
    if (r.in_switch && driver != nullptr) {
        r.in_switch(driver, r.switches.load());
    }
    r.switches++;
    return nullptr;
}

int32_t on_message(int32_t selector, int32_t, void *, double *)
{
    recorder &r = record();
    r.messages++;
    switch (selector) {
    case kAsioEngineVersion:
        return r.engine_version.load();
    case kAsioSupportsTimeInfo:
        return r.time_info.load();
    case kAsioResetRequest:
        if (HANDLE gate = r.reset_gate.load()) {
            WaitForSingleObject(gate, INFINITE);
        }
        r.resets++;
        if (IASIO *driver = r.driver.load(); r.reset_answer && driver != nullptr) {
            r.reset_answer(driver);
        }
        if (r.release_on_reset.load()) {
            if (IASIO *driver = r.driver.exchange(nullptr)) {
                driver->Release();
                r.released = true;
            }
        }
        return 1;
    default:
        return 0;
    }
}

void on_rate(ASIOSampleRate) {}

} // namespace

recorder &record()
{
    return *g_recorder;
}

ASIOCallbacks recording_callbacks()
{
    return ASIOCallbacks{on_switch, on_rate, on_message, on_switch_time};
}

void register_driver(HMODULE *module)
{
    platform::module_register_path(L"ovmlsaaso.dll", L"C:\\Program Files\\Orvan\\ASIO\\ovmlsaaso.dll");
    *module = LoadLibraryW(L"ovmlsaaso.dll");
    ASSERT_NE(*module, nullptr);
    auto reg = reinterpret_cast<HRESULT(STDAPICALLTYPE *)()>(
        reinterpret_cast<void (*)()>(GetProcAddress(*module, "DllRegisterServer")));
    ASSERT_NE(reg, nullptr);
    ASSERT_EQ(reg(), S_OK);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
}

recorder *new_recorder()
{
    delete g_recorder;
    g_recorder = new recorder();
    return g_recorder;
}

void delete_recorder()
{
    delete g_recorder;
    g_recorder = nullptr;
}

void AsioDriverTest::SetUp()
{
    new_recorder();
    m_machine = std::make_unique<sim::machine>();
    m_machine->install_driver(L"USB\\Class_01&SubClass_01", "ovmlsaau", L"OVMLSAAU");
    register_driver(&m_module);
    m_com = m_module != nullptr;
}

void AsioDriverTest::TearDown()
{
    if (m_com) {
        CoUninitialize();
    }
    detach();
    m_bus.reset();
    if (m_module != nullptr) {
        FreeLibrary(m_module);
    }
    m_machine.reset();
    delete_recorder();
}

void AsioDriverTest::pace_bus()
{
    m_bus = sim::quiescent_paced_bus(*m_machine);
}

void AsioDriverTest::attach(sim::uac2_options descriptors, sim::audio_device_options options)
{
    m_device = std::make_shared<sim::audio_device>(sim::build_uac2_device(descriptors), options);
    ASSERT_TRUE(NT_SUCCESS(m_machine->attach(m_device, &m_pdo)));
    ASSERT_NE(m_pdo, nullptr);
}

void AsioDriverTest::detach()
{
    if (m_pdo != nullptr) {
        m_machine->detach(m_pdo);
        m_pdo = nullptr;
    }
}

IASIO *create_asio_driver()
{
    IASIO *driver = nullptr;
    if (FAILED(CoCreateInstance(ClassId, nullptr, CLSCTX_INPROC_SERVER, ClassId, reinterpret_cast<void **>(&driver)))) {
        return nullptr;
    }
    return driver;
}

void AsioDriverTest::store_settings(DWORD rate, DWORD index)
{
    CRegUtil2 settings;
    DWORD probe = 0;
    settings.GetValue(REGVAL_SAMPLING_RATE, &probe, sizeof(probe));
    ASSERT_EQ(REGUTIL_OK, settings.SetValue(REGVAL_SAMPLING_RATE, &rate, sizeof(rate)));
    ASSERT_EQ(REGUTIL_OK, settings.SetValue(REGVAL_BUFFER_SIZE_INDEX, &index, sizeof(index)));
}

void AsioDriverTest::store_selected(const std::wstring &instance_id)
{
    CRegUtil2 settings;
    DWORD probe = 0;
    settings.GetValue(REGVAL_SAMPLING_RATE, &probe, sizeof(probe));
    ASSERT_EQ(REGUTIL_OK, settings.SetSelected(instance_id.c_str()));
}

DWORD AsioDriverTest::stored_rate()
{
    CRegUtil2 settings;
    return settings.GetSamplingRate();
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

std::string driver_errors(const platform::trace_capture &capture)
{
    std::string errors;
    for (const platform::trace_record &r : capture.records()) {
        if (r.level <= TRACE_LEVEL_ERROR) {
            errors += r.provider_name + " " + r.function + ": " + r.text + "\n";
        }
    }
    return errors;
}

} // namespace asio_test
