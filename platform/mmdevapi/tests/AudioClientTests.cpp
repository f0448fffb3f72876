// Exclusive-mode audio clients: format checks, the Initialize rules (event-driven duration,
// period limits, buffer alignment, one exclusive client per endpoint), calls from wrong states,
// the period event on the machine clock, render and capture buffers, and session notices when
// the endpoint goes away or is taken over.
#include "MmdevTestSupport.h"

#include <atomic>
#include <cstring>

using namespace mmdev_test;

namespace {

constexpr REFERENCE_TIME ten_ms = 100000;

class session_recorder final : public IAudioSessionEvents {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        *ppv = (riid == IID_IUnknown || riid == IID_IAudioSessionEvents) ? this : nullptr;
        return *ppv != nullptr ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    STDMETHODIMP OnDisplayNameChanged(LPCWSTR, LPCGUID) override { return S_OK; }
    STDMETHODIMP OnIconPathChanged(LPCWSTR, LPCGUID) override { return S_OK; }
    STDMETHODIMP OnSimpleVolumeChanged(float, BOOL, LPCGUID) override { return S_OK; }
    STDMETHODIMP OnChannelVolumeChanged(DWORD, float[], DWORD, LPCGUID) override { return S_OK; }
    STDMETHODIMP OnGroupingParamChanged(LPCGUID, LPCGUID) override { return S_OK; }
    STDMETHODIMP OnStateChanged(AudioSessionState state) override
    {
        std::lock_guard<std::mutex> guard(lock);
        events.push_back(10 + state);
        return S_OK;
    }
    STDMETHODIMP OnSessionDisconnected(AudioSessionDisconnectReason reason) override
    {
        std::lock_guard<std::mutex> guard(lock);
        events.push_back(100 + reason);
        return S_OK;
    }
    std::vector<int> heard()
    {
        std::lock_guard<std::mutex> guard(lock);
        return events;
    }
    std::atomic<ULONG> refs{1};

private:
    std::mutex lock;
    std::vector<int> events;
};

class AudioClientTest : public MmdevTest {
protected:
    void SetUp() override
    {
        MmdevTest::SetUp();
        m_render = add_endpoint(platform::audio_flow::render, 1);
        m_capture = add_endpoint(platform::audio_flow::capture, 2);
        m_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ASSERT_NE(m_event, nullptr);
    }
    void TearDown() override
    {
        CloseHandle(m_event);
        MmdevTest::TearDown();
    }

    // An event-driven exclusive client of one period of 480 frames at 48000 Hz.
    IAudioClient *open_client(const std::wstring &id, REFERENCE_TIME period = ten_ms)
    {
        IAudioClient *client = activate(id);
        const WAVEFORMATEXTENSIBLE format = stereo16(48000);
        EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, period, period,
                                     &format.Format, nullptr),
                  S_OK);
        EXPECT_EQ(client->SetEventHandle(m_event), S_OK);
        return client;
    }

    template <typename T> T *service(IAudioClient *client, REFIID iid)
    {
        T *result = nullptr;
        EXPECT_EQ(client->GetService(iid, reinterpret_cast<void **>(&result)), S_OK);
        return result;
    }

    static UINT64 position_frames(IAudioClock *clock)
    {
        UINT64 position = 0;
        EXPECT_EQ(clock->GetPosition(&position, nullptr), S_OK);
        return position / 4;
    }

    std::wstring m_render;
    std::wstring m_capture;
    HANDLE m_event = nullptr;
};

TEST_F(AudioClientTest, ExclusiveFormatSupportIsAYesOrNo)
{
    IAudioClient *client = activate(m_render);
    WAVEFORMATEXTENSIBLE format = stereo16(44100);
    WAVEFORMATEX *closest = reinterpret_cast<WAVEFORMATEX *>(1);
    EXPECT_EQ(client->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, &format.Format, &closest), S_OK);
    EXPECT_EQ(closest, nullptr);
    struct row {
        const char *what;
        void (*change)(WAVEFORMATEXTENSIBLE *);
    };
    const row rows[] = {
        {"32000 Hz", [](WAVEFORMATEXTENSIBLE *f) { *f = stereo16(32000); }},
        {"one channel", [](WAVEFORMATEXTENSIBLE *f) { f->Format.nChannels = 1; f->Format.nBlockAlign = 2; f->Format.nAvgBytesPerSec /= 2; }},
        {"wrong block align", [](WAVEFORMATEXTENSIBLE *f) { f->Format.nBlockAlign = 8; }},
        {"wrong byte rate", [](WAVEFORMATEXTENSIBLE *f) { f->Format.nAvgBytesPerSec += 1; }},
        {"float subformat", [](WAVEFORMATEXTENSIBLE *f) { f->SubFormat.Data1 = WAVE_FORMAT_IEEE_FLOAT; }},
        {"short extension", [](WAVEFORMATEXTENSIBLE *f) { f->Format.cbSize = 21; }},
        {"20 valid bits in 16", [](WAVEFORMATEXTENSIBLE *f) { f->Samples.wValidBitsPerSample = 20; }},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        format = stereo16(44100);
        r.change(&format);
        EXPECT_EQ(client->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, &format.Format, nullptr),
                  AUDCLNT_E_UNSUPPORTED_FORMAT);
    }
    WAVEFORMATEX plain = stereo16(48000).Format;
    plain.wFormatTag = WAVE_FORMAT_PCM;
    plain.cbSize = 0;
    EXPECT_EQ(client->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, &plain, nullptr), S_OK);
    EXPECT_EQ(client->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, nullptr, nullptr), E_POINTER);

    REFERENCE_TIME default_period = 0;
    REFERENCE_TIME minimum_period = 0;
    EXPECT_EQ(client->GetDevicePeriod(&default_period, &minimum_period), S_OK);
    EXPECT_EQ(default_period, ten_ms);
    EXPECT_EQ(minimum_period, 30000);
    client->Release();
}

TEST_F(AudioClientTest, CallsBeforeInitializeFailAsNotInitialized)
{
    IAudioClient *client = activate(m_render);
    UINT32 frames = 7;
    REFERENCE_TIME latency = 0;
    void *svc = reinterpret_cast<void *>(1);
    EXPECT_EQ(client->GetBufferSize(&frames), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(frames, 7u);
    EXPECT_EQ(client->GetCurrentPadding(&frames), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(client->GetStreamLatency(&latency), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(client->Start(), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(client->Stop(), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(client->Reset(), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(client->SetEventHandle(m_event), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(client->GetService(IID_IAudioRenderClient, &svc), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(svc, nullptr);
    client->Release();
}

TEST_F(AudioClientTest, InitializeChecksModeDurationAndPeriod)
{
    const WAVEFORMATEXTENSIBLE format = stereo16(48000);
    struct row {
        const char *what;
        AUDCLNT_SHAREMODE mode;
        DWORD flags;
        REFERENCE_TIME duration;
        REFERENCE_TIME period;
        HRESULT expected;
    };
    const row rows[] = {
        {"shared", AUDCLNT_SHAREMODE_SHARED, 0, ten_ms, 0, AUDCLNT_E_EXCLUSIVE_MODE_ONLY},
        {"unknown flag", AUDCLNT_SHAREMODE_EXCLUSIVE, 0x1, ten_ms, ten_ms, E_INVALIDARG},
        {"event with duration != period", AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 2 * ten_ms, ten_ms,
         AUDCLNT_E_BUFDURATION_PERIOD_NOT_EQUAL},
        {"period below minimum", AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 29999, 29999,
         AUDCLNT_E_INVALID_DEVICE_PERIOD},
        {"buffer above 500 ms", AUDCLNT_SHAREMODE_EXCLUSIVE, 0, 5000001, ten_ms, AUDCLNT_E_BUFFER_SIZE_ERROR},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        IAudioClient *client = activate(m_render);
        EXPECT_EQ(client->Initialize(r.mode, r.flags, r.duration, r.period, &format.Format, nullptr), r.expected);
        UINT32 frames = 0;
        EXPECT_EQ(client->GetBufferSize(&frames), AUDCLNT_E_NOT_INITIALIZED);
        EXPECT_FALSE(platform::audio_endpoint_in_exclusive_use(m_render));
        client->Release();
    }

    // The ASIO driver's 3 ms short period: exactly the minimum.
    IAudioClient *client = activate(m_render);
    EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, 0xC0000, 30000, 30000, &format.Format, nullptr), S_OK);
    UINT32 frames = 0;
    EXPECT_EQ(client->GetBufferSize(&frames), S_OK);
    EXPECT_EQ(frames, 144u);
    REFERENCE_TIME latency = 0;
    EXPECT_EQ(client->GetStreamLatency(&latency), S_OK);
    EXPECT_EQ(latency, 30000);
    EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, 0xC0000, 30000, 30000, &format.Format, nullptr),
              AUDCLNT_E_ALREADY_INITIALIZED);
    EXPECT_EQ(m_record->last_period, 144u);
    EXPECT_EQ(m_record->last_format.rate, 48000u);
    client->Release();
}

TEST_F(AudioClientTest, MisalignedBufferIsRefusedWithTheAlignedSizeAndANewClientSucceeds)
{
    const std::wstring aligned = add_endpoint(platform::audio_flow::render, 3, L"{1}.HDAUDIO\\X", 128);
    const WAVEFORMATEXTENSIBLE format = stereo16(44100);
    // 512 frames at 44100 Hz: 2048 bytes, aligned; 500 frames: 2000 bytes, not.
    const REFERENCE_TIME misaligned = (500 * 10000000LL + 22050) / 44100;
    IAudioClient *client = activate(aligned);
    EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, misaligned, misaligned,
                                 &format.Format, nullptr),
              AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED);
    UINT32 frames = 0;
    EXPECT_EQ(client->GetBufferSize(&frames), S_OK);
    EXPECT_EQ(frames, 512u);
    EXPECT_EQ(client->Start(), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, misaligned, misaligned,
                                 &format.Format, nullptr),
              AUDCLNT_E_ALREADY_INITIALIZED);
    EXPECT_FALSE(platform::audio_endpoint_in_exclusive_use(aligned));
    client->Release();

    const REFERENCE_TIME retry = static_cast<REFERENCE_TIME>(10000000.0 * frames / 44100 + 0.5);
    client = activate(aligned);
    EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, retry, retry,
                                 &format.Format, nullptr),
              S_OK);
    EXPECT_EQ(client->GetBufferSize(&frames), S_OK);
    EXPECT_EQ(frames, 512u);
    client->Release();
}

TEST_F(AudioClientTest, ADriverAllocatingInWholeBlocksGrantsTheRoundedUpBuffer)
{
    const std::wstring blocky = add_endpoint(platform::audio_flow::render, 3, L"{1}.USB\\VID_1234&PID_5678\\3", 0, 96);
    for (const REFERENCE_TIME duration : {ten_ms, (REFERENCE_TIME)(512 * 10000000LL + 24000) / 48000}) {
        SCOPED_TRACE(duration);
        IAudioClient *client = open_client(blocky, duration);
        UINT32 frames = 0;
        EXPECT_EQ(client->GetBufferSize(&frames), S_OK);
        EXPECT_EQ(frames, duration == ten_ms ? 480u : 576u);
        EXPECT_EQ(m_record->last_period, frames);
        client->Release();
    }
}

TEST_F(AudioClientTest, OneExclusiveClientHoldsTheEndpointUntilReleased)
{
    IAudioClient *first = open_client(m_render);
    EXPECT_TRUE(platform::audio_endpoint_in_exclusive_use(m_render));
    IAudioClient *second = activate(m_render);
    const WAVEFORMATEXTENSIBLE format = stereo16(48000);
    EXPECT_EQ(second->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, ten_ms, ten_ms,
                                 &format.Format, nullptr),
              AUDCLNT_E_DEVICE_IN_USE);
    // The capture endpoint of the same device is a separate endpoint.
    IAudioClient *capture = open_client(m_capture);
    EXPECT_EQ(platform::audio_endpoint_client_count(m_render), 2u);
    first->Release();
    EXPECT_FALSE(platform::audio_endpoint_in_exclusive_use(m_render));
    EXPECT_EQ(second->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, ten_ms, ten_ms,
                                 &format.Format, nullptr),
              S_OK);
    second->Release();
    capture->Release();
    EXPECT_EQ(platform::audio_endpoint_client_count(m_render), 0u);
}

TEST_F(AudioClientTest, StartStateRulesAndServicesPerFlow)
{
    IAudioClient *client = activate(m_render);
    const WAVEFORMATEXTENSIBLE format = stereo16(48000);
    ASSERT_EQ(client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, ten_ms, ten_ms,
                                 &format.Format, nullptr),
              S_OK);
    EXPECT_EQ(client->Start(), AUDCLNT_E_EVENTHANDLE_NOT_SET);
    EXPECT_EQ(client->SetEventHandle(nullptr), E_INVALIDARG);
    ASSERT_EQ(client->SetEventHandle(m_event), S_OK);
    void *svc = reinterpret_cast<void *>(1);
    EXPECT_EQ(client->GetService(IID_IAudioCaptureClient, &svc), AUDCLNT_E_WRONG_ENDPOINT_TYPE);
    EXPECT_EQ(svc, nullptr);
    EXPECT_EQ(client->GetService(IID_IMMDevice, &svc), E_NOINTERFACE);
    EXPECT_EQ(client->Stop(), S_FALSE);
    ASSERT_EQ(client->Start(), S_OK);
    EXPECT_EQ(client->Start(), AUDCLNT_E_NOT_STOPPED);
    EXPECT_EQ(client->Reset(), AUDCLNT_E_NOT_STOPPED);
    EXPECT_EQ(client->Stop(), S_OK);
    EXPECT_EQ(client->Reset(), S_OK);
    client->Release();

    IAudioClient *timer_driven = activate(m_capture);
    ASSERT_EQ(timer_driven->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, 0, ten_ms, ten_ms, &format.Format, nullptr), S_OK);
    EXPECT_EQ(timer_driven->SetEventHandle(m_event), AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED);
    EXPECT_EQ(timer_driven->GetService(IID_IAudioRenderClient, &svc), AUDCLNT_E_WRONG_ENDPOINT_TYPE);
    timer_driven->Release();
}

TEST_F(AudioClientTest, RenderEventComesOncePerPeriodAndThePlayedFramesAreThoseWritten)
{
    platform::clock_use_manual(true);
    IAudioClient *client = open_client(m_render);
    auto *render = service<IAudioRenderClient>(client, IID_IAudioRenderClient);
    auto *clock = service<IAudioClock>(client, IID_IAudioClock);
    UINT32 frames = 0;
    ASSERT_EQ(client->GetBufferSize(&frames), S_OK);
    ASSERT_EQ(frames, 480u);

    BYTE *data = nullptr;
    EXPECT_EQ(render->GetBuffer(frames + 1, &data), AUDCLNT_E_BUFFER_TOO_LARGE);
    EXPECT_EQ(render->ReleaseBuffer(1, 0), AUDCLNT_E_OUT_OF_ORDER);
    ASSERT_EQ(render->GetBuffer(frames, &data), S_OK);
    BYTE *again = reinterpret_cast<BYTE *>(1);
    EXPECT_EQ(render->GetBuffer(1, &again), AUDCLNT_E_OUT_OF_ORDER);
    EXPECT_EQ(again, nullptr);
    for (UINT32 i = 0; i < frames * 2; ++i) {
        reinterpret_cast<USHORT *>(data)[i] = static_cast<USHORT>(i + 1);
    }
    EXPECT_EQ(render->ReleaseBuffer(frames + 1, 0), AUDCLNT_E_INVALID_SIZE);
    EXPECT_EQ(render->ReleaseBuffer(frames, 0), S_OK);
    UINT32 padding = 0;
    EXPECT_EQ(client->GetCurrentPadding(&padding), S_OK);
    EXPECT_EQ(padding, frames);

    ASSERT_EQ(client->Start(), S_OK);
    platform::clock_advance(ten_ms / 2);
    EXPECT_FALSE(signalled(m_event));
    platform::clock_advance(ten_ms / 2);
    ASSERT_TRUE(eventually([&] { return signalled(m_event); }));
    EXPECT_EQ(position_frames(clock), frames);
    EXPECT_EQ(client->GetCurrentPadding(&padding), S_OK);
    EXPECT_EQ(padding, 0u);
    {
        std::lock_guard<std::mutex> guard(m_record->lock);
        ASSERT_EQ(m_record->rendered.size(), frames * 4u);
        for (UINT32 i = 0; i < frames * 2; ++i) {
            ASSERT_EQ(reinterpret_cast<USHORT *>(m_record->rendered.data())[i], static_cast<USHORT>(i + 1)) << i;
        }
    }

    // A silent release plays zeros; a period nobody filled plays zeros too.
    ASSERT_EQ(render->GetBuffer(frames, &data), S_OK);
    std::memset(data, 0x7F, frames * 4);
    ASSERT_EQ(render->ReleaseBuffer(frames, AUDCLNT_BUFFERFLAGS_SILENT), S_OK);
    platform::clock_advance(2 * ten_ms);
    ASSERT_TRUE(eventually([&] { return position_frames(clock) == 3 * frames; }));
    {
        std::lock_guard<std::mutex> guard(m_record->lock);
        ASSERT_EQ(m_record->rendered.size(), 3 * frames * 4u);
        for (size_t i = frames * 4; i < m_record->rendered.size(); ++i) {
            ASSERT_EQ(m_record->rendered[i], 0) << i;
        }
    }
    EXPECT_EQ(client->Stop(), S_OK);
    platform::clock_advance(5 * ten_ms);
    EXPECT_EQ(position_frames(clock), 3 * frames);
    render->Release();
    clock->Release();
    client->Release();
}

TEST_F(AudioClientTest, CapturePacketsArriveOncePerPeriodAndAnOverrunIsFlagged)
{
    platform::clock_use_manual(true);
    IAudioClient *client = open_client(m_capture);
    auto *capture = service<IAudioCaptureClient>(client, IID_IAudioCaptureClient);
    BYTE *data = reinterpret_cast<BYTE *>(1);
    UINT32 frames = 9;
    DWORD flags = 9;
    EXPECT_EQ(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr), AUDCLNT_S_BUFFER_EMPTY);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(frames, 0u);
    EXPECT_EQ(capture->ReleaseBuffer(0), AUDCLNT_E_OUT_OF_ORDER);

    ASSERT_EQ(client->Start(), S_OK);
    platform::clock_advance(ten_ms);
    ASSERT_TRUE(eventually([&] { return signalled(m_event); }));
    UINT32 next = 0;
    EXPECT_EQ(capture->GetNextPacketSize(&next), S_OK);
    EXPECT_EQ(next, 480u);
    UINT64 position = 99;
    ASSERT_EQ(capture->GetBuffer(&data, &frames, &flags, &position, nullptr), S_OK);
    EXPECT_EQ(frames, 480u);
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(position, 0u);
    for (UINT32 i = 0; i < frames * 2; ++i) {
        ASSERT_EQ(reinterpret_cast<USHORT *>(data)[i], static_cast<USHORT>(i)) << i;
    }
    EXPECT_EQ(capture->ReleaseBuffer(frames - 1), AUDCLNT_E_INVALID_SIZE);
    EXPECT_EQ(capture->ReleaseBuffer(frames), S_OK);

    // Three periods unread: the oldest is lost and the next packet says so.
    platform::clock_advance(3 * ten_ms);
    ASSERT_TRUE(eventually([&] {
        UINT32 padding = 0;
        return client->GetCurrentPadding(&padding) == S_OK && padding == 960;
    }));
    UINT32 padding = 0;
    ASSERT_TRUE(eventually([&] {
        UINT64 p = 0;
        auto *clock = service<IAudioClock>(client, IID_IAudioClock);
        clock->GetPosition(&p, nullptr);
        clock->Release();
        return p == 4 * 480 * 4;
    }));
    ASSERT_EQ(capture->GetBuffer(&data, &frames, &flags, &position, nullptr), S_OK);
    EXPECT_EQ(flags, static_cast<DWORD>(AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY));
    EXPECT_EQ(position, 960u);
    EXPECT_EQ(reinterpret_cast<USHORT *>(data)[0], static_cast<USHORT>(2 * 960));
    EXPECT_EQ(capture->ReleaseBuffer(frames), S_OK);
    ASSERT_EQ(capture->GetBuffer(&data, &frames, &flags, &position, nullptr), S_OK);
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(position, 1440u);
    EXPECT_EQ(capture->ReleaseBuffer(frames), S_OK);
    EXPECT_EQ(client->GetCurrentPadding(&padding), S_OK);
    EXPECT_EQ(padding, 0u);

    // A period without audio is a silent packet.
    {
        std::lock_guard<std::mutex> guard(m_record->lock);
        m_record->capture_silent = true;
    }
    signalled(m_event);
    platform::clock_advance(ten_ms);
    ASSERT_TRUE(eventually([&] { return signalled(m_event); }));
    ASSERT_EQ(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr), S_OK);
    EXPECT_EQ(flags, static_cast<DWORD>(AUDCLNT_BUFFERFLAGS_SILENT));
    EXPECT_EQ(capture->ReleaseBuffer(frames), S_OK);
    EXPECT_EQ(client->Stop(), S_OK);
    capture->Release();
    client->Release();
}

TEST_F(AudioClientTest, RemovalInvalidatesTheClientAndDisconnectsItsSession)
{
    IAudioClient *client = open_client(m_render);
    auto *render = service<IAudioRenderClient>(client, IID_IAudioRenderClient);
    auto *control = service<IAudioSessionControl>(client, IID_IAudioSessionControl);
    session_recorder sink;
    ASSERT_EQ(control->RegisterAudioSessionNotification(&sink), S_OK);
    ASSERT_EQ(client->Start(), S_OK);
    ASSERT_TRUE(platform::audio_endpoint_remove(m_render));
    platform::audio_notifications_drain();
    EXPECT_EQ(sink.heard(), (std::vector<int>{10 + AudioSessionStateActive, 100 + DisconnectReasonDeviceRemoval}));
    AudioSessionState state = AudioSessionStateActive;
    EXPECT_EQ(control->GetState(&state), S_OK);
    EXPECT_EQ(state, AudioSessionStateExpired);

    UINT32 padding = 0;
    BYTE *data = nullptr;
    EXPECT_EQ(client->GetCurrentPadding(&padding), AUDCLNT_E_DEVICE_INVALIDATED);
    EXPECT_EQ(render->GetBuffer(1, &data), AUDCLNT_E_DEVICE_INVALIDATED);
    EXPECT_EQ(client->Stop(), AUDCLNT_E_DEVICE_INVALIDATED);
    EXPECT_EQ(client->Start(), AUDCLNT_E_DEVICE_INVALIDATED);
    EXPECT_FALSE(platform::audio_endpoint_in_exclusive_use(m_render));

    ASSERT_EQ(control->UnregisterAudioSessionNotification(&sink), S_OK);
    EXPECT_EQ(control->UnregisterAudioSessionNotification(&sink), E_NOTFOUND);
    render->Release();
    control->Release();
    client->Release();
    EXPECT_EQ(sink.refs.load(), 1u);
}

TEST_F(AudioClientTest, TakeoverDisconnectsWithItsReasonAndLeavesTheEndpointOpenToANewClient)
{
    IAudioClient *client = open_client(m_capture);
    auto *control = service<IAudioSessionControl>(client, IID_IAudioSessionControl);
    session_recorder sink;
    ASSERT_EQ(control->RegisterAudioSessionNotification(&sink), S_OK);
    ASSERT_TRUE(platform::audio_endpoint_disconnect(m_capture, DisconnectReasonExclusiveModeOverride));
    platform::audio_notifications_drain();
    EXPECT_EQ(sink.heard(), (std::vector<int>{100 + DisconnectReasonExclusiveModeOverride}));
    UINT32 padding = 0;
    EXPECT_EQ(client->GetCurrentPadding(&padding), AUDCLNT_E_DEVICE_INVALIDATED);

    IAudioClient *next = open_client(m_capture);
    EXPECT_EQ(next->Start(), S_OK);
    EXPECT_EQ(next->Stop(), S_OK);
    next->Release();
    control->UnregisterAudioSessionNotification(&sink);
    control->Release();
    client->Release();
}

} // namespace
