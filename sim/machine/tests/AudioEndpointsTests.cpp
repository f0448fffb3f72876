// Simulated USB audio endpoints: what the audio engine shows of the device (identifiers,
// device path, registry properties), unplugging and replugging, and render looped back to
// capture as a clean run through two exclusive clients on the machine clock.
#include <audioclient.h>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <ksmedia.h>
#include <mmdeviceapi.h>
#include <objbase.h>
#include <platform/clock.h>
#include <sim/audio_endpoints.h>
#include <sim/clean_run.h>
#include <sim/machine.h>
#include <thread>

namespace {

DEFINE_PROPERTYKEY(device_path_key, 0xB3F8FA53, 0x0004, 0x438E, 0x90, 0x03, 0x51, 0xA4, 0x6E, 0x13, 0x9B, 0xFC, 2);

template <typename Condition> bool eventually(Condition condition)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

class AudioEndpointsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        ASSERT_EQ(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_INPROC_SERVER, IID_IMMDeviceEnumerator,
                                   reinterpret_cast<void **>(&m_enumerator)),
                  S_OK);
    }
    void TearDown() override
    {
        m_enumerator->Release();
        CoUninitialize();
    }

    UINT active(EDataFlow flow)
    {
        IMMDeviceCollection *collection = nullptr;
        EXPECT_EQ(m_enumerator->EnumAudioEndpoints(flow, DEVICE_STATE_ACTIVE, &collection), S_OK);
        UINT count = 0;
        collection->GetCount(&count);
        collection->Release();
        return count;
    }

    IAudioClient *open(const std::wstring &id, REFERENCE_TIME period, HANDLE event)
    {
        IMMDevice *device = nullptr;
        EXPECT_EQ(m_enumerator->GetDevice(id.c_str(), &device), S_OK);
        IAudioClient *client = nullptr;
        EXPECT_EQ(device->Activate(IID_IAudioClient, CLSCTX_INPROC_SERVER, nullptr, reinterpret_cast<void **>(&client)), S_OK);
        device->Release();
        WAVEFORMATEXTENSIBLE f{};
        f.Format = {WAVE_FORMAT_EXTENSIBLE, 2, 44100, 44100 * 4, 4, 16, 22};
        f.Samples.wValidBitsPerSample = 16;
        f.dwChannelMask = 3;
        f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, 0xC0000, period, period, &f.Format, nullptr), S_OK);
        EXPECT_EQ(client->SetEventHandle(event), S_OK);
        return client;
    }

    sim::machine m_machine;
    IMMDeviceEnumerator *m_enumerator = nullptr;
};

TEST_F(AudioEndpointsTest, PairShowsTheUsbDevicePathAndComesBackUnderTheSameIdentifiers)
{
    sim::usb_endpoint_pair_options options;
    options.vendor_id = 0x0A1B;
    options.product_id = 0x00C2;
    options.instance = L"6&ABC&0&2";
    options.device_name = L"Marla Test";
    sim::usb_endpoint_pair pair(options);
    EXPECT_EQ(pair.device_key(), L"USB\\VID_0A1B&PID_00C2\\6&ABC&0&2");
    ASSERT_FALSE(pair.render_id().empty());
    ASSERT_FALSE(pair.capture_id().empty());
    EXPECT_EQ(active(eRender), 1u);
    EXPECT_EQ(active(eCapture), 1u);

    IMMDevice *device = nullptr;
    ASSERT_EQ(m_enumerator->GetDevice(pair.capture_id().c_str(), &device), S_OK);
    IPropertyStore *store = nullptr;
    ASSERT_EQ(device->OpenPropertyStore(STGM_READ, &store), S_OK);
    PROPVARIANT value;
    ASSERT_EQ(store->GetValue(device_path_key, &value), S_OK);
    ASSERT_EQ(value.vt, VT_LPWSTR);
    EXPECT_EQ(std::wstring(value.pwszVal), L"{1}.USB\\VID_0A1B&PID_00C2\\6&ABC&0&2");
    PropVariantClear(&value);
    store->Release();
    device->Release();

    const std::wstring render = pair.render_id();
    pair.unplug();
    EXPECT_EQ(active(eRender), 0u);
    EXPECT_EQ(active(eCapture), 0u);
    pair.replug();
    EXPECT_EQ(pair.render_id(), render);
    EXPECT_EQ(active(eRender), 1u);

    sim::usb_endpoint_pair_options second = options;
    second.instance = L"6&ABC&0&3";
    second.with_capture = false;
    sim::usb_endpoint_pair other(second);
    EXPECT_NE(other.render_id(), render);
    EXPECT_TRUE(other.capture_id().empty());
    EXPECT_EQ(active(eRender), 2u);
    EXPECT_EQ(active(eCapture), 1u);
}

TEST_F(AudioEndpointsTest, RenderLoopsBackToCaptureAsACleanRun)
{
    platform::clock_use_manual(true);
    sim::usb_endpoint_pair pair;
    constexpr UINT32 frames = 512;
    constexpr int periods = 40;
    const REFERENCE_TIME period = static_cast<REFERENCE_TIME>(frames * 10000000.0 / 44100 + 0.5);
    HANDLE render_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE capture_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    IAudioClient *render = open(pair.render_id(), period, render_event);
    IAudioClient *capture = open(pair.capture_id(), period, capture_event);
    IAudioRenderClient *writer = nullptr;
    IAudioCaptureClient *reader = nullptr;
    ASSERT_EQ(render->GetService(IID_IAudioRenderClient, reinterpret_cast<void **>(&writer)), S_OK);
    ASSERT_EQ(capture->GetService(IID_IAudioCaptureClient, reinterpret_cast<void **>(&reader)), S_OK);
    UINT32 granted = 0;
    ASSERT_EQ(render->GetBufferSize(&granted), S_OK);
    ASSERT_EQ(granted, frames);

    // Frame k carries the samples 2k + 1 and 2k + 2.
    const auto frame_of = [](ULONGLONG k, UCHAR *out) {
        const USHORT samples[2] = {static_cast<USHORT>(2 * k + 1), static_cast<USHORT>(2 * k + 2)};
        std::memcpy(out, samples, sizeof(samples));
    };
    ULONGLONG written = 0;
    auto write_period = [&] {
        BYTE *data = nullptr;
        ASSERT_EQ(writer->GetBuffer(frames, &data), S_OK);
        for (UINT32 i = 0; i < frames; ++i) {
            frame_of(written++, data + i * 4);
        }
        ASSERT_EQ(writer->ReleaseBuffer(frames, 0), S_OK);
    };
    std::vector<UCHAR> captured;
    auto read_packets = [&] {
        BYTE *data = nullptr;
        UINT32 count = 0;
        DWORD flags = 0;
        while (reader->GetBuffer(&data, &count, &flags, nullptr, nullptr) == S_OK) {
            EXPECT_EQ(flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY, 0u);
            if ((flags & AUDCLNT_BUFFERFLAGS_SILENT) == 0) {
                captured.insert(captured.end(), data, data + count * 4);
            } else {
                captured.insert(captured.end(), static_cast<size_t>(count) * 4, 0);
            }
            reader->ReleaseBuffer(count);
        }
    };

    write_period();
    ASSERT_EQ(capture->Start(), S_OK);
    ASSERT_EQ(render->Start(), S_OK);
    for (int k = 0; k < periods; ++k) {
        platform::clock_advance(period);
        ASSERT_TRUE(eventually([&] { return WaitForSingleObject(render_event, 0) == WAIT_OBJECT_0; }));
        ASSERT_TRUE(eventually([&] { return WaitForSingleObject(capture_event, 0) == WAIT_OBJECT_0; }));
        read_packets();
        write_period();
    }
    EXPECT_EQ(render->Stop(), S_OK);
    EXPECT_EQ(capture->Stop(), S_OK);
    EXPECT_EQ(pair.frames_rendered(), periods * frames);
    EXPECT_EQ(captured.size(), periods * frames * 4u);
    const sim::clean_run run = sim::check_clean_run(captured, 4, written, frame_of);
    EXPECT_TRUE(run.clean) << run.why;
    writer->Release();
    reader->Release();
    render->Release();
    capture->Release();
    CloseHandle(render_event);
    CloseHandle(capture_event);
}

} // namespace
