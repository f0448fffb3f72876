// The driver-use sync thread against a host simulated by its named objects, and the settings
// accessor's writes: the DSD fix-up whenever no host holds the driver (also after a host
// died holding it), and the settings-changed event set only when a driver listens.
#include <gtest/gtest.h>
#include <windows.h>
#include <platform/trace.h>
#include <sim/machine.h>
#include <algorithm>
#include <atomic>
#include <memory>
#include "ControlPanelTrace.h"
#include "CplRegUtil.h"
#include "DriverUseSync.h"
#include "NamedObjects.h"
#include "SyncObj.h"
#include "PanelTestSupport.h"

namespace {

using panel_test::SimulatedHost;
using panel_test::wait_for;

bool traced_error(const platform::trace_capture &capture)
{
    const auto records = capture.records();
    return std::any_of(records.begin(), records.end(),
                       [](const platform::trace_record &r) { return r.level == TRACE_LEVEL_ERROR; });
}

// Does what the dialog does: the fix-up under the settings mutex, counted.
class FixUpTarget : public CDriverUseTarget {
public:
    FixUpTarget() { SYNCOBJ::CreateNamedMutex(&mutex, OVM_SETTINGS_MUTEX_NAME); }
    ~FixUpTarget()
    {
        if (mutex != nullptr) {
            CloseHandle(mutex);
        }
    }
    void FixDsdRate() override
    {
        CMutexLock lock(mutex);
        settings.FixDsdRate();
        ++fixes;
    }
    HANDLE mutex = nullptr;
    CCplRegUtil settings;
    std::atomic<int> fixes{0};
};

class DriverUseSyncTests : public ::testing::Test {
protected:
    void SetUp() override
    {
        TraceStart(&OVMLSAACPL_TRACE_GUID);
        m_machine = std::make_unique<sim::machine>();
        DWORD probe = 0;
        m_settings.GetValue(REGVAL_SAMPLING_RATE, &probe, sizeof(probe));
        m_inUse = CreateEventW(nullptr, TRUE, FALSE, OVM_DRIVER_IN_USE_EVENT_NAME);
        ASSERT_NE(nullptr, m_inUse);
    }
    void TearDown() override
    {
        CloseHandle(m_inUse);
        m_machine.reset();
        TraceStop();
    }
    bool in_use_set() const { return WaitForSingleObject(m_inUse, 0) == WAIT_OBJECT_0; }

    std::unique_ptr<sim::machine> m_machine;
    CCplRegUtil m_settings;
    HANDLE m_inUse = nullptr;
};

TEST_F(DriverUseSyncTests, WithoutHostTheStoredDsdRateFallsBackToItsPcmBase)
{
    ASSERT_EQ(REGUTIL_OK, m_settings.SetDword(REGVAL_SAMPLING_RATE, 2822400));
    SetEvent(m_inUse); // left set by a driver that did not clean up
    FixUpTarget target;
    CDriverUseSync sync;
    ASSERT_TRUE(sync.Start(&target));
    ASSERT_TRUE(wait_for([&] { return target.fixes.load() == 1 && !in_use_set(); }));
    EXPECT_EQ(88200u, m_settings.GetDword(REGVAL_SAMPLING_RATE));
    EXPECT_FALSE(sync.IsDriverInUse());
    sync.Stop();
    EXPECT_EQ(1, target.fixes.load());
}

TEST_F(DriverUseSyncTests, FixUpConvertsOnlyTheLabelledDsdRates)
{
    struct row {
        DWORD stored;
        DWORD after;
    };
    const row rows[] = {{2822400, 88200}, {5644800, 176400}, {11289600, 352800},
                        {22579200, 22579200}, {48000, 48000}, {0, 0}, {12345, 12345}};
    for (const row &r : rows) {
        SCOPED_TRACE(r.stored);
        ASSERT_EQ(REGUTIL_OK, m_settings.SetDword(REGVAL_SAMPLING_RATE, r.stored));
        m_settings.FixDsdRate();
        EXPECT_EQ(r.after, m_settings.GetDword(REGVAL_SAMPLING_RATE));
    }
}

TEST_F(DriverUseSyncTests, FollowsAHostTakingAndReleasingTheDriver)
{
    platform::trace_capture capture(&OVMLSAACPL_TRACE_GUID, TRACE_LEVEL_ERROR);
    FixUpTarget target;
    CDriverUseSync sync;
    ASSERT_TRUE(sync.Start(&target));
    ASSERT_TRUE(wait_for([&] { return target.fixes.load() == 1; }));

    SimulatedHost host;
    ASSERT_TRUE(host.take());
    EXPECT_TRUE(sync.IsDriverInUse());
    // The host streams DSD meanwhile; the stored rate stays while it holds the driver.
    ASSERT_EQ(REGUTIL_OK, m_settings.SetDword(REGVAL_SAMPLING_RATE, 5644800));
    EXPECT_EQ(1, target.fixes.load());

    host.release();
    ASSERT_TRUE(wait_for([&] { return target.fixes.load() == 2 && !in_use_set(); }));
    EXPECT_EQ(176400u, m_settings.GetDword(REGVAL_SAMPLING_RATE));
    EXPECT_FALSE(sync.IsDriverInUse());
    sync.Stop();
    EXPECT_FALSE(traced_error(capture));
}

TEST_F(DriverUseSyncTests, StartThatCannotOpenTheDriverHeldMutexFailsAndTracesIt)
{
    // An object of another type under the mutex's name makes CreateMutexW fail.
    HANDLE squatter = CreateEventW(nullptr, TRUE, FALSE, OVM_DRIVER_HELD_MUTEX_NAME);
    ASSERT_NE(nullptr, squatter);
    platform::trace_capture capture(&OVMLSAACPL_TRACE_GUID, TRACE_LEVEL_ERROR);
    FixUpTarget target;
    CDriverUseSync sync;
    EXPECT_FALSE(sync.Start(&target));
    EXPECT_TRUE(traced_error(capture));
    SetEvent(m_inUse);
    EXPECT_FALSE(sync.IsDriverInUse()) << "without its objects the driver is never in use";
    CloseHandle(squatter);
}

TEST_F(DriverUseSyncTests, AHostThatDiesHoldingTheDriverCountsAsLettingGo)
{
    FixUpTarget target;
    CDriverUseSync sync;
    ASSERT_TRUE(sync.Start(&target));
    ASSERT_TRUE(wait_for([&] { return target.fixes.load() == 1; }));

    SimulatedHost host;
    ASSERT_TRUE(host.take());
    ASSERT_EQ(REGUTIL_OK, m_settings.SetDword(REGVAL_SAMPLING_RATE, 11289600));
    host.crash();
    ASSERT_TRUE(wait_for([&] { return target.fixes.load() == 2 && !in_use_set(); }));
    EXPECT_EQ(352800u, m_settings.GetDword(REGVAL_SAMPLING_RATE));
}

TEST_F(DriverUseSyncTests, StopWhileAHostHoldsTheDriverReturns)
{
    FixUpTarget target;
    CDriverUseSync sync;
    ASSERT_TRUE(sync.Start(&target));
    ASSERT_TRUE(wait_for([&] { return target.fixes.load() == 1; }));
    SimulatedHost host;
    ASSERT_TRUE(host.take());
    sync.Stop();
    EXPECT_FALSE(sync.IsDriverInUse()) << "no event after Stop";
    EXPECT_TRUE(in_use_set()) << "the host's hold is not touched";
    host.release();
}

TEST_F(DriverUseSyncTests, SettingsWritesSignalOnlyAListeningDriver)
{
    HANDLE change = CreateEventW(nullptr, FALSE, FALSE, OVM_SETTINGS_CHANGED_EVENT_NAME);
    ASSERT_NE(nullptr, change);
    ASSERT_EQ(REGUTIL_OK, m_settings.SetDword(REGVAL_BUFFER_SIZE_INDEX, 3));
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(change, 0)) << "no driver marker, no signal";

    {
        SYNCOBJ_ASIO driver;
        ASSERT_TRUE(driver.Create());
        ASSERT_EQ(REGUTIL_OK, m_settings.SetDword(REGVAL_BUFFER_SIZE_INDEX, 4));
        EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(change, 0));
        ASSERT_EQ(REGUTIL_OK, m_settings.SetSelected(L"USB\\VID_3A51&PID_0100\\OVM0001"));
        EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(change, 0));

        // A write that fails signals nothing and returns the base's code.
        ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_CURRENT_USER, OVM_SETTINGS_KEY));
        platform::trace_capture capture(&OVMLSAACPL_TRACE_GUID, TRACE_LEVEL_ERROR);
        EXPECT_EQ(REGUTIL_KEY_NOT_OPEN, m_settings.SetDword(REGVAL_BUFFER_SIZE_INDEX, 5));
        EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(change, 0));
        EXPECT_TRUE(traced_error(capture));
    }
    CloseHandle(change);
}

} // namespace
