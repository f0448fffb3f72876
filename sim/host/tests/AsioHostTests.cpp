// The ASIO host against the test driver: life cycle, callbacks and messages, reset requests,
// drop-outs, the signal's packing per sample type, the WAV file, failures and a killed host.
#include <sim/asio_host.h>
#include <sim/machine.h>
#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>
#include <fstream>
#include <iterator>
#include "TestAsioProtocol.h"

namespace {

const std::wstring asio_key = std::wstring(L"SOFTWARE\\ASIO\\") + TEST_ASIO_NAME;

void set_text(HKEY root, const std::wstring &path, const WCHAR *name, const std::wstring &text)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyW(root, path.c_str(), &key), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                             (DWORD)((text.size() + 1) * sizeof(WCHAR))),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

void set_dword(const WCHAR *name, DWORD value)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, asio_key.c_str(), &key), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof(value)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

template <typename T>
T entry(HMODULE module, const char *name)
{
    return reinterpret_cast<T>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

uint32_t le(const std::vector<uint8_t> &b, size_t at, size_t width)
{
    uint32_t v = 0;
    for (size_t i = 0; i < width; ++i) {
        v |= (uint32_t)b[at + i] << (8 * i);
    }
    return v;
}

class AsioHostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::wstring class_key = std::wstring(L"CLSID\\") + TEST_ASIO_CLSID_TEXT + L"\\InprocServer32";
        set_text(HKEY_CLASSES_ROOT, class_key, nullptr, std::wstring(L"C:\\Windows\\System32\\") + TEST_ASIO_MODULE);
        set_text(HKEY_LOCAL_MACHINE, asio_key, L"CLSID", TEST_ASIO_CLSID_TEXT);
        set_text(HKEY_LOCAL_MACHINE, asio_key, L"Description", L"Test driver");
        set_dword(TEST_ASIO_PREFERRED, 1024);
        m_module = LoadLibraryW(TEST_ASIO_MODULE);
        ASSERT_NE(m_module, nullptr);
        m_stats = entry<test_asio_stats_fn>(m_module, "OvmTestAsioStats");
        m_message = entry<test_asio_message_fn>(m_module, "OvmTestAsioQueueMessage");
        m_skip = entry<test_asio_skip_fn>(m_module, "OvmTestAsioSkip");
        auto reset = entry<void (*)()>(m_module, "OvmTestAsioResetStats");
        ASSERT_TRUE(m_stats && m_message && m_skip && reset);
        reset();
    }

    void TearDown() override { FreeLibrary(m_module); }

    test_asio_stats stats()
    {
        test_asio_stats s{};
        m_stats(&s);
        return s;
    }

    sim::machine m_machine;
    HMODULE m_module = nullptr;
    test_asio_stats_fn m_stats = nullptr;
    test_asio_message_fn m_message = nullptr;
    test_asio_skip_fn m_skip = nullptr;
};

TEST_F(AsioHostTest, EnumerationSkipsEntriesWithoutAUsableClassIdAndFallsBackToTheKeyName)
{
    set_text(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\Broken", L"CLSID", L"not a class id");
    set_text(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO\\Plain", L"CLSID", L"{00000000-0000-0000-0000-000000000001}");
    const auto entries = sim::asio_enumerate_drivers();
    ASSERT_EQ(entries.size(), 2u);
    for (const auto &e : entries) {
        if (e.name == TEST_ASIO_NAME) {
            EXPECT_EQ(e.description, L"Test driver");
            EXPECT_TRUE(IsEqualGUID(e.clsid, CLSID_OvmTestAsio));
        } else {
            EXPECT_EQ(e.name, L"Plain");
            EXPECT_EQ(e.description, L"Plain");
        }
    }
}

TEST_F(AsioHostTest, WholeLifeCycleStreamsWithTimeInfoAndOutputReadyAndReleasesTheDriver)
{
    sim::asio_host host;
    ASSERT_TRUE(host.start()) << host.error();
    EXPECT_EQ(host.state(), sim::asio_host_state::running);
    EXPECT_EQ(host.driver_name(), "OVM Test ASIO");
    EXPECT_EQ(host.driver_version(), 3);
    EXPECT_EQ(host.buffer_size(), 1024);
    EXPECT_EQ(host.sample_rate(), 48000.0);
    EXPECT_EQ(host.input_latency(), 1024);
    ASSERT_EQ(host.inputs().size(), 2u);
    ASSERT_EQ(host.outputs().size(), 2u);
    EXPECT_EQ(host.outputs()[1].name, "Test Out 2");
    EXPECT_EQ(host.inputs()[0].type, ASIOSTInt32LSB);
    ASSERT_TRUE(host.wait_buffer_switches(12, 10000));
    ASSERT_TRUE(host.stop());
    EXPECT_EQ(host.state(), sim::asio_host_state::stopped);

    const test_asio_stats s = stats();
    EXPECT_EQ(s.init_calls, 1);
    EXPECT_EQ(s.init_window_valid, 1) << "init gets a live window of the host";
    EXPECT_EQ(s.create_buffers_calls, 1);
    EXPECT_EQ(s.start_calls, 1);
    EXPECT_EQ(s.stop_calls, 1);
    EXPECT_EQ(s.dispose_calls, 1);
    EXPECT_EQ(s.engine_version, 2);
    EXPECT_EQ(s.time_info_mode, 1);
    EXPECT_EQ(s.objects, 0) << "the driver object is released";
    EXPECT_EQ(s.switches, (int64_t)host.buffer_switches());
    EXPECT_EQ(s.output_ready_calls, (int32_t)host.buffer_switches());
    EXPECT_TRUE(host.output_ready_supported());
    EXPECT_EQ(host.drop_outs(), 0u);
    EXPECT_FALSE(host.callback_outside_session());
    std::string why;
    EXPECT_TRUE(host.clean_run(&why)) << why;

    int64_t position = 0;
    int32_t half = 0;
    int64_t time = 0;
    for (const auto &r : host.records()) {
        if (r.kind != sim::asio_callback_kind::buffer_switch_time_info) {
            ASSERT_EQ(r.kind, sim::asio_callback_kind::asio_message);
            continue;
        }
        EXPECT_EQ(r.index, half);
        EXPECT_EQ(r.value, ASIOTrue);
        EXPECT_EQ(r.position, position);
        EXPECT_EQ(r.time_flags, (uint32_t)(kSystemTimeValid | kSamplePositionValid | kSampleRateValid));
        EXPECT_GE(r.time, time);
        half ^= 1;
        position += 1024;
        time = r.time;
    }
    EXPECT_EQ(position, 1024 * (int64_t)host.buffer_switches());
}

TEST_F(AsioHostTest, HostWithoutTimeInfoGetsPlainBufferSwitchesAndAnswersMessagesAsHostsDo)
{
    sim::asio_host_options options;
    options.time_info = false;
    options.use_output_ready = true;
    set_dword(TEST_ASIO_OUTPUT_READY, 0);
    sim::asio_host host(options);
    ASSERT_TRUE(host.start()) << host.error();
    ASSERT_TRUE(host.wait_buffer_switches(4, 10000));
    ASSERT_TRUE(host.stop());
    EXPECT_EQ(stats().time_info_mode, 0);
    EXPECT_EQ(stats().output_ready_calls, 0);
    EXPECT_FALSE(host.output_ready_supported()) << "asked once, then no more";

    int64_t position = 0;
    for (const auto &r : host.records()) {
        if (r.kind == sim::asio_callback_kind::buffer_switch) {
            EXPECT_EQ(r.position, position) << "position from getSamplePosition";
            position += 1024;
        }
    }
    EXPECT_GE(position, 4 * 1024);

    EXPECT_EQ(host.on_message(kAsioSelectorSupported, kAsioResetRequest), 1);
    EXPECT_EQ(host.on_message(kAsioSelectorSupported, kAsioLatenciesChanged), 1);
    EXPECT_EQ(host.on_message(kAsioSelectorSupported, kAsioSupportsTimeInfo), 0);
    EXPECT_EQ(host.on_message(kAsioSelectorSupported, kAsioSupportsTimeCode), 0);
    EXPECT_EQ(host.on_message(kAsioEngineVersion, 0), 2);
    EXPECT_EQ(host.on_message(kAsioSupportsTimeCode, 0), 0);
    EXPECT_EQ(host.on_message(0x7777, 0), 0);
}

// Answered on the host's thread by new buffers, or by a new driver object with new buffers.
class AsioHostReset : public AsioHostTest, public ::testing::WithParamInterface<bool> {};

TEST_P(AsioHostReset, ResetRequestIsAnsweredOnTheHostThreadAndStreamingGoesOn)
{
    const bool reload = GetParam();
    sim::asio_host_options options;
    options.reload_on_reset = reload;
    sim::asio_host host(options);
    ASSERT_TRUE(host.start()) << host.error();
    ASSERT_TRUE(host.wait_buffer_switches(3, 10000));
    m_message(kAsioResetRequest, 0);
    ASSERT_TRUE(host.wait_resets(1, 10000));
    const uint64_t after_reset = host.buffer_switches();
    ASSERT_TRUE(host.wait_buffer_switches(after_reset + 3, 10000));
    m_message(kAsioLatenciesChanged, 0);
    // The settings button of a host: the driver's controlPanel runs on the host's thread.
    ASIOError panel = ASE_OK;
    ASSERT_TRUE(host.open_control_panel(10000, &panel));
    EXPECT_EQ(panel, ASE_NotPresent) << "the test driver's answer";
    ASSERT_TRUE(host.stop());
    EXPECT_FALSE(host.open_control_panel(100, &panel)) << "a stopped host calls nothing";

    // Each buffer session starts where the capture of the one before ended.
    const std::vector<sim::asio_session_record> sessions = host.sessions();
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_EQ(sessions[0].capture_offsets, (std::vector<size_t>{0, 0}));
    ASSERT_EQ(sessions[1].capture_offsets.size(), 2u);
    EXPECT_EQ(sessions[1].capture_offsets[0] % (1024 * 4), 0u);
    EXPECT_GE(sessions[1].capture_offsets[0], 3u * 1024 * 4);
    EXPECT_LT(sessions[1].capture_offsets[0], host.captured(0).size());
    EXPECT_LT(sessions[0].time, sessions[1].time);
    EXPECT_EQ(sessions[1].buffer_size, 1024);
    EXPECT_EQ(sessions[1].sample_rate, 48000.0);

    const test_asio_stats s = stats();
    EXPECT_EQ(s.init_calls, reload ? 2 : 1);
    EXPECT_EQ(s.create_buffers_calls, 2);
    EXPECT_EQ(s.dispose_calls, 2);
    EXPECT_EQ(s.start_calls, 2);
    EXPECT_EQ(s.stop_calls, 2);
    EXPECT_EQ(s.objects, 0);
    EXPECT_EQ(host.resets(), 1u);
    EXPECT_EQ(host.state(), sim::asio_host_state::stopped);
    bool answered = false;
    for (const auto &r : host.records()) {
        if (r.kind == sim::asio_callback_kind::asio_message && r.index == kAsioResetRequest) {
            answered = r.result == 1;
        }
    }
    EXPECT_TRUE(answered);
    EXPECT_FALSE(host.callback_outside_session());
    std::string why;
    EXPECT_FALSE(host.clean_run(&why)) << "a reset is no clean run";
    EXPECT_EQ("2 buffer sessions, 1 resets", why);
}

INSTANTIATE_TEST_SUITE_P(Answers, AsioHostReset, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return std::string(info.param ? "ReloadTheDriver" : "NewBuffers");
                         });

TEST_F(AsioHostTest, MissedPeriodsCountAsADropOut)
{
    sim::asio_host host;
    ASSERT_TRUE(host.start()) << host.error();
    ASSERT_TRUE(host.wait_buffer_switches(3, 10000));
    m_skip(3);
    ASSERT_TRUE(host.wait_buffer_switches(host.buffer_switches() + 3, 10000));
    ASSERT_TRUE(host.stop());
    EXPECT_GE(host.drop_outs(), 1u);
    EXPECT_GE(host.position_skips(), 1u);
    std::string why;
    EXPECT_FALSE(host.clean_run(&why)) << "the audio of the skipped periods is lost";
    EXPECT_NE(std::string::npos, why.find("skipped audio")) << why;
    bool jumped = false;
    int64_t last = -1;
    for (const auto &r : host.records()) {
        if (r.kind == sim::asio_callback_kind::buffer_switch_time_info) {
            jumped |= last >= 0 && r.position == last + 4 * 1024;
            last = r.position;
        }
    }
    EXPECT_TRUE(jumped);
}

struct packing_case {
    ASIOSampleType type;
    size_t width;
};

class AsioHostPackingTest : public AsioHostTest, public ::testing::WithParamInterface<packing_case> {};

TEST_P(AsioHostPackingTest, SignalIsPackedInTheSampleTypeAndComesBackBitExact)
{
    const packing_case c = GetParam();
    set_dword(TEST_ASIO_SAMPLE_TYPE, (DWORD)c.type);
    set_dword(TEST_ASIO_PREFERRED, 96);
    sim::asio_host host;
    ASSERT_TRUE(host.start()) << host.error();
    ASSERT_TRUE(host.wait_buffer_switches(8, 10000));
    ASSERT_TRUE(host.stop());
    ASSERT_EQ(host.inputs()[1].type, c.type);

    for (size_t ch = 0; ch < 2; ++ch) {
        SCOPED_TRACE(ch);
        const std::vector<uint8_t> in = host.captured(ch);
        ASSERT_GE(in.size(), 8 * 96 * c.width);
        for (size_t i = 0; i < 96 * c.width; ++i) {
            ASSERT_EQ(in[i], 0) << "the first period carries nothing yet";
        }
        const uint32_t tag = (uint32_t)(ch + 1) << (8 * (c.width - 1));
        EXPECT_EQ(le(in, 96 * c.width, c.width), tag | 0u);
        EXPECT_EQ(le(in, (96 + 5) * c.width, c.width), tag | 5u);
        const uint32_t frame = 300;
        const uint32_t mask = (1u << (8 * (c.width - 1))) - 1;
        EXPECT_EQ(le(in, (96 + frame) * c.width, c.width), tag | (frame & mask));

        const sim::asio_loopback_check check = host.check_loopback(ch, ch);
        EXPECT_TRUE(check.found);
        EXPECT_TRUE(check.clean) << check.why;
        EXPECT_EQ(check.latency_frames, 96);
        EXPECT_EQ(check.frames_checked, in.size() / c.width - 96);
    }
    const sim::asio_loopback_check crossed = host.check_loopback(0, 1);
    EXPECT_FALSE(crossed.found) << "channel 2's signal never reaches input 1";
    EXPECT_FALSE(crossed.clean);
    std::string why;
    EXPECT_TRUE(host.clean_run(&why)) << why;
}

INSTANTIATE_TEST_SUITE_P(SampleTypes, AsioHostPackingTest,
                         ::testing::Values(packing_case{ASIOSTInt16LSB, 2}, packing_case{ASIOSTInt24LSB, 3},
                                           packing_case{ASIOSTInt32LSB, 4}),
                         [](const ::testing::TestParamInfo<packing_case> &info) {
                             return "Type" + std::to_string(info.param.type);
                         });

TEST(AsioHostSignal, EncodesChannelTagAboveALittleEndianFrameCounter)
{
    uint8_t bytes[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    sim::asio_host::encode_signal(ASIOSTInt24LSB, 1, 0x123456, bytes);
    EXPECT_EQ(bytes[0], 0x56);
    EXPECT_EQ(bytes[1], 0x34);
    EXPECT_EQ(bytes[2], 0x02);
    EXPECT_EQ(bytes[3], 0xEE) << "packed 24-bit writes three bytes";
    sim::asio_host::encode_signal(ASIOSTInt16LSB, 200, 0x1FF, bytes);
    EXPECT_EQ(bytes[0], 0xFF);
    EXPECT_EQ(bytes[1], 201 & 0x7F) << "the tag stays positive";
    EXPECT_EQ(sim::asio_host::sample_bytes(ASIOSTDSDInt8MSB1), 0u);
}

std::vector<uint8_t> read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

TEST_F(AsioHostTest, WavFileCarriesTheCapturedInputsInterleaved)
{
    for (const packing_case c : {packing_case{ASIOSTInt16LSB, 2}, packing_case{ASIOSTInt24LSB, 3}}) {
        SCOPED_TRACE(c.type);
        set_dword(TEST_ASIO_SAMPLE_TYPE, (DWORD)c.type);
        sim::asio_host host;
        ASSERT_TRUE(host.start()) << host.error();
        ASSERT_TRUE(host.wait_buffer_switches(3, 10000));
        ASSERT_TRUE(host.stop());
        const std::string path = ::testing::TempDir() + "asio_host_capture.wav";
        ASSERT_TRUE(host.write_wav(path));
        const std::vector<uint8_t> wav = read_file(path);
        const std::vector<uint8_t> in0 = host.captured(0);
        const std::vector<uint8_t> in1 = host.captured(1);
        const size_t frames = std::min(in0.size(), in1.size()) / c.width;
        const bool extensible = c.width != 2;
        const size_t fmt = extensible ? 40 : 16;
        const size_t header = 12 + 8 + fmt + 8;
        ASSERT_EQ(wav.size(), header + frames * 2 * c.width);
        EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
        EXPECT_EQ(le(wav, 4, 4), wav.size() - 8);
        EXPECT_EQ(std::string(wav.begin() + 8, wav.begin() + 16), "WAVEfmt ");
        EXPECT_EQ(le(wav, 16, 4), fmt);
        EXPECT_EQ(le(wav, 20, 2), extensible ? 0xFFFEu : 1u);
        EXPECT_EQ(le(wav, 22, 2), 2u);
        EXPECT_EQ(le(wav, 24, 4), 48000u);
        EXPECT_EQ(le(wav, 28, 4), 48000u * 2 * c.width);
        EXPECT_EQ(le(wav, 32, 2), 2 * c.width);
        EXPECT_EQ(le(wav, 34, 2), 8 * c.width);
        if (extensible) {
            EXPECT_EQ(le(wav, 38, 2), 24u) << "valid bits";
            EXPECT_EQ(le(wav, 40, 4), 3u) << "front left and right";
            EXPECT_EQ(le(wav, 44, 4), 1u) << "PCM sub-format";
        }
        EXPECT_EQ(std::string(wav.begin() + (long)header - 8, wav.begin() + (long)header - 4), "data");
        EXPECT_EQ(le(wav, header - 4, 4), frames * 2 * c.width);
        const size_t f = frames - 1;
        EXPECT_TRUE(std::equal(in0.begin() + (long)(f * c.width), in0.begin() + (long)((f + 1) * c.width),
                               wav.begin() + (long)(header + f * 2 * c.width)));
        EXPECT_TRUE(std::equal(in1.begin() + (long)(f * c.width), in1.begin() + (long)((f + 1) * c.width),
                               wav.begin() + (long)(header + f * 2 * c.width + c.width)));
    }
}

TEST_F(AsioHostTest, FailedInitIsReportedWithTheDriversTextAndTheDriverIsReleased)
{
    set_dword(TEST_ASIO_FAIL_INIT, 1);
    sim::asio_host host;
    EXPECT_FALSE(host.start());
    EXPECT_EQ(host.state(), sim::asio_host_state::failed);
    EXPECT_NE(host.error().find("told to fail"), std::string::npos) << host.error();
    ASSERT_TRUE(host.stop());
    EXPECT_EQ(stats().objects, 0);
    EXPECT_EQ(stats().create_buffers_calls, 0);
    EXPECT_FALSE(host.write_wav(::testing::TempDir() + "asio_host_none.wav")) << "nothing captured";
}

TEST_F(AsioHostTest, AnIoFormatTheDriverCannotDoFailsTheStartBeforeAnyBuffer)
{
    sim::asio_host_options options;
    options.io_format = kASIODSDFormat;
    sim::asio_host host(options);
    EXPECT_FALSE(host.start());
    EXPECT_EQ(host.error(), "the driver cannot do the io format 1");
    EXPECT_EQ(stats().create_buffers_calls, 0);
}

TEST_F(AsioHostTest, RateTheDriverLacksAndAMissingDriverFailTheStart)
{
    sim::asio_host_options options;
    options.sample_rate = 22050;
    sim::asio_host host(options);
    EXPECT_FALSE(host.start());
    EXPECT_NE(host.error().find("sample rate"), std::string::npos) << host.error();
    ASSERT_TRUE(host.stop());
    EXPECT_EQ(stats().objects, 0);

    options.sample_rate = 96000;
    options.driver = L"No Such Driver";
    sim::asio_host missing(options);
    EXPECT_FALSE(missing.start());
    EXPECT_NE(missing.error().find("no such"), std::string::npos) << missing.error();
}

TEST_F(AsioHostTest, ChosenRateAndChannelLimitsReachTheDriver)
{
    sim::asio_host_options options;
    options.sample_rate = 96000;
    options.max_inputs = 1;
    options.max_outputs = 0;
    options.buffer_size = 512;
    sim::asio_host host(options);
    ASSERT_TRUE(host.start()) << host.error();
    EXPECT_EQ(host.sample_rate(), 96000.0);
    EXPECT_EQ(host.buffer_size(), 512);
    EXPECT_EQ(host.inputs().size(), 1u);
    EXPECT_TRUE(host.outputs().empty());
    ASSERT_TRUE(host.wait_buffer_switches(3, 10000));
    ASSERT_TRUE(host.stop());
    EXPECT_FALSE(host.check_loopback(0, 0).found);
}

TEST_F(AsioHostTest, KilledHostNeverStopsOrReleasesTheDriver)
{
    sim::asio_host host;
    ASSERT_TRUE(host.start()) << host.error();
    ASSERT_TRUE(host.wait_buffer_switches(2, 10000));
    host.kill();
    EXPECT_EQ(host.state(), sim::asio_host_state::killed);
    const test_asio_stats s = stats();
    EXPECT_EQ(s.stop_calls, 0);
    EXPECT_EQ(s.dispose_calls, 0);
    EXPECT_EQ(s.objects, 1);
    EXPECT_TRUE(host.stop()) << "the process has ended already";
    auto discard = entry<void (*)()>(m_module, "OvmTestAsioDiscardOrphans");
    ASSERT_NE(discard, nullptr);
    discard();
    EXPECT_EQ(stats().objects, 0);
}

} // namespace
