// The standard ASIO driver object through COM: registration, creation, init with and without a
// device, every method from each state, the rate and latency answers, channel names and the
// createBuffers rules.
#include "DriverFixture.h"
#include <platform/audio_endpoint.h>
#include <platform/trace.h>
#include <algorithm>
#include <cstring>
#include <string>
#define TRACE_GUIDS_ONLY
#include "../OVASIOTrace.h"

namespace stdasio_test {
namespace {

class DriverMethods : public DriverTest {};

size_t error_records(const platform::trace_capture &capture)
{
    const auto records = capture.records();
    return (size_t)std::count_if(records.begin(), records.end(),
                                 [](const platform::trace_record &r) { return r.level <= TRACE_LEVEL_ERROR; });
}

std::wstring read_text(HKEY root, const std::wstring &path, LPCWSTR value, REGSAM view)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
        return L"<missing>";
    }
    WCHAR text[400] = {};
    DWORD bytes = sizeof(text) - sizeof(WCHAR);
    DWORD type = 0;
    const LSTATUS status = RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE *>(text), &bytes);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? std::wstring(text) : L"<missing>";
}

TEST_F(DriverMethods, RegistersInTheThirtyTwoBitViewOnly)
{
    const std::wstring asioKey = std::wstring(L"SOFTWARE\\ASIO\\") + DriverName;
    EXPECT_EQ(L"{E34ABBB9-E175-4A6A-9BDF-9899FC21BCBD}",
              read_text(HKEY_LOCAL_MACHINE, asioKey, L"CLSID", KEY_WOW64_32KEY));
    EXPECT_EQ(DriverName, read_text(HKEY_LOCAL_MACHINE, asioKey, L"Description", KEY_WOW64_32KEY));
    EXPECT_EQ(L"<missing>", read_text(HKEY_LOCAL_MACHINE, asioKey, L"CLSID", KEY_WOW64_64KEY));
    const std::wstring server = L"SOFTWARE\\Classes\\CLSID\\{E34ABBB9-E175-4A6A-9BDF-9899FC21BCBD}\\InprocServer32";
    EXPECT_EQ(L"Apartment", read_text(HKEY_LOCAL_MACHINE, server, L"ThreadingModel", KEY_WOW64_32KEY));
    const std::wstring path = read_text(HKEY_LOCAL_MACHINE, server, nullptr, KEY_WOW64_32KEY);
    EXPECT_NE(std::wstring::npos, path.find(L"ovmlsaso.dll")) << path.c_str();
}

TEST_F(DriverMethods, EveryCreationMakesANewObjectAnsweringItsClassIdentifier)
{
    IASIO *first = create_driver();
    IASIO *second = create_driver();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);

    void *face = reinterpret_cast<void *>(0x1);
    EXPECT_EQ(S_OK, first->QueryInterface(DriverClassId, &face));
    EXPECT_EQ(face, static_cast<void *>(first));
    first->Release();
    IUnknown *unknown = nullptr;
    EXPECT_EQ(S_OK, first->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&unknown)));
    ASSERT_NE(unknown, nullptr);
    unknown->Release();
    face = reinterpret_cast<void *>(0x1);
    EXPECT_EQ(E_NOINTERFACE, first->QueryInterface(IID_IClassFactory, &face));
    EXPECT_EQ(face, nullptr);
}

TEST_F(DriverMethods, WithoutADeviceInitFailsAndEveryStateBoundMethodAnswersNotPresent)
{
    IASIO *driver = create_driver();
    ASSERT_NE(driver, nullptr);
    char text[128];
    std::memset(text, 'x', sizeof(text));
    driver->getErrorMessage(text);
    EXPECT_STREQ("", text);

    EXPECT_EQ(ASIOFalse, driver->init(nullptr));
    driver->getErrorMessage(text);
    EXPECT_STREQ("No device.\n", text);

    int32_t a = -5, b = -5, c = -5, d = -5;
    EXPECT_EQ(ASE_NotPresent, driver->getChannels(&a, &b));
    EXPECT_EQ(ASE_NotPresent, driver->getLatencies(&a, &b));
    EXPECT_EQ(ASE_NotPresent, driver->getBufferSize(&a, &b, &c, &d));
    EXPECT_EQ(-5, a);
    EXPECT_EQ(-5, d);
    EXPECT_EQ(ASE_NotPresent, driver->canSampleRate(44100.0));
    ASIOSampleRate rate = -1.0;
    EXPECT_EQ(ASE_NotPresent, driver->getSampleRate(&rate));
    EXPECT_EQ(-1.0, rate);
    EXPECT_EQ(ASE_NotPresent, driver->setSampleRate(48000.0));
    ASIOClockSource clocks[2] = {};
    EXPECT_EQ(ASE_NotPresent, driver->getClockSources(clocks, &a));
    EXPECT_EQ(ASE_NotPresent, driver->setClockSource(0));
    ASIOSamples position = {};
    ASIOTimeStamp stamp = {};
    EXPECT_EQ(ASE_NotPresent, driver->getSamplePosition(&position, &stamp));
    ASIOChannelInfo info = {};
    EXPECT_EQ(ASE_NotPresent, driver->getChannelInfo(&info));
    ASIOBufferInfo infos[1] = {{ASIOTrue, 0, {nullptr, nullptr}}};
    ASIOCallbacks callbacks = recording_callbacks();
    EXPECT_EQ(ASE_NotPresent, driver->createBuffers(infos, 1, 512, &callbacks));
    EXPECT_EQ(ASE_NotPresent, driver->disposeBuffers());
    EXPECT_EQ(ASE_NotPresent, driver->start());
    EXPECT_EQ(ASE_NotPresent, driver->stop());

    char name[33] = {};
    driver->getDriverName(name);
    EXPECT_STREQ("Orvan Marla Series ASIO", name);
    EXPECT_EQ(1, driver->getDriverVersion());
    EXPECT_EQ(ASE_OK, driver->outputReady());
    EXPECT_EQ(ASE_OK, driver->controlPanel());
    EXPECT_EQ(0, record().resets.load());
}

LRESULT CALLBACK refusing_window_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return message == WM_NCCREATE ? FALSE : DefWindowProcW(window, message, wParam, lParam);
}

// The driver's window class in the process refuses every window, as a failing creation does:
// init fails without leaving the class behind, so that the next init makes its own.
TEST_F(DriverMethods, FailedWindowCreationLeavesNoClassBehind)
{
    add_device();
    WNDCLASSW refusing = {};
    refusing.lpfnWndProc = refusing_window_proc;
    refusing.hInstance = GetModuleHandleW(nullptr);
    refusing.lpszClassName = L"OVASIO";
    ASSERT_NE(0, RegisterClassW(&refusing));
    IASIO *driver = create_driver();
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(ASIOFalse, driver->init(nullptr));
    ASSERT_NE(0, RegisterClassW(&refusing)) << "the class was left registered";
    ASSERT_TRUE(UnregisterClassW(L"OVASIO", GetModuleHandleW(nullptr)));
    EXPECT_EQ(ASIOTrue, driver->init(nullptr));
    int32_t inputs = 0, outputs = 0;
    EXPECT_EQ(ASE_OK, driver->getChannels(&inputs, &outputs));
}

TEST_F(DriverMethods, FutureSelectors)
{
    IASIO *driver = create_driver();
    ASSERT_NE(driver, nullptr);
    const struct {
        int32_t selector;
        ASIOError result;
    } rows[] = {
        {kAsioEnableTimeCodeRead, ASE_SUCCESS}, {kAsioDisableTimeCodeRead, ASE_SUCCESS},
        {kAsioSetInputMonitor, ASE_SUCCESS},    {kAsioCanInputMonitor, ASE_SUCCESS},
        {kAsioCanTimeInfo, ASE_SUCCESS},        {kAsioCanTimeCode, ASE_SUCCESS},
        {4, ASE_NotPresent},                    {0, ASE_NotPresent},
        {kAsioSetIoFormat, ASE_NotPresent},     {-1, ASE_NotPresent},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.selector);
        EXPECT_EQ(row.result, driver->future(row.selector, nullptr));
    }
}

TEST_F(DriverMethods, InitWithADeviceDescribesTwoSixteenBitChannelsEachWay)
{
    add_device();
    IASIO *driver = create_driver();
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(ASIOTrue, driver->init(nullptr));

    int32_t inputs = 0, outputs = 0;
    EXPECT_EQ(ASE_OK, driver->getChannels(&inputs, &outputs));
    EXPECT_EQ(2, inputs);
    EXPECT_EQ(2, outputs);
    int32_t min = 0, max = 0, preferred = 0, granularity = -1;
    EXPECT_EQ(ASE_OK, driver->getBufferSize(&min, &max, &preferred, &granularity));
    EXPECT_EQ(512, min);
    EXPECT_EQ(512, max);
    EXPECT_EQ(512, preferred);
    EXPECT_EQ(0, granularity);
    int32_t input = 0, output = 0;
    EXPECT_EQ(ASE_OK, driver->getLatencies(&input, &output));
    EXPECT_EQ(512, input);
    EXPECT_EQ(862, output);
    ASIOSampleRate rate = 0;
    EXPECT_EQ(ASE_OK, driver->getSampleRate(&rate));
    EXPECT_EQ(44100.0, rate);

    ASIOClockSource clocks[2] = {};
    int32_t count = 0;
    EXPECT_EQ(ASE_OK, driver->getClockSources(clocks, &count));
    EXPECT_EQ(1, count);
    EXPECT_EQ(0, clocks[0].index);
    EXPECT_EQ(-1, clocks[0].associatedChannel);
    EXPECT_EQ(-1, clocks[0].associatedGroup);
    EXPECT_EQ(ASIOTrue, clocks[0].isCurrentSource);
    EXPECT_STREQ("Internal", clocks[0].name);
    EXPECT_EQ(ASE_NotPresent, driver->setClockSource(1));
    EXPECT_EQ(ASE_OK, driver->setClockSource(0));

    ASIOSamples position = {7, 7};
    EXPECT_EQ(ASE_OK, driver->getSamplePosition(&position, nullptr));
    EXPECT_EQ(0u, position.hi);
    EXPECT_EQ(0u, position.lo);

    char text[128] = {};
    EXPECT_EQ(ASIOFalse, driver->init(nullptr));
    driver->getErrorMessage(text);
    EXPECT_STREQ("ASIO driver was initialized before this time.\n", text);
    EXPECT_EQ(ASE_OK, driver->getChannels(&inputs, &outputs));
}

TEST_F(DriverMethods, LatenciesFollowTheStoredRateAndSize)
{
    store_setting_dword(L"sampling_rate", 48000);
    store_setting_dword(L"buffer_size,2", 256);
    store_setting_text(L"selected", add_device());
    IASIO *driver = create_driver();
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(ASIOTrue, driver->init(nullptr));
    int32_t input = 0, output = 0;
    EXPECT_EQ(ASE_OK, driver->getLatencies(&input, &output));
    EXPECT_EQ(256, input);
    EXPECT_EQ(640, output);
}

// An older size of 9 converts to 0 frames; the driver offers the smallest size instead, and a
// host can stream with it.
TEST_F(DriverMethods, StoredSizeOutsideTheRangeIsClampedAndStreams)
{
    store_setting_dword(L"buffer_size", 9);
    add_device();
    ASIOBufferInfo infos[4];
    ASIOCallbacks callbacks = recording_callbacks();
    IASIO *driver = prepared_driver(infos, &callbacks);
    ASSERT_NE(driver, nullptr);
    int32_t min = 0, max = 0, preferred = 0, granularity = -1;
    EXPECT_EQ(ASE_OK, driver->getBufferSize(&min, &max, &preferred, &granularity));
    EXPECT_EQ(64, min);
    EXPECT_EQ(64, max);
    EXPECT_EQ(64, preferred);
    EXPECT_EQ(64u, stored_setting_dword(L"buffer_size,2"));
    EXPECT_EQ(static_cast<char *>(infos[0].buffers[0]) + 128, infos[0].buffers[1]);
    ASSERT_EQ(ASE_OK, driver->start());
    EXPECT_TRUE(wait_until([] { return record().switches.load() >= 10; }));
    EXPECT_EQ(ASE_OK, driver->stop());
    EXPECT_EQ(0, record().resets.load());
}

TEST_F(DriverMethods, ChannelInfoNamesTheDeviceAndReportsActivity)
{
    add_device(L"2- Marla Series USB Audio Device Long Name");
    IASIO *driver = create_driver();
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(ASIOTrue, driver->init(nullptr));

    ASIOChannelInfo info = {};
    info.channel = 0;
    info.isInput = ASIOTrue;
    info.isActive = 7;
    ASSERT_EQ(ASE_OK, driver->getChannelInfo(&info));
    EXPECT_EQ(ASIOFalse, info.isActive);
    EXPECT_EQ(0, info.channelGroup);
    EXPECT_EQ(ASIOSTInt16LSB, info.type);
    EXPECT_STREQ("Marla Series USB Audi... In 01", info.name);
    info.channel = 1;
    info.isInput = ASIOFalse;
    ASSERT_EQ(ASE_OK, driver->getChannelInfo(&info));
    EXPECT_STREQ("Marla Series USB Audi... Out 02", info.name);

    const struct {
        int32_t channel;
        ASIOBool input;
    } bad[] = {{-1, ASIOTrue}, {2, ASIOTrue}, {2, ASIOFalse}, {-1, ASIOFalse}};
    for (const auto &row : bad) {
        SCOPED_TRACE(row.channel);
        info.channel = row.channel;
        info.isInput = row.input;
        EXPECT_EQ(ASE_InvalidParameter, driver->getChannelInfo(&info));
    }
    EXPECT_EQ(ASE_InvalidParameter, driver->getChannelInfo(nullptr));
}

// Channel names carry the device name in the ANSI code page (1252 here), without its leading
// number, and cut to 21 bytes and "..." past 24.
TEST_F(DriverMethods, ChannelNamesCarryTheDeviceNameInTheAnsiCodePage)
{
    const struct {
        const WCHAR *device;
        const char *input;
    } rows[] = {
        {L"2- USB Audio", "USB Audio In 01"},
        {L"Ger\u00E4t f\u00FCr Aufnahme", "Ger\xE4t f\xFCr Aufnahme In 01"},
        {L"\u03A9 Audio \u20AC", "? Audio \x80 In 01"},
        {L"12 - Marla S\u00E9ries Aufnahmeger\u00E4t", "Marla S\xE9ries Aufnahme... In 01"},
    };
    unsigned serial = 1;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.input);
        store_setting_text(L"selected", add_device(row.device, serial++));
        IASIO *driver = create_driver();
        ASSERT_NE(driver, nullptr);
        ASSERT_EQ(ASIOTrue, driver->init(nullptr));
        ASIOChannelInfo info = {};
        info.isInput = ASIOTrue;
        ASSERT_EQ(ASE_OK, driver->getChannelInfo(&info));
        EXPECT_STREQ(row.input, info.name);
    }
}

TEST_F(DriverMethods, LockedRateAcceptsOnlyTheCurrentRate)
{
    store_setting_byte(L"lock", 1);
    add_device();
    IASIO *driver = create_driver();
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(ASIOTrue, driver->init(nullptr));
    EXPECT_EQ(ASE_OK, driver->canSampleRate(44100.0));
    EXPECT_EQ(ASE_NoClock, driver->canSampleRate(48000.0));
    EXPECT_EQ(ASE_OK, driver->setSampleRate(44100.0));
    EXPECT_EQ(ASE_NoClock, driver->setSampleRate(48000.0));
    EXPECT_EQ(ASE_InvalidParameter, driver->setSampleRate(0.0));
    EXPECT_EQ(44100u, stored_setting_dword(L"sampling_rate"));
}

// setSampleRate accepts exactly the rates canSampleRate accepts, also when the stored rate is
// one the driver cannot run.
TEST_F(DriverMethods, SetSampleRateAcceptsWhatCanSampleRateAccepts)
{
    const std::wstring key = add_device();
    for (const BYTE lock : {0, 1}) {
        for (const DWORD stored : {44100u, 96000u}) {
            SCOPED_TRACE(testing::Message() << "lock " << (int)lock << ", stored " << stored);
            store_setting_byte(L"lock", lock);
            store_setting_dword(L"sampling_rate", stored);
            store_setting_text(L"selected", key);
            IASIO *driver = create_driver();
            ASSERT_NE(driver, nullptr);
            ASSERT_EQ(ASIOTrue, driver->init(nullptr));
            for (const double rate : {96000.0, 32000.0, 48000.0, 44100.0, 48000.0}) {
                SCOPED_TRACE(rate);
                const ASIOError can = driver->canSampleRate(rate);
                EXPECT_EQ(can, driver->setSampleRate(rate));
                if (can == ASE_OK) {
                    ASIOSampleRate now = 0;
                    EXPECT_EQ(ASE_OK, driver->getSampleRate(&now));
                    EXPECT_EQ(rate, now);
                }
            }
            m_drivers.pop_back();
            driver->Release();
        }
    }
}

TEST_F(DriverMethods, UnlockedRateChangeBeforeBuffersTakesEffectAndIsStored)
{
    add_device();
    IASIO *driver = create_driver();
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(ASIOTrue, driver->init(nullptr));
    const struct {
        double rate;
        ASIOError can;
    } rows[] = {
        {44100.0, ASE_OK}, {48000.0, ASE_OK}, {96000.0, ASE_NoClock}, {32000.0, ASE_NoClock}, {0.0, ASE_NoClock},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.rate);
        EXPECT_EQ(row.can, driver->canSampleRate(row.rate));
    }
    EXPECT_EQ(ASE_NoClock, driver->setSampleRate(96000.0));
    EXPECT_EQ(ASE_OK, driver->setSampleRate(48000.0));
    ASIOSampleRate rate = 0;
    EXPECT_EQ(ASE_OK, driver->getSampleRate(&rate));
    EXPECT_EQ(48000.0, rate);
    EXPECT_EQ(48000u, stored_setting_dword(L"sampling_rate"));
    int32_t input = 0, output = 0;
    EXPECT_EQ(ASE_OK, driver->getLatencies(&input, &output));
    EXPECT_EQ(512, input);
    EXPECT_EQ((int32_t)(512 * 1.9999 + 48 * 8.0052) - 512, output);
    EXPECT_EQ(0, record().resets.load());
}

TEST_F(DriverMethods, CreateBuffersGivesEachChannelTwoHalvesInItsOwnBlock)
{
    add_device();
    ASIOBufferInfo infos[4];
    ASIOCallbacks callbacks = recording_callbacks();
    IASIO *driver = prepared_driver(infos, &callbacks);
    ASSERT_NE(driver, nullptr);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        ASSERT_NE(infos[i].buffers[0], nullptr);
        EXPECT_EQ(static_cast<char *>(infos[i].buffers[0]) + 1024, infos[i].buffers[1]);
        for (int j = 0; j < i; ++j) {
            EXPECT_NE(infos[i].buffers[0], infos[j].buffers[0]);
        }
    }
    ASIOChannelInfo info = {};
    info.isInput = ASIOTrue;
    ASSERT_EQ(ASE_OK, driver->getChannelInfo(&info));
    EXPECT_EQ(ASIOTrue, info.isActive);
    EXPECT_EQ(0, record().resets.load());

    // A second createBuffers without disposeBuffers is refused and leaves the first set alone.
    ASIOBufferInfo again[4];
    std::memcpy(again, infos, sizeof(again));
    EXPECT_EQ(ASE_InvalidMode, driver->createBuffers(again, 4, 512, &callbacks));
    EXPECT_EQ(0, std::memcmp(again, infos, sizeof(again)));
    EXPECT_EQ(ASE_OK, driver->start());
    EXPECT_TRUE(wait_until([] { return record().switches.load() >= 2; }));
    EXPECT_EQ(ASE_OK, driver->stop());
    EXPECT_EQ(ASE_OK, driver->disposeBuffers());
}

TEST_F(DriverMethods, CreateBuffersRefusesBadRequests)
{
    add_device();
    IASIO *driver = create_driver();
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(ASIOTrue, driver->init(nullptr));
    ASIOCallbacks callbacks = recording_callbacks();
    ASIOCallbacks noMessage = callbacks;
    noMessage.asioMessage = nullptr;
    ASIOBufferInfo infos[5] = {{ASIOTrue, 0, {}}, {ASIOTrue, 1, {}}, {ASIOFalse, 0, {}}, {ASIOFalse, 1, {}},
                               {ASIOFalse, 1, {}}};

    EXPECT_EQ(ASE_InvalidParameter, driver->createBuffers(nullptr, 4, 512, &callbacks));
    EXPECT_EQ(ASE_InvalidParameter, driver->createBuffers(infos, 4, 512, nullptr));
    EXPECT_EQ(ASE_InvalidParameter, driver->createBuffers(infos, 4, 512, &noMessage));
    EXPECT_EQ(ASE_InvalidParameter, driver->createBuffers(infos, 0, 512, &callbacks));
    EXPECT_EQ(ASE_InvalidParameter, driver->createBuffers(infos, -1, 512, &callbacks));
    EXPECT_EQ(ASE_InvalidParameter, driver->createBuffers(infos, 5, 512, &callbacks));
    EXPECT_EQ(0, record().resets.load());

    ASIOBufferInfo twice[2] = {{ASIOTrue, 0, {}}, {ASIOTrue, 0, {}}};
    EXPECT_EQ(ASE_InvalidMode, driver->createBuffers(twice, 2, 512, &callbacks));
    ASIOBufferInfo outOfRange[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 2, {}}};
    EXPECT_EQ(ASE_InvalidMode, driver->createBuffers(outOfRange, 2, 512, &callbacks));
    ASIOBufferInfo negative[1] = {{ASIOTrue, -1, {}}};
    EXPECT_EQ(ASE_InvalidMode, driver->createBuffers(negative, 1, 512, &callbacks));
    EXPECT_EQ(0, record().resets.load());
    EXPECT_EQ(ASE_NotPresent, driver->disposeBuffers());
    EXPECT_EQ(ASE_NotPresent, driver->start());

    // A size other than the configured one asks the host for one reset, however often.
    EXPECT_EQ(ASE_InvalidMode, driver->createBuffers(infos, 4, 256, &callbacks));
    EXPECT_EQ(1, record().resets.load());
    EXPECT_EQ(ASE_InvalidMode, driver->createBuffers(infos, 4, 256, &callbacks));
    EXPECT_EQ(ASE_InvalidMode, driver->createBuffers(infos, 4, 8192, &callbacks));
    EXPECT_EQ(1, record().resets.load());

    EXPECT_EQ(ASE_OK, driver->createBuffers(infos, 4, 512, &callbacks));
    EXPECT_EQ(ASE_OK, driver->disposeBuffers());
    EXPECT_EQ(ASE_NotPresent, driver->disposeBuffers());
}

// A stream that does not open fails createBuffers: what it opened is closed again, the state
// stays initialised and no reset is asked for; the same call succeeds once the cause is gone.
TEST_F(DriverMethods, CreateBuffersThatCannotOpenAStreamReleasesWhatItOpened)
{
    add_device();
    // Another host holds the render endpoint with an outputs-only stream.
    IASIO *holder = create_driver();
    ASSERT_NE(holder, nullptr);
    ASSERT_EQ(ASIOTrue, holder->init(nullptr));
    ASIOBufferInfo outputs[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    ASIOCallbacks callbacks = recording_callbacks();
    ASSERT_EQ(ASE_OK, holder->createBuffers(outputs, 2, 512, &callbacks));

    IASIO *driver = create_driver();
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(ASIOTrue, driver->init(nullptr));
    ASIOBufferInfo infos[4] = {{ASIOTrue, 0, {}}, {ASIOTrue, 1, {}}, {ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    {
        platform::trace_capture failing(&OVMLSASO_TRACE_GUID, TRACE_LEVEL_ERROR);
        EXPECT_EQ(ASE_InvalidMode, driver->createBuffers(infos, 4, 512, &callbacks));
        EXPECT_NE(0u, error_records(failing)) << "the failed open left no error record";
    }
    EXPECT_EQ(0u, platform::audio_endpoint_client_count(m_captureId)) << "the capture stream was left open";
    EXPECT_EQ(1u, platform::audio_endpoint_client_count(m_renderId));
    EXPECT_EQ(ASE_NotPresent, driver->start());
    EXPECT_EQ(ASE_NotPresent, driver->disposeBuffers());

    ASSERT_EQ(ASE_OK, holder->disposeBuffers());
    platform::trace_capture clean(&OVMLSASO_TRACE_GUID, TRACE_LEVEL_ERROR);
    ASSERT_EQ(ASE_OK, driver->createBuffers(infos, 4, 512, &callbacks));
    ASSERT_EQ(ASE_OK, driver->start());
    EXPECT_TRUE(wait_until([] { return record().switches.load() >= 5; }));
    EXPECT_EQ(ASE_OK, driver->stop());
    EXPECT_EQ(0u, error_records(clean)) << "a clean start and stream traced an error";
    EXPECT_EQ(0, record().resets.load());
}

// A render buffer of another length than the host's could carry none of its output: such a
// stream is refused, and a size the endpoint grants as asked streams.
TEST_F(DriverMethods, RenderBufferGrantedAtAnotherLengthFailsCreateBuffers)
{
    const std::wstring key = add_device(L"USB Audio", 1, 96);
    store_setting_text(L"selected", key);
    ASIOCallbacks callbacks = recording_callbacks();
    const struct {
        DWORD frames;
        int32_t count;
        ASIOError result;
    } rows[] = {{512, 4, ASE_InvalidMode}, {512, 2, ASE_InvalidMode}, {576, 4, ASE_OK}};
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << row.frames << " frames, " << row.count << " channels");
        store_setting_dword(L"buffer_size,2", row.frames);
        IASIO *driver = create_driver();
        ASSERT_NE(driver, nullptr);
        ASSERT_EQ(ASIOTrue, driver->init(nullptr));
        // Two channels: the outputs alone.
        ASIOBufferInfo infos[4] = {{ASIOTrue, 0, {}}, {ASIOTrue, 1, {}}, {ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
        ASIOBufferInfo *first = row.count == 2 ? infos + 2 : infos;
        EXPECT_EQ(row.result, driver->createBuffers(first, row.count, (int32_t)row.frames, &callbacks));
        EXPECT_EQ(row.result == ASE_OK ? 1u : 0u, platform::audio_endpoint_client_count(m_renderId));
        if (row.result == ASE_OK) {
            ASSERT_EQ(ASE_OK, driver->start());
            EXPECT_TRUE(wait_until([] { return record().switches.load() >= 5; }));
            EXPECT_EQ(ASE_OK, driver->stop());
            EXPECT_EQ(ASE_OK, driver->disposeBuffers());
        }
        m_drivers.pop_back();
        driver->Release();
    }
    EXPECT_EQ(0, record().resets.load());
}

TEST_F(DriverMethods, StartAndStopFollowTheStates)
{
    add_device();
    ASIOBufferInfo infos[4];
    ASIOCallbacks callbacks = recording_callbacks();
    IASIO *driver = prepared_driver(infos, &callbacks);
    ASSERT_NE(driver, nullptr);
    std::memset(infos[2].buffers[0], 0x55, 2048);
    std::memset(infos[3].buffers[0], 0x55, 2048);

    EXPECT_EQ(ASE_NotPresent, driver->stop());
    ASSERT_EQ(ASE_OK, driver->start());
    EXPECT_EQ(ASE_NotPresent, driver->start());
    EXPECT_EQ(ASE_NotPresent, driver->disposeBuffers());
    ASIOBufferInfo more[4];
    std::memcpy(more, infos, sizeof(more));
    EXPECT_EQ(ASE_InvalidMode, driver->createBuffers(more, 4, 512, &callbacks));
    ASSERT_TRUE(wait_until([] { return record().switches.load() >= 3; }));
    EXPECT_EQ(ASE_OK, driver->stop());
    const int switches = record().switches.load();
    EXPECT_EQ(ASE_NotPresent, driver->stop());
    EXPECT_EQ(switches, record().switches.load());
    EXPECT_EQ(ASE_OK, driver->disposeBuffers());
    EXPECT_EQ(ASE_NotPresent, driver->start());
    EXPECT_EQ(0, record().resets.load());
}

TEST_F(DriverMethods, StartClearsTheOutputHalves)
{
    add_device();
    ASIOBufferInfo infos[4];
    ASIOCallbacks callbacks = recording_callbacks();
    IASIO *driver = prepared_driver(infos, &callbacks);
    ASSERT_NE(driver, nullptr);
    {
        // No switch fills the outputs in this test.
        std::lock_guard<std::mutex> guard(record().lock);
        record().outputs[0].clear();
        record().outputs[1].clear();
    }
    std::memset(infos[2].buffers[0], 0x55, 2048);
    std::memset(infos[3].buffers[0], 0x55, 2048);
    ASSERT_EQ(ASE_OK, driver->start());
    const auto *bytes = static_cast<const unsigned char *>(infos[2].buffers[0]);
    for (int i = 0; i < 2048; ++i) {
        ASSERT_EQ(0, bytes[i]) << i;
    }
    EXPECT_EQ(ASE_OK, driver->stop());
}

} // namespace
} // namespace stdasio_test
