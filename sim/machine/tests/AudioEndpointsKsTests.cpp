// Audio endpoints over the standard driver's Wave filter: a standard device attached to the
// machine shows as a render and a capture endpoint whose device path names the USB device, and
// two exclusive event-driven clients stream through the driver's pins, looped back as a clean
// run. The machine runs on the paced clock: the endpoints' period clock and the bus move on
// together, only while the driver, the engine's threads and the clients (which join the
// machine) all wait, so a loaded computer slows the stream down instead of losing audio.
#include <algorithm>
#include <audioclient.h>
#include <atomic>
#include <gtest/gtest.h>
#include <ksmedia.h>
#include <mmdeviceapi.h>
#include <objbase.h>
#include <platform/pool.h>
#include <sim/audio_device.h>
#include <sim/audio_endpoints.h>
#include <sim/audio_engine.h>
#include <sim/clean_run.h>
#include <sim/machine.h>
#include <sim/package_drivers.h>
#include <sim/paced_clock.h>
#include <platform/clock.h>
#include <platform/thread.h>
#include <optional>
#include <thread>
#include <wdm.h>

namespace {

constexpr DWORD kTimeoutMs = 10000;

class KsEndpointsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_clock = std::make_unique<sim::paced_clock>(platform::ticks_per_ms, &m_machine);
        sim::install_package_drivers(m_machine);
        auto device = std::make_shared<sim::audio_device>(sim::build_uac1_device(sim::standard_uac1_options()));
        ASSERT_EQ(STATUS_SUCCESS, m_machine.attach(device, &m_pdo));
        std::vector<std::wstring> paths = sim::audio_interfaces();
        ASSERT_EQ(1u, paths.size());
        ASSERT_EQ(STATUS_SUCCESS, sim::ks_endpoint_pair::create(paths[0], &m_pair));
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        ASSERT_EQ(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_INPROC_SERVER, IID_IMMDeviceEnumerator,
                                   reinterpret_cast<void **>(&m_enumerator)),
                  S_OK);
    }
    void TearDown() override
    {
        if (m_enumerator != nullptr) {
            m_enumerator->Release();
        }
        CoUninitialize();
        m_pair.reset();
        if (m_pdo != nullptr) {
            EXPECT_EQ(STATUS_SUCCESS, m_machine.detach(m_pdo));
        }
        const std::string path = m_machine.module_path("ovmlsau");
        EXPECT_EQ(STATUS_SUCCESS, m_machine.unload_driver("ovmlsau"));
        EXPECT_TRUE(platform::pool_leaks(path).empty()) << platform::pool_leak_report(path);
    }

    IAudioClient *open(const std::wstring &id, REFERENCE_TIME period, HANDLE event, ULONG rate)
    {
        IMMDevice *device = nullptr;
        EXPECT_EQ(m_enumerator->GetDevice(id.c_str(), &device), S_OK);
        if (device == nullptr) {
            return nullptr;
        }
        IAudioClient *client = nullptr;
        EXPECT_EQ(device->Activate(IID_IAudioClient, CLSCTX_INPROC_SERVER, nullptr, reinterpret_cast<void **>(&client)), S_OK);
        device->Release();
        WAVEFORMATEXTENSIBLE f{};
        f.Format = {WAVE_FORMAT_EXTENSIBLE, 2, rate, rate * 4, 4, 16, 22};
        f.Samples.wValidBitsPerSample = 16;
        f.dwChannelMask = 3;
        f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        EXPECT_EQ(client->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, &f.Format, nullptr), S_OK);
        EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, 0xC0000, period, period, &f.Format, nullptr), S_OK);
        EXPECT_EQ(client->SetEventHandle(event), S_OK);
        return client;
    }

    sim::machine m_machine;
    std::unique_ptr<sim::paced_clock> m_clock;
    DEVICE_OBJECT *m_pdo = nullptr;
    std::unique_ptr<sim::ks_endpoint_pair> m_pair;
    IMMDeviceEnumerator *m_enumerator = nullptr;
};

TEST_F(KsEndpointsTest, TheFilterShowsAsARenderAndACaptureEndpointOfTheUsbDevice)
{
    EXPECT_EQ(m_pair->device_key().rfind(L"USB\\VID_3A51&PID_0201\\", 0), 0u);
    ASSERT_FALSE(m_pair->render_id().empty());
    ASSERT_FALSE(m_pair->capture_id().empty());
    std::unique_ptr<sim::ks_endpoint_pair> again;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, sim::ks_endpoint_pair::create(L"\\\\?\\nothing", &again));
    m_pair->remove();
    IMMDevice *device = nullptr;
    ASSERT_EQ(m_enumerator->GetDevice(m_pair->render_id().c_str(), &device), S_OK);
    DWORD state = 0;
    EXPECT_EQ(device->GetState(&state), S_OK);
    EXPECT_EQ(state, static_cast<DWORD>(DEVICE_STATE_NOTPRESENT));
    device->Release();
}

TEST_F(KsEndpointsTest, ExclusiveClientsStreamThroughTheDriverAsACleanRun)
{
    constexpr ULONG rate = 48000;
    constexpr UINT32 frames = 480;
    const REFERENCE_TIME period = 100000;
    HANDLE render_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE capture_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    IAudioClient *render = open(m_pair->render_id(), period, render_event, rate);
    IAudioClient *capture = open(m_pair->capture_id(), period, capture_event, rate);
    ASSERT_NE(render, nullptr);
    ASSERT_NE(capture, nullptr);
    IAudioRenderClient *writer = nullptr;
    IAudioCaptureClient *reader = nullptr;
    ASSERT_EQ(render->GetService(IID_IAudioRenderClient, reinterpret_cast<void **>(&writer)), S_OK);
    ASSERT_EQ(capture->GetService(IID_IAudioCaptureClient, reinterpret_cast<void **>(&reader)), S_OK);

    ULONGLONG next_frame = 0;
    auto write_period = [&] {
        BYTE *data = nullptr;
        if (writer->GetBuffer(frames, &data) != S_OK) {
            return false;
        }
        sim::wavert_write_pattern(data, next_frame, frames, 2, 16);
        next_frame += frames;
        return writer->ReleaseBuffer(frames, 0) == S_OK;
    };
    std::vector<UCHAR> captured;
    std::atomic<bool> reading{true};
    std::atomic<ULONG> discontinuities{0};
    std::thread reader_thread([&] {
        const platform::machine_thread_scope member;
        while (reading) {
            if (WaitForSingleObject(capture_event, 200) != WAIT_OBJECT_0) {
                continue;
            }
            BYTE *data = nullptr;
            UINT32 count = 0;
            DWORD flags = 0;
            while (reader->GetBuffer(&data, &count, &flags, nullptr, nullptr) == S_OK) {
                if ((flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) != 0) {
                    ++discontinuities;
                }
                if ((flags & AUDCLNT_BUFFERFLAGS_SILENT) == 0) {
                    captured.insert(captured.end(), data, data + count * 4);
                } else {
                    captured.insert(captured.end(), static_cast<size_t>(count) * 4, 0);
                }
                reader->ReleaseBuffer(count);
            }
        }
    });

    std::optional<platform::machine_thread_scope> member;
    member.emplace();
    ASSERT_TRUE(write_period());
    ASSERT_EQ(capture->Start(), S_OK);
    ASSERT_EQ(render->Start(), S_OK);
    for (int k = 0; k < 100; ++k) {
        ASSERT_EQ(WaitForSingleObject(render_event, kTimeoutMs), WAIT_OBJECT_0);
        ASSERT_TRUE(write_period());
    }
    member.reset();
    reading = false;
    reader_thread.join();
    EXPECT_EQ(render->Stop(), S_OK);
    EXPECT_EQ(capture->Stop(), S_OK);
    writer->Release();
    reader->Release();
    render->Release();
    capture->Release();
    CloseHandle(render_event);
    CloseHandle(capture_event);

    // Silence, then every frame played, in order and unchanged, to the end of the recording.
    const sim::clean_run run = sim::check_clean_run(captured, 4, next_frame, [](ULONGLONG k, UCHAR *out) {
        sim::wavert_write_pattern(out, k, 1, 2, 16);
    });
    EXPECT_EQ(0u, discontinuities.load());
    EXPECT_TRUE(run.clean) << run.why;
    EXPECT_EQ(0u, m_clock->overruns()) << "the clock never ran ahead of the machine";
    EXPECT_GT(run.frames, static_cast<size_t>(rate / 2));
}

} // namespace
