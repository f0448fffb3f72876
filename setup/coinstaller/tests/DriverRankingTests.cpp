// The driver-ranking co-installer in device setup: foreign drivers ranked down only when the
// own driver is offered, exact matching of the own driver, the walk's rules, and NO_ERROR for
// every install function whatever fails.
#include "SetupFixture.h"
#include <platform/trace.h>
#include <algorithm>
#include "../CoInstallerTrace.h"
#include "../DriverRanking.h"

namespace {

const WCHAR *const instance = L"USB\\VID_3A51&PID_0102\\OVM0001";
const sim::coinstaller_ref ranking{L"ovmlsacoinstaller.dll", "CoInstallerEntryPoint"};
constexpr DWORD worst = 0xFFFFFFFF;

// Takes the error records of the co-installer loaded by setup (its own registered provider).
class error_records {
public:
    bool any() const
    {
        const auto records = m_capture.records();
        return std::any_of(records.begin(), records.end(),
                           [](const platform::trace_record &r) { return r.level == TRACE_LEVEL_ERROR; });
    }

private:
    platform::trace_capture m_capture{&OVMLSACOINSTALLER_TRACE_GUID, TRACE_LEVEL_ERROR};
};

class DriverRankingTests : public SetupFixture {
protected:
    void SetUp() override
    {
        SetupFixture::SetUp();
        add_device(instance, {L"USB\\VID_3A51&PID_0102&REV_0100", L"USB\\VID_3A51&PID_0102"});
    }
};

TEST_F(DriverRankingTests, ForeignDriversAreRankedDownAndTheOwnDriverIsInstalled)
{
    const auto result = sim::run_device_setup(
        instance,
        {driver("USB Audio Device", "(Generic USB Audio)", 0x00FF0000),
         driver("Orvan Marla Series Async Audio", "Orvan", 0x00FF2001),
         driver("Another Audio Driver", "Someone Else", 0x00FF1000)},
        ranking);
    EXPECT_EQ(0u, result.error);
    ASSERT_EQ(3u, result.drivers.size());
    EXPECT_EQ(worst, result.drivers[0].rank);
    EXPECT_EQ(0x00FF2001u, result.drivers[1].rank);
    EXPECT_EQ(worst, result.drivers[2].rank);
    EXPECT_EQ(1, result.chosen);
    for (const auto &call : result.calls) {
        EXPECT_EQ(0u, call.result) << call.function;
        EXPECT_FALSE(call.post_processing);
    }
    EXPECT_FALSE(result.finish_install_action);
    platform::pnp_lock();
    EXPECT_EQ(L"Orvan", platform::pnp_node_by_instance(instance)->manufacturer);
    platform::pnp_unlock();
}

TEST_F(DriverRankingTests, WithoutTheOwnDriverNothingChanges)
{
    struct row {
        const char *name;
        platform::driver_candidate second;
    };
    const row rows[] = {
        {"same maker, other description", driver("Orvan Marla Series Audio", "Orvan", 0x00FF2000)},
        {"own description, longer maker", driver("Orvan Marla Series Async Audio", "Orvan Audio", 0x00FF2000)},
        {"own description, maker prefix", driver("Orvan Marla Series Async Audio", "Orva", 0x00FF2000)},
        {"other case", driver("orvan marla series async audio", "Orvan", 0x00FF2000)},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        const auto result =
            sim::run_device_setup(instance, {driver("USB Audio Device", "(Generic USB Audio)", 0x00FF0000), r.second}, ranking);
        EXPECT_EQ(0u, result.error);
        ASSERT_EQ(2u, result.drivers.size());
        EXPECT_EQ(0x00FF0000u, result.drivers[0].rank);
        EXPECT_EQ(0x00FF2000u, result.drivers[1].rank);
        EXPECT_EQ(0, result.chosen);
    }
}

TEST_F(DriverRankingTests, LookAlikeOfTheOwnDriverIsRankedDownBesideIt)
{
    const auto result = sim::run_device_setup(instance,
                                              {driver("Orvan Marla Series Async Audio", "Orvan", 0x00FF3000),
                                               driver("Orvan Marla Series Async Audio (old)", "Orvan", 0x00FF0000)},
                                              ranking);
    ASSERT_EQ(2u, result.drivers.size());
    EXPECT_EQ(0x00FF3000u, result.drivers[0].rank);
    EXPECT_EQ(worst, result.drivers[1].rank);
    EXPECT_EQ(0, result.chosen);
}

TEST_F(DriverRankingTests, EveryInstallFunctionReturnsNoErrorAndOnlySelectionRanks)
{
    HMODULE module = LoadLibraryW(L"ovmlsacoinstaller.dll");
    ASSERT_NE(nullptr, module);
    auto entry = reinterpret_cast<COINSTALLER_ROUTINE>(GetProcAddress(module, "CoInstallerEntryPoint"));
    ASSERT_NE(nullptr, entry);
    void *set = platform::install_set_create(
        instance, {driver("X", "Y", 5), driver("Orvan Marla Series Async Audio", "Orvan", 9)}, {});
    ASSERT_NE(nullptr, set);
    SP_DEVINFO_DATA device{};
    platform::install_set_device_data(set, &device);
    COINSTALLER_CONTEXT_DATA context{};
    auto quiet = std::make_unique<error_records>();
    for (DI_FUNCTION function = 0; function <= 0x40; ++function) {
        if (function == DIF_SELECTBESTCOMPATDRV) {
            continue;
        }
        EXPECT_EQ((DWORD)NO_ERROR, entry(function, set, &device, &context)) << function;
    }
    EXPECT_EQ(5u, platform::install_set_drivers(set, true)[0].rank);
    EXPECT_FALSE(quiet->any());

    // Failures of setup's calls are swallowed, and traced: an unknown set, a set without the
    // device's data (the class list, empty here), a stale device record.
    int not_a_set = 0;
    const auto traced_failure = [&](HDEVINFO failing_set, PSP_DEVINFO_DATA failing_device) {
        error_records errors;
        EXPECT_EQ((DWORD)NO_ERROR, entry(DIF_SELECTBESTCOMPATDRV, failing_set, failing_device, &context));
        return errors.any();
    };
    EXPECT_TRUE(traced_failure(&not_a_set, &device));
    EXPECT_FALSE(traced_failure(set, nullptr)) << "an empty class list is no failure";
    SP_DEVINFO_DATA stale = device;
    stale.cbSize = 0;
    EXPECT_TRUE(traced_failure(set, &stale));
    EXPECT_EQ(5u, platform::install_set_drivers(set, true)[0].rank);

    quiet = std::make_unique<error_records>();
    EXPECT_EQ((DWORD)NO_ERROR, entry(DIF_SELECTBESTCOMPATDRV, set, &device, &context));
    EXPECT_EQ(worst, platform::install_set_drivers(set, true)[0].rank);
    EXPECT_EQ(9u, platform::install_set_drivers(set, true)[1].rank);
    EXPECT_FALSE(quiet->any());
    platform::install_set_destroy(set);
    FreeLibrary(module);
}

class WalkTests : public DriverRankingTests {
protected:
    void SetUp() override
    {
        DriverRankingTests::SetUp();
        set = platform::install_set_create(
            instance, {driver("A", "M", 1), driver("Orvan Marla Series Async Audio", "Orvan", 2), driver("C", "M", 3)},
            {});
        ASSERT_NE(nullptr, set);
        platform::install_set_device_data(set, &device);
    }
    void TearDown() override
    {
        platform::install_set_destroy(set);
        DriverRankingTests::TearDown();
    }

    static DWORD counting_callback(HDEVINFO, PSP_DEVINFO_DATA, PSP_DRVINFO_DATA_V2_A, PSP_DRVINSTALL_PARAMS, PVOID context)
    {
        auto *calls = static_cast<int *>(context);
        return ++*calls == 2 ? ERROR_CANCELLED : NO_ERROR;
    }

    void *set = nullptr;
    SP_DEVINFO_DATA device{};
};

TEST_F(WalkTests, FoundFlagIsTheContextAndANullContextIsRefused)
{
    DWORD found = 0;
    EXPECT_EQ((DWORD)NO_ERROR, WalkDriverList(set, &device, FindOwnDriverCallback, &found));
    EXPECT_EQ(1u, found);
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, WalkDriverList(set, &device, FindOwnDriverCallback, nullptr));
}

TEST_F(WalkTests, WalkEndsAtTheFirstNonZeroCallbackResult)
{
    int calls = 0;
    EXPECT_EQ((DWORD)ERROR_CANCELLED, WalkDriverList(set, &device, counting_callback, &calls));
    EXPECT_EQ(2, calls);
}

TEST_F(WalkTests, EnumerationFailureEndsTheWalkWithoutAnError)
{
    int calls = 0;
    int not_a_set = 0;
    EXPECT_EQ((DWORD)NO_ERROR, WalkDriverList(&not_a_set, &device, counting_callback, &calls));
    EXPECT_EQ(0, calls);
}

} // namespace
