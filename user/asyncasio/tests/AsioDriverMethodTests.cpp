// The IASIO methods of ovmlsaaso against the asynchronous kernel driver and the simulated
// device: init and its failures, the queries, the rate rules, createBuffers' checks and the
// answers from every wrong state.
#include "AsioDriverFixture.h"
#define TRACE_GUIDS_ONLY
#include "AsioDriverTrace.h"
#include <sim/asio_host.h>
#include <platform/win32_system.h>
#include <cstring>
#include <string>

namespace asio_test {
namespace {

class AsioDriverMethods : public AsioDriverTest {
protected:
    void SetUp() override
    {
        AsioDriverTest::SetUp();
        attach();
    }

    void TearDown() override
    {
        if (m_driver != nullptr) {
            m_driver->Release();
            m_driver = nullptr;
        }
        AsioDriverTest::TearDown();
    }

    // A driver initialised on the device at 48000 Hz with buffer-size index 7.
    void open()
    {
        store_settings(48000, 7);
        m_driver = create_driver();
        ASSERT_NE(m_driver, nullptr);
        ASSERT_EQ(m_driver->init(nullptr), ASIOTrue) << error_text();
        record().driver = m_driver;
        ASSERT_EQ(m_driver->getChannels(&m_inputs, &m_outputs), ASE_OK);
    }

    std::string error_text()
    {
        char text[128];
        std::memset(text, 0x5A, sizeof(text));
        m_driver->getErrorMessage(text);
        return std::string(text, strnlen(text, sizeof(text)));
    }

    std::vector<ASIOBufferInfo> all_channels()
    {
        std::vector<ASIOBufferInfo> infos;
        for (int32_t i = 0; i < m_inputs; ++i) {
            infos.push_back({ASIOTrue, i, {nullptr, nullptr}});
        }
        for (int32_t i = 0; i < m_outputs; ++i) {
            infos.push_back({ASIOFalse, i, {nullptr, nullptr}});
        }
        return infos;
    }

    IASIO *m_driver = nullptr;
    int32_t m_inputs = 0;
    int32_t m_outputs = 0;
    ASIOCallbacks m_callbacks = recording_callbacks();
};

TEST_F(AsioDriverMethods, InitOpensTheDeviceAndTheQueriesDescribeIt)
{
    open();
    EXPECT_GT(m_inputs, 0);
    EXPECT_GT(m_outputs, 0);
    char name[40];
    std::memset(name, 0x5A, sizeof(name));
    m_driver->getDriverName(name);
    EXPECT_STREQ(name, "Orvan Marla Series Async ASIO");
    EXPECT_EQ(name[32], 0x5A) << "at most 32 bytes";
    EXPECT_EQ(m_driver->getDriverVersion(), 1);

    double rate = 0;
    ASSERT_EQ(m_driver->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 48000.0);
    int32_t minimum = 0, maximum = 0, preferred = 0, granularity = -1;
    ASSERT_EQ(m_driver->getBufferSize(&minimum, &maximum, &preferred, &granularity), ASE_OK);
    EXPECT_EQ(minimum, 512);
    EXPECT_EQ(maximum, 512);
    EXPECT_EQ(preferred, 512);
    EXPECT_EQ(granularity, 0);
    int32_t in_latency = 0, out_latency = 0;
    ASSERT_EQ(m_driver->getLatencies(&in_latency, &out_latency), ASE_OK);
    // The device's own formula at 48000 Hz: the buffer in, 512 x 1.3112 + 750.24 out.
    EXPECT_EQ(in_latency, 512);
    EXPECT_EQ(out_latency, 1422);

    EXPECT_EQ(m_driver->canSampleRate(48000), ASE_OK);
    EXPECT_EQ(m_driver->canSampleRate(96000), ASE_OK);
    EXPECT_EQ(m_driver->canSampleRate(32000), ASE_NoClock) << "below the device's range";
    EXPECT_EQ(m_driver->canSampleRate(47999.5), ASE_NoClock);
    EXPECT_EQ(m_driver->canSampleRate(2822400), ASE_NoClock) << "a DSD rate in the PCM format";

    ASIOClockSource clocks[2];
    std::memset(clocks, 0x5A, sizeof(clocks));
    int32_t count = 7;
    ASSERT_EQ(m_driver->getClockSources(clocks, &count), ASE_OK);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(clocks[0].index, 0);
    EXPECT_EQ(clocks[0].associatedChannel, -1);
    EXPECT_EQ(clocks[0].associatedGroup, -1);
    EXPECT_EQ(clocks[0].isCurrentSource, ASIOTrue);
    EXPECT_STREQ(clocks[0].name, "Internal");
    EXPECT_EQ(clocks[1].index, 0x5A5A5A5A) << "only one record written";
    EXPECT_EQ(m_driver->setClockSource(0), ASE_OK);
    EXPECT_EQ(m_driver->setClockSource(1), ASE_NotPresent);

    for (int input = 0; input < 2; ++input) {
        SCOPED_TRACE(input);
        ASIOChannelInfo info{};
        info.isInput = input;
        info.channel = 0;
        ASSERT_EQ(m_driver->getChannelInfo(&info), ASE_OK);
        EXPECT_TRUE(info.type == ASIOSTInt16LSB || info.type == ASIOSTInt24LSB || info.type == ASIOSTInt32LSB);
        EXPECT_EQ(info.isActive, ASIOFalse);
        EXPECT_EQ(info.channelGroup, 0);
        EXPECT_NE(std::string(info.name).find(input ? " In 01" : " Out 01"), std::string::npos) << info.name;
        info.channel = input ? m_inputs : m_outputs;
        EXPECT_EQ(m_driver->getChannelInfo(&info), ASE_InvalidParameter);
        info.channel = -1;
        EXPECT_EQ(m_driver->getChannelInfo(&info), ASE_InvalidParameter);
    }
    EXPECT_EQ(m_driver->getChannelInfo(nullptr), ASE_InvalidParameter);
    EXPECT_EQ(m_driver->getChannels(nullptr, &m_outputs), ASE_InvalidParameter);
    EXPECT_EQ(m_driver->getSampleRate(nullptr), ASE_InvalidParameter);
    EXPECT_EQ(m_driver->getBufferSize(&minimum, nullptr, &preferred, &granularity), ASE_InvalidParameter);
}

TEST_F(AsioDriverMethods, EveryMethodOfANeverInitialisedDriverAnswersNotPresent)
{
    m_driver = create_driver();
    ASSERT_NE(m_driver, nullptr);
    int32_t a = 0, b = 0, c = 0, d = 0;
    double rate = 0;
    ASIOSamples position{};
    ASIOTimeStamp stamp{};
    ASIOChannelInfo info{};
    ASIOClockSource clock{};
    ASIOBufferInfo buffer{ASIOTrue, 0, {nullptr, nullptr}};
    EXPECT_EQ(m_driver->getChannels(&a, &b), ASE_NotPresent);
    EXPECT_EQ(m_driver->getLatencies(&a, &b), ASE_NotPresent);
    EXPECT_EQ(m_driver->getBufferSize(&a, &b, &c, &d), ASE_NotPresent);
    EXPECT_EQ(m_driver->canSampleRate(48000), ASE_NotPresent);
    EXPECT_EQ(m_driver->getSampleRate(&rate), ASE_NotPresent);
    EXPECT_EQ(m_driver->setSampleRate(48000), ASE_NotPresent);
    EXPECT_EQ(m_driver->getClockSources(&clock, &a), ASE_NotPresent);
    EXPECT_EQ(m_driver->setClockSource(0), ASE_NotPresent);
    EXPECT_EQ(m_driver->getSamplePosition(&position, &stamp), ASE_NotPresent);
    EXPECT_EQ(m_driver->getChannelInfo(&info), ASE_NotPresent);
    EXPECT_EQ(m_driver->createBuffers(&buffer, 1, 512, &m_callbacks), ASE_NotPresent);
    EXPECT_EQ(m_driver->disposeBuffers(), ASE_NotPresent);
    EXPECT_EQ(m_driver->start(), ASE_NotPresent);
    EXPECT_EQ(m_driver->stop(), ASE_NotPresent);
    EXPECT_EQ(m_driver->outputReady(), ASE_OK);
    EXPECT_EQ(m_driver->future(kAsioCanTimeInfo, nullptr), ASE_SUCCESS);
}

TEST_F(AsioDriverMethods, SecondInitIsRefusedAndTheFirstStaysInForce)
{
    open();
    EXPECT_EQ(m_driver->init(nullptr), ASIOFalse);
    EXPECT_EQ(error_text(), "ASIO driver was initialized before this time.\n");
    int32_t in = 0, out = 0;
    EXPECT_EQ(m_driver->getChannels(&in, &out), ASE_OK);
    EXPECT_EQ(in, m_inputs);
}

TEST_F(AsioDriverMethods, OneDriverObjectPerProcess)
{
    open();
    EXPECT_EQ(create_driver(), nullptr);
    m_driver->Release();
    m_driver = create_driver();
    EXPECT_NE(m_driver, nullptr) << "a new one once the first is gone";
}

TEST_F(AsioDriverMethods, CreateBuffersAcceptsTheWholeSizeRangeAndRefusesBadRequestsLeavingNothingBehind)
{
    open();
    std::vector<ASIOBufferInfo> infos = all_channels();
    const int32_t n = (int32_t)infos.size();
    struct row {
        const char *what;
        int32_t count;
        int32_t size;
        ASIOError expected;
    };
    const row refused[] = {
        {"2049 frames, above the index-31 size", n, 2049, ASE_InvalidMode},
        {"63 frames, below the index-0 size", n, 63, ASE_InvalidMode},
        {"size 0", n, 0, ASE_InvalidMode},
        {"negative size", n, -512, ASE_InvalidMode},
        {"count 0", 0, 512, ASE_InvalidParameter},
        {"more buffers than channels", n + 1, 512, ASE_InvalidParameter},
    };
    std::vector<ASIOBufferInfo> more = infos;
    more.push_back({ASIOTrue, 0, {nullptr, nullptr}});
    for (const row &r : refused) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(m_driver->createBuffers(more.data(), r.count, r.size, &m_callbacks), r.expected);
    }
    EXPECT_EQ(m_driver->createBuffers(infos.data(), n, 512, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(m_driver->createBuffers(nullptr, n, 512, &m_callbacks), ASE_InvalidParameter);

    std::vector<ASIOBufferInfo> twice = {{ASIOTrue, 0, {}}, {ASIOFalse, 0, {}}, {ASIOTrue, 0, {}}};
    EXPECT_EQ(m_driver->createBuffers(twice.data(), 3, 512, &m_callbacks), ASE_InvalidParameter);
    std::vector<ASIOBufferInfo> beyond = {{ASIOFalse, m_outputs, {}}};
    EXPECT_EQ(m_driver->createBuffers(beyond.data(), 1, 512, &m_callbacks), ASE_InvalidParameter);
    beyond[0].channelNum = -1;
    EXPECT_EQ(m_driver->createBuffers(beyond.data(), 1, 512, &m_callbacks), ASE_InvalidParameter);
    EXPECT_EQ(m_driver->disposeBuffers(), ASE_NotPresent) << "no refused call left buffers behind";

    ASSERT_EQ(m_driver->createBuffers(infos.data(), n, 513, &m_callbacks), ASE_OK) << "any size in the range";
    for (const ASIOBufferInfo &info : infos) {
        EXPECT_NE(info.buffers[0], nullptr);
        EXPECT_NE(info.buffers[1], nullptr);
        EXPECT_NE(info.buffers[0], info.buffers[1]);
    }
    ASIOChannelInfo channel{};
    channel.isInput = ASIOFalse;
    ASSERT_EQ(m_driver->getChannelInfo(&channel), ASE_OK);
    EXPECT_EQ(channel.isActive, ASIOTrue);
    int32_t in_latency = 0, out_latency = 0;
    ASSERT_EQ(m_driver->getLatencies(&in_latency, &out_latency), ASE_OK);
    EXPECT_EQ(in_latency, 513) << "latencies follow the created size";
    EXPECT_EQ(out_latency, 1423);
    EXPECT_EQ(m_driver->createBuffers(infos.data(), n, 512, &m_callbacks), ASE_NotPresent) << "already prepared";
    EXPECT_EQ(record().engine_version.load(), 2);
    EXPECT_EQ(m_driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(m_driver->disposeBuffers(), ASE_NotPresent);
    ASSERT_EQ(m_driver->createBuffers(infos.data(), n, 2048, &m_callbacks), ASE_OK);
    EXPECT_EQ(m_driver->disposeBuffers(), ASE_OK);
}

TEST_F(AsioDriverMethods, RateRulesInThePcmFormat)
{
    open();
    EXPECT_EQ(m_driver->setSampleRate(0), ASE_InvalidMode);
    EXPECT_EQ(m_driver->setSampleRate(32000), ASE_NoClock);
    EXPECT_EQ(m_driver->setSampleRate(48000), ASE_OK);
    ASSERT_EQ(m_driver->setSampleRate(96000), ASE_OK);
    double rate = 0;
    ASSERT_EQ(m_driver->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 96000.0);
    EXPECT_EQ(stored_rate(), 96000u);
    int32_t minimum = 0, maximum = 0, preferred = 0, granularity = 0;
    ASSERT_EQ(m_driver->getBufferSize(&minimum, &maximum, &preferred, &granularity), ASE_OK);
    EXPECT_EQ(preferred, 1024) << "index 7 at 96000 Hz";
    ASSERT_EQ(m_driver->setSampleRate(44100), ASE_OK);
    ASSERT_EQ(m_driver->getBufferSize(&minimum, &maximum, &preferred, &granularity), ASE_OK);
    EXPECT_EQ(preferred, 512);
}

TEST_F(AsioDriverMethods, FutureSelectorsAndIoFormat)
{
    open();
    EXPECT_EQ(m_driver->future(kAsioEnableTimeCodeRead, nullptr), ASE_SUCCESS);
    EXPECT_EQ(m_driver->future(kAsioDisableTimeCodeRead, nullptr), ASE_SUCCESS);
    EXPECT_EQ(m_driver->future(kAsioSetInputMonitor, nullptr), ASE_SUCCESS);
    EXPECT_EQ(m_driver->future(kAsioCanInputMonitor, nullptr), ASE_SUCCESS);
    EXPECT_EQ(m_driver->future(kAsioCanTimeCode, nullptr), ASE_SUCCESS);
    EXPECT_EQ(m_driver->future(12, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(m_driver->future(kAsioGetIoFormat, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(m_driver->future(kAsioSetIoFormat, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(m_driver->future(kAsioCanDoIoFormat, nullptr), ASE_InvalidParameter);

    ASIOIoFormat format{};
    std::memset(&format, 0x5A, sizeof(format));
    ASSERT_EQ(m_driver->future(kAsioGetIoFormat, &format), ASE_SUCCESS);
    EXPECT_EQ(format.FormatType, kASIOPCMFormat);
    EXPECT_EQ(format.future[0], 0) << "the whole record is copied";
    format.FormatType = kASIOPCMFormat;
    EXPECT_EQ(m_driver->future(kAsioCanDoIoFormat, &format), ASE_SUCCESS);
    format.FormatType = 7;
    EXPECT_EQ(m_driver->future(kAsioCanDoIoFormat, &format), ASE_InvalidParameter);
    EXPECT_EQ(m_driver->future(kAsioSetIoFormat, &format), ASE_InvalidParameter);
    ASSERT_EQ(m_driver->future(kAsioGetIoFormat, &format), ASE_SUCCESS);
    EXPECT_EQ(format.FormatType, kASIOPCMFormat) << "a refused format changes nothing";
}

void store_panel_path(const std::wstring &path)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Orvan\\{08E5CF00-6FA5-4F62-AD3A-51A60F25EE79}", 0, nullptr,
                              0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    // Written without its terminator, as the package's own tools write text values.
    ASSERT_EQ(RegSetValueExW(key, L"ControlPanel", 0, REG_SZ, reinterpret_cast<const BYTE *>(path.data()),
                             (DWORD)(path.size() * sizeof(WCHAR))),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(AsioDriverMethods, ControlPanelStartsTheInstalledProgramWhenItsPathFits)
{
    open();
    const size_t before = platform::process_launch_records().size();
    EXPECT_EQ(m_driver->controlPanel(), ASE_OK);
    EXPECT_EQ(platform::process_launch_records().size(), before) << "no program installed";

    store_panel_path(L"C:\\Program Files\\Orvan\\ovmlsaudcp.exe");
    EXPECT_EQ(m_driver->controlPanel(), ASE_OK);
    const auto launched = platform::process_launch_records();
    ASSERT_EQ(launched.size(), before + 1);
    EXPECT_EQ(launched.back().application_name, L"C:\\Program Files\\Orvan\\ovmlsaudcp.exe");
    EXPECT_EQ(launched.back().creation_flags, (DWORD)(CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS));

    store_panel_path(L"C:\\" + std::wstring(125, L'p'));
    EXPECT_EQ(m_driver->controlPanel(), ASE_OK);
    EXPECT_EQ(platform::process_launch_records().size(), before + 1) << "a path without room for its end";
}

TEST_F(AsioDriverMethods, RemovedDeviceRefusesStartAndStillLetsTheHostDisposeAndRelease)
{
    open();
    std::vector<ASIOBufferInfo> infos = all_channels();
    ASSERT_EQ(m_driver->createBuffers(infos.data(), (int32_t)infos.size(), 512, &m_callbacks), ASE_OK);
    detach();
    EXPECT_NE(m_driver->start(), ASE_OK);
    EXPECT_NE(m_driver->setSampleRate(96000), ASE_OK);
    EXPECT_EQ(record().resets.load(), 1) << "a device that stopped answering asks the host for a reset";
    m_driver->stop();
    EXPECT_EQ(m_driver->disposeBuffers(), ASE_OK);
    std::vector<ASIOBufferInfo> again = all_channels();
    EXPECT_EQ(m_driver->createBuffers(again.data(), (int32_t)again.size(), 512, &m_callbacks), ASE_NotPresent);
    m_driver->Release();
    m_driver = nullptr;
}

TEST_F(AsioDriverMethods, DeviceRemovedMidStreamAsksForOneResetAndNothingHangs)
{
    store_settings(48000, 7);
    sim::asio_host_options options;
    options.driver = L"Orvan Marla Series Async ASIO";
    sim::asio_host host(options);
    platform::trace_capture capture(&OVMLSAASO_TRACE_GUID, TRACE_LEVEL_ERROR);
    ASSERT_TRUE(host.start()) << host.error();
    ASSERT_TRUE(host.wait_buffer_switches(8, 10000));
    EXPECT_EQ(driver_errors(capture), "") << "a start and its stream trace no error";
    detach();
    const auto resets = [&] {
        int count = 0;
        for (const auto &r : host.records()) {
            count += r.kind == sim::asio_callback_kind::asio_message && r.index == kAsioResetRequest ? 1 : 0;
        }
        return count;
    };
    ASSERT_TRUE(wait_until([&] { return resets() >= 1; }));
    ASSERT_TRUE(host.stop()) << "stop, dispose and release return with the device gone";
    EXPECT_EQ(resets(), 1);
    EXPECT_NE(driver_errors(capture), "") << "the lost device is traced as an error";
}

} // namespace
} // namespace asio_test
