// Test support for the mmdevapi tests: a machine per test with the enumerator created, and a
// backend that records what render streams play and feeds capture streams a counting pattern.
#pragma once
#include <audioclient.h>
#include <audiopolicy.h>
#include <chrono>
#include <gtest/gtest.h>
#include <ksmedia.h>
#include <mmdeviceapi.h>
#include <mutex>
#include <objbase.h>
#include <platform/audio_endpoint.h>
#include <platform/clock.h>
#include <platform/machine_state.h>
#include <thread>
#include <vector>

namespace mmdev_test {

struct backend_record {
    std::mutex lock;
    std::vector<BYTE> rendered;
    ULONG capture_counter = 0; // next 16-bit value of the capture pattern
    bool capture_silent = false;
    ULONG opens = 0;
    platform::audio_pcm_format last_format{};
    UINT32 last_period = 0;
};

class recording_stream final : public platform::audio_endpoint_stream {
public:
    recording_stream(std::shared_ptr<backend_record> record, ULONG block) : m_record(std::move(record)), m_block(block) {}
    void render(const BYTE *data, UINT32 frames) override
    {
        std::lock_guard<std::mutex> guard(m_record->lock);
        m_record->rendered.insert(m_record->rendered.end(), data, data + frames * m_block);
    }
    bool capture(BYTE *data, UINT32 frames) override
    {
        std::lock_guard<std::mutex> guard(m_record->lock);
        auto *samples = reinterpret_cast<USHORT *>(data);
        for (size_t i = 0; i < frames * m_block / sizeof(USHORT); ++i) {
            samples[i] = m_record->capture_silent ? 0 : static_cast<USHORT>(m_record->capture_counter++);
        }
        return !m_record->capture_silent;
    }

private:
    std::shared_ptr<backend_record> m_record;
    ULONG m_block;
};

class recording_backend final : public platform::audio_endpoint_backend {
public:
    explicit recording_backend(std::shared_ptr<backend_record> record) : m_record(std::move(record)) {}
    std::unique_ptr<platform::audio_endpoint_stream> open(const platform::audio_pcm_format &format, UINT32 period) override
    {
        std::lock_guard<std::mutex> guard(m_record->lock);
        m_record->opens += 1;
        m_record->last_format = format;
        m_record->last_period = period;
        return std::make_unique<recording_stream>(m_record, format.block_align());
    }

private:
    std::shared_ptr<backend_record> m_record;
};

inline GUID test_guid(ULONG n)
{
    return GUID{0x5EED0000u + n, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};
}

// 16-bit stereo PCM in the extensible layout an exclusive client opens with.
inline WAVEFORMATEXTENSIBLE stereo16(ULONG rate)
{
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = 2;
    f.Format.nSamplesPerSec = rate;
    f.Format.nBlockAlign = 4;
    f.Format.nAvgBytesPerSec = rate * 4;
    f.Format.wBitsPerSample = 16;
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = 16;
    f.dwChannelMask = 3;
    f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return f;
}

// Waits for a condition without a fixed sleep; the bound is real time, so it holds also while
// the machine clock is manual.
template <typename Condition> bool eventually(Condition condition, int seconds = 10)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

inline bool signalled(HANDLE event)
{
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

class MmdevTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::machine_boot();
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
        platform::machine_shutdown();
    }

    std::wstring add_endpoint(platform::audio_flow flow, ULONG n, const std::wstring &path = L"{1}.USB\\VID_1234&PID_5678\\1",
                              ULONG alignment = 0, ULONG granularity = 0)
    {
        platform::audio_endpoint_desc desc;
        desc.flow = flow;
        desc.guid = test_guid(n);
        desc.friendly_name = L"Speakers (Test " + std::to_wstring(n) + L")";
        desc.interface_name = L"Test " + std::to_wstring(n);
        desc.description = L"Speakers";
        desc.device_path = path;
        desc.formats = {{48000, 2, 16, 16}, {44100, 2, 16, 16}, {48000, 2, 24, 24}};
        desc.alignment_bytes = alignment;
        desc.buffer_granularity_frames = granularity;
        desc.backend = std::make_shared<recording_backend>(m_record);
        return platform::audio_endpoint_add(desc);
    }

    IMMDevice *device(const std::wstring &id)
    {
        IMMDevice *result = nullptr;
        EXPECT_EQ(m_enumerator->GetDevice(id.c_str(), &result), S_OK);
        return result;
    }

    IAudioClient *activate(const std::wstring &id)
    {
        IMMDevice *dev = device(id);
        if (dev == nullptr) {
            return nullptr;
        }
        IAudioClient *client = nullptr;
        EXPECT_EQ(dev->Activate(IID_IAudioClient, CLSCTX_INPROC_SERVER, nullptr, reinterpret_cast<void **>(&client)), S_OK);
        dev->Release();
        return client;
    }

    IMMDeviceEnumerator *m_enumerator = nullptr;
    std::shared_ptr<backend_record> m_record = std::make_shared<backend_record>();
};

} // namespace mmdev_test
