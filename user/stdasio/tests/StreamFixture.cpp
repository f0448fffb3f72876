// The stream tests' machine, looped-back endpoints, host callbacks and driver objects.
#include "StreamFixture.h"
#include <chrono>
#include <cstring>
#include <thread>

namespace stream_test {
namespace {

host_record *g_host = nullptr;

int32_t OnMessage(int32_t selector, int32_t, void *, double *)
{
    host().messages++;
    if (selector == kAsioResetRequest) {
        host().resets++;
        return 1;
    }
    return 0;
}

void OnSwitch(int32_t, ASIOBool) {}
void OnRate(ASIOSampleRate) {}
ASIOTime *OnSwitchTime(ASIOTime *, int32_t, ASIOBool)
{
    return nullptr;
}

const size_t RenderedKept = 64;
const size_t PendingKept = 256;

class loop_stream : public platform::audio_endpoint_stream {
public:
    loop_stream(std::shared_ptr<loop_state> loop, USHORT blockAlign) : m_loop(std::move(loop)), m_blockAlign(blockAlign)
    {
    }
    void render(const BYTE *data, UINT32 frames) override
    {
        std::vector<BYTE> period(data, data + (size_t)frames * m_blockAlign);
        std::lock_guard<std::mutex> guard(m_loop->lock);
        if (m_loop->rendered.size() < RenderedKept) {
            m_loop->rendered.push_back(period);
        }
        if (m_loop->pending.size() < PendingKept) {
            m_loop->pending.push_back(std::move(period));
        }
    }
    bool capture(BYTE *data, UINT32 frames) override
    {
        const size_t bytes = (size_t)frames * m_blockAlign;
        std::lock_guard<std::mutex> guard(m_loop->lock);
        while (!m_loop->pending.empty() && m_loop->pending.front().size() != bytes) {
            m_loop->pending.pop_front();
        }
        m_loop->flowing = m_loop->flowing || m_loop->pending.size() >= 2;
        if (!m_loop->flowing || m_loop->pending.empty()) {
            memset(data, 0, bytes);
            return false;
        }
        memcpy(data, m_loop->pending.front().data(), bytes);
        m_loop->pending.pop_front();
        return true;
    }

private:
    std::shared_ptr<loop_state> m_loop;
    USHORT m_blockAlign;
};

class loop_backend : public platform::audio_endpoint_backend {
public:
    explicit loop_backend(std::shared_ptr<loop_state> loop) : m_loop(std::move(loop)) {}
    std::unique_ptr<platform::audio_endpoint_stream> open(const platform::audio_pcm_format &format, UINT32) override
    {
        return std::make_unique<loop_stream>(m_loop, format.block_align());
    }

private:
    std::shared_ptr<loop_state> m_loop;
};

platform::audio_endpoint_desc Endpoint(platform::audio_flow flow, const GUID &guid, ULONG alignmentBytes,
                                       const std::wstring &instancePath, std::shared_ptr<loop_state> loop)
{
    platform::audio_endpoint_desc desc;
    desc.flow = flow;
    desc.guid = guid;
    desc.friendly_name = flow == platform::audio_flow::render ? L"Speakers (Loop)" : L"Line (Loop)";
    desc.interface_name = L"Loop";
    desc.description = flow == platform::audio_flow::render ? L"Speakers" : L"Line";
    desc.device_path = L"{1}." + instancePath;
    desc.formats = {{44100, 2, 16, 16}, {48000, 2, 16, 16}};
    desc.alignment_bytes = alignmentBytes;
    desc.backend = std::make_shared<loop_backend>(std::move(loop));
    return desc;
}

} // namespace

host_record &host()
{
    return *g_host;
}

ASIOCallbacks host_callbacks()
{
    return ASIOCallbacks{OnSwitch, OnRate, OnMessage, OnSwitchTime};
}

bool wait_until(const std::function<bool()> &condition, DWORD timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void StreamTest::SetUp()
{
    g_host = new host_record();
    m_machine = std::make_unique<sim::machine>();
    // The streams of these tests trace through the provider a driver object starts; one is
    // started here for the streams made without one.
    TraceStart(&OVMLSASO_TRACE_GUID);
    m_tracing = true;
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    m_com = true;
    m_loop = std::make_shared<loop_state>();
    m_callbacks = host_callbacks();
}

void StreamTest::TearDown()
{
    for (OVASIO *driver : m_drivers) {
        driver->m_callbacks = nullptr;
        static_cast<INonDelegatingUnknown *>(driver)->InnerRelease();
    }
    m_drivers.clear();
    if (m_com) {
        CoUninitialize();
    }
    if (m_tracing) {
        TraceStop();
    }
    m_machine.reset();
    delete g_host;
    g_host = nullptr;
}

void StreamTest::addEndpoints(ULONG alignmentBytes)
{
    addDevice(L"USB\\VID_0000&PID_0000\\LOOP", 1, alignmentBytes);
}

void StreamTest::addDevice(const std::wstring &instancePath, BYTE number, ULONG alignmentBytes)
{
    const GUID renderGuid = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, number, 0x01}};
    const GUID captureGuid = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, number, 0x02}};
    m_renderId = platform::audio_endpoint_add(
        Endpoint(platform::audio_flow::render, renderGuid, alignmentBytes, instancePath, m_loop));
    m_captureId = platform::audio_endpoint_add(
        Endpoint(platform::audio_flow::capture, captureGuid, alignmentBytes, instancePath, m_loop));
    ASSERT_FALSE(m_renderId.empty());
    ASSERT_FALSE(m_captureId.empty());
}

OVASIO *StreamTest::createDriver(bool withCallbacks)
{
    HRESULT hr = S_OK;
    INonDelegatingUnknown *unknown = OVASIO::CreateInstance(nullptr, &hr);
    EXPECT_NE(unknown, nullptr);
    if (unknown == nullptr) {
        return nullptr;
    }
    unknown->InnerAddRef();
    OVASIO *driver = static_cast<OVASIO *>(unknown);
    driver->m_bufferFrames = 512;
    driver->m_sampleRate = 44100;
    driver->m_callbacks = withCallbacks ? &m_callbacks : nullptr;
    // What init would create for the streams' health checks; the destruction closes it.
    driver->m_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_drivers.push_back(driver);
    return driver;
}

std::vector<std::vector<BYTE>> StreamTest::rendered()
{
    std::lock_guard<std::mutex> guard(m_loop->lock);
    return m_loop->rendered;
}

} // namespace stream_test
