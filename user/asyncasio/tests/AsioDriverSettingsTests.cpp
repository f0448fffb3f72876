// ovmlsaaso and the settings it shares with the control panel and with other hosts: device
// choice and its write-back, the rate write-back at release, the settings thread's answers to
// panel changes, and a second host process refused at init without disturbing the first.
#include "AsioDriverFixture.h"
#define TRACE_GUIDS_ONLY
#include "AsioDriverTrace.h"
#include <platform/process.h>
#include <cstring>
#include <string>
#include "NamedObjects.h"
#include "RegUtil2.h"
#include "SyncObj.h"

namespace asio_test {
namespace {

std::wstring stored_selected()
{
    CRegUtil2 settings;
    WCHAR selected[129] = {};
    settings.GetSelected(selected, 128);
    return selected;
}

std::string error_of(IASIO *driver)
{
    char text[128] = {};
    driver->getErrorMessage(text);
    return text;
}

// Runs body on a thread of a new simulated process and ends the process afterwards.
void in_other_process(const std::function<void()> &body)
{
    platform::process *p = platform::process_create(L"otherhost.exe", L"otherhost.exe");
    platform::thread *t = platform::process_start_thread(p, [&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        body();
        CoUninitialize();
    });
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(platform::process_wait_threads(p, 20000));
    platform::thread_dereference(t);
    platform::process_terminate(p, 0);
    platform::process_dereference(p);
}

class AsioDriverSettings : public AsioDriverTest {
protected:
    void TearDown() override
    {
        if (m_driver != nullptr) {
            m_driver->Release();
        }
        AsioDriverTest::TearDown();
    }

    void open()
    {
        m_driver = create_driver();
        ASSERT_NE(m_driver, nullptr);
        ASSERT_EQ(m_driver->init(nullptr), ASIOTrue) << error_of(m_driver);
        record().driver = m_driver;
    }

    void create_buffers()
    {
        std::vector<ASIOBufferInfo> infos = {{ASIOTrue, 0, {}}, {ASIOFalse, 0, {}}};
        ASSERT_EQ(m_driver->createBuffers(infos.data(), 2, 512, &m_callbacks), ASE_OK);
    }

    IASIO *m_driver = nullptr;
    ASIOCallbacks m_callbacks = recording_callbacks();
};

TEST_F(AsioDriverSettings, InitWithoutADeviceFailsAndMayBeCalledAgain)
{
    m_driver = create_driver();
    ASSERT_NE(m_driver, nullptr);
    platform::trace_capture capture(&OVMLSAASO_TRACE_GUID, TRACE_LEVEL_ERROR);
    EXPECT_EQ(m_driver->init(nullptr), ASIOFalse);
    EXPECT_EQ(error_of(m_driver), "No device\n");
    EXPECT_NE(driver_errors(capture), "");
    HANDLE in_use = OpenEventW(SYNCHRONIZE, FALSE, OVM_DRIVER_IN_USE_EVENT_NAME);
    EXPECT_EQ(in_use, nullptr) << "a failed init lets go of the named objects";
    if (in_use != nullptr) {
        CloseHandle(in_use);
    }
    attach();
    store_settings(48000, 7);
    EXPECT_EQ(m_driver->init(nullptr), ASIOTrue) << error_of(m_driver);
}

TEST_F(AsioDriverSettings, AnAbsentSelectedDeviceGivesWayToTheFirstOneWhichIsStored)
{
    attach();
    store_settings(48000, 7);
    store_selected(L"USB\\VID_0000&PID_0000\\GONE");
    open();
    const std::wstring selected = stored_selected();
    EXPECT_NE(selected.find(L"OVM0001"), std::wstring::npos) << selected;
}

TEST_F(AsioDriverSettings, StoredRateOutsideTheRangeIsClampedForTheDeviceButKeptInTheSettings)
{
    attach();
    store_settings(384000, 7);
    open();
    double rate = 0;
    ASSERT_EQ(m_driver->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 192000.0);
    EXPECT_EQ(stored_rate(), 384000u);
}

TEST_F(AsioDriverSettings, ReleaseTurnsAStoredDsdRateIntoItsPcmBaseAndLeavesPcmRatesAlone)
{
    attach();
    struct row {
        DWORD stored;
        DWORD after;
    };
    for (const row r : {row{5644800, 176400}, row{22579200, 44100}, row{48000, 48000}, row{12345, 44100}}) {
        SCOPED_TRACE(r.stored);
        store_settings(48000, 7);
        open();
        store_settings(r.stored, 7);
        m_driver->Release();
        m_driver = nullptr;
        EXPECT_EQ(stored_rate(), r.after);
    }
}

TEST_F(AsioDriverSettings, SecondHostProcessIsRefusedAndItsReleaseLeavesTheFirstHostsSettingsAlone)
{
    attach();
    store_settings(48000, 7);
    open();
    store_settings(5644800, 7);
    std::string text;
    int32_t init_result = -1;
    in_other_process([&] {
        IASIO *second = create_driver();
        ASSERT_NE(second, nullptr) << "each process has its own driver object";
        init_result = second->init(nullptr);
        text = error_of(second);
        second->Release();
    });
    EXPECT_EQ(init_result, ASIOFalse);
    EXPECT_EQ(text, "Used by another ASIO host\n");
    EXPECT_EQ(stored_rate(), 5644800u) << "an object that never initialised writes nothing back";
    int32_t in = 0, out = 0;
    EXPECT_EQ(m_driver->getChannels(&in, &out), ASE_OK) << "the first host is undisturbed";
    HANDLE in_use = OpenEventW(SYNCHRONIZE, FALSE, OVM_DRIVER_IN_USE_EVENT_NAME);
    ASSERT_NE(in_use, nullptr);
    EXPECT_EQ(WaitForSingleObject(in_use, 0), WAIT_OBJECT_0) << "the driver is still in use";
    CloseHandle(in_use);

    m_driver->Release();
    m_driver = nullptr;
    in_other_process([&] {
        IASIO *next = create_driver();
        ASSERT_NE(next, nullptr);
        init_result = next->init(nullptr);
        next->Release();
    });
    EXPECT_EQ(init_result, ASIOTrue) << "once the first host let go";
}

TEST_F(AsioDriverSettings, PanelChangesWhileTheHostHasBuffersAskForResetsAndARateChangeBlocksTheBuffers)
{
    attach();
    store_settings(48000, 7);
    open();
    create_buffers();

    store_settings(48000, 3);
    SYNCOBJ_ASIO::NotifySettingsChanged();
    ASSERT_TRUE(wait_until([] { return record().resets.load() == 1; }));
    int32_t minimum = 0, maximum = 0, preferred = 0, granularity = 0;
    ASSERT_EQ(m_driver->getBufferSize(&minimum, &maximum, &preferred, &granularity), ASE_OK);
    EXPECT_EQ(preferred, 256) << "the new index is taken at once";

    store_settings(96000, 3);
    SYNCOBJ_ASIO::NotifySettingsChanged();
    ASSERT_TRUE(wait_until([] { return record().resets.load() == 2; }));
    EXPECT_EQ(m_driver->start(), ASE_NotPresent) << "a rate change blocks the old buffers";

    store_settings(96000, 4);
    SYNCOBJ_ASIO::NotifySettingsChanged();
    ASSERT_TRUE(wait_until([] { return record().resets.load() == 3; }));
    EXPECT_EQ(m_driver->start(), ASE_NotPresent) << "an index-only change does not lift the block";

    ASSERT_EQ(m_driver->disposeBuffers(), ASE_OK);
    create_buffers();
    double rate = 0;
    ASSERT_EQ(m_driver->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 48000.0) << "the rate the device runs at wins over the stored one";
    EXPECT_EQ(stored_rate(), 48000u);
    EXPECT_EQ(m_driver->disposeBuffers(), ASE_OK);
}

TEST_F(AsioDriverSettings, PanelChangeWithoutBuffersReopensTheDeviceWithoutCallingTheHost)
{
    attach();
    store_settings(48000, 7);
    open();
    store_settings(96000, 2);
    SYNCOBJ_ASIO::NotifySettingsChanged();
    ASSERT_TRUE(wait_until([&] {
        double rate = 0;
        return m_driver->getSampleRate(&rate) == ASE_OK && rate == 96000.0;
    }));
    int32_t minimum = 0, maximum = 0, preferred = 0, granularity = 0;
    ASSERT_EQ(m_driver->getBufferSize(&minimum, &maximum, &preferred, &granularity), ASE_OK);
    EXPECT_EQ(preferred, 3 * 64 * 2);
    EXPECT_EQ(record().messages.load(), 0);
}

TEST_F(AsioDriverSettings, ThePresenceMarkerIsSetWhileADriverListens)
{
    attach();
    store_settings(48000, 7);
    open();
    HANDLE marker = OpenEventW(SYNCHRONIZE, FALSE, OVM_DRIVER_MARKER_EVENT_NAME);
    ASSERT_NE(marker, nullptr);
    EXPECT_TRUE(wait_until([&] { return WaitForSingleObject(marker, 0) == WAIT_OBJECT_0; }));
    m_driver->Release();
    m_driver = nullptr;
    EXPECT_NE(WaitForSingleObject(marker, 0), WAIT_OBJECT_0);
    CloseHandle(marker);
}

} // namespace
} // namespace asio_test
