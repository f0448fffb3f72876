// Time sources, the reported Windows version and the kernel's event tracing provider API.
#include "KernelTestFixture.h"
#include <evntrace.h>
#include <platform/kernel_version.h>
#include <platform/process.h>
#include <platform/trace.h>
#include <vector>

using namespace kernel_test;

namespace {

struct KernelTimeTests : KernelTest {};
struct TraceTests : KernelTest {};

const std::string test_module = [] {
    std::string path = this_executable();
    path.erase(0, path.find_last_of('/') + 1);
    return path.substr(0, path.find('.'));
}();

} // namespace

TEST_F(KernelTimeTests, EveryTimeSourceFollowsTheManualClock)
{
    platform::clock_use_manual(true);
    LARGE_INTEGER frequency{};
    const LARGE_INTEGER counter1 = KeQueryPerformanceCounter(&frequency);
    EXPECT_EQ(10000000, frequency.QuadPart);
    LARGE_INTEGER system1;
    KeQuerySystemTime(&system1);
    const ULONGLONG interrupt1 = KeQueryInterruptTime();
    LARGE_INTEGER ticks1;
    KeQueryTickCount(&ticks1);

    platform::clock_advance(platform::ticks_per_second);

    EXPECT_EQ(counter1.QuadPart + 10000000, KeQueryPerformanceCounter(nullptr).QuadPart);
    LARGE_INTEGER system2;
    KeQuerySystemTimePrecise(&system2);
    EXPECT_EQ(system1.QuadPart + platform::ticks_per_second, system2.QuadPart);
    EXPECT_EQ(interrupt1 + platform::ticks_per_second, KeQueryInterruptTime());
    LARGE_INTEGER ticks2;
    KeQueryTickCount(&ticks2);
    EXPECT_EQ(64, ticks2.QuadPart - ticks1.QuadPart) << "one second is 64 ticks of 15.625 ms";
    EXPECT_EQ(156250u, KeQueryTimeIncrement());
}

TEST_F(KernelTimeTests, NtDdiVersionIsSwitchableAndResetAtBoot)
{
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WIN8));
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WIN10));
    platform::set_ntddi_version(NTDDI_WIN7);
    EXPECT_FALSE(RtlIsNtDdiVersionAvailable(0x06020000));
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WIN7));
    RTL_OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    EXPECT_EQ(STATUS_SUCCESS, RtlGetVersion(&info));
    EXPECT_EQ(6u, info.dwMajorVersion);
    EXPECT_EQ(1u, info.dwMinorVersion);
    platform::machine_shutdown();
    platform::machine_boot();
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(0x06020000));
    EXPECT_EQ(STATUS_SUCCESS, RtlGetVersion(&info));
    EXPECT_EQ(10u, info.dwMajorVersion);
}

namespace {

constexpr GUID kernel_provider = {0x1D2E7A90, 0x52B1, 0x4C3D, {0xA1, 0x0E, 0x77, 0x86, 0x2F, 0x41, 0xB9, 0x05}};

struct enable_calls {
    std::vector<ULONG> codes;
    UCHAR level = 0;
    ULONGLONG any = 0;
};

VOID NTAPI record_enable(LPCGUID SourceId, ULONG ControlCode, UCHAR Level, ULONGLONG MatchAnyKeyword,
                         ULONGLONG MatchAllKeyword, PEVENT_FILTER_DESCRIPTOR FilterData, PVOID CallbackContext)
{
    UNREFERENCED_PARAMETER(SourceId);
    UNREFERENCED_PARAMETER(MatchAllKeyword);
    UNREFERENCED_PARAMETER(FilterData);
    auto *calls = static_cast<enable_calls *>(CallbackContext);
    calls->codes.push_back(ControlCode);
    calls->level = Level;
    calls->any = MatchAnyKeyword;
}

} // namespace

TEST_F(TraceTests, EtwProviderFollowsTheSessionThatEnablesIt)
{
    enable_calls calls;
    REGHANDLE handle = 0;
    ASSERT_EQ(STATUS_SUCCESS, EtwRegister(&kernel_provider, record_enable, &calls, &handle));
    ASSERT_NE(0u, handle);
    EXPECT_TRUE(calls.codes.empty()) << "no session enables it yet";
    EXPECT_FALSE(EtwProviderEnabled(handle, TRACE_LEVEL_ERROR, 0));
    EXPECT_EQ(STATUS_SUCCESS, EtwWriteString(handle, TRACE_LEVEL_ERROR, 1, nullptr, L"nobody takes this"));
    {
        platform::trace_capture capture(&kernel_provider, TRACE_LEVEL_WARNING, 0x2);
        ASSERT_EQ(std::vector<ULONG>{EVENT_CONTROL_CODE_ENABLE_PROVIDER}, calls.codes);
        EXPECT_EQ(TRACE_LEVEL_WARNING, calls.level);
        EXPECT_EQ(0x2u, calls.any);
        EXPECT_TRUE(EtwProviderEnabled(handle, TRACE_LEVEL_WARNING, 0x2));
        EXPECT_TRUE(EtwProviderEnabled(handle, TRACE_LEVEL_ERROR, 0));
        EXPECT_FALSE(EtwProviderEnabled(handle, TRACE_LEVEL_INFORMATION, 0x2));
        EXPECT_FALSE(EtwProviderEnabled(handle, TRACE_LEVEL_ERROR, 0x4));
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        EXPECT_EQ(STATUS_SUCCESS, EtwWriteString(handle, TRACE_LEVEL_ERROR, 0x2, nullptr, L"F: at dispatch"));
        KeLowerIrql(old);
        EXPECT_EQ(STATUS_SUCCESS, EtwWriteString(handle, TRACE_LEVEL_VERBOSE, 0x2, nullptr, L"too verbose"));
        const auto records = capture.records();
        ASSERT_EQ(1u, records.size());
        EXPECT_EQ(kernel_provider, records[0].provider);
        EXPECT_EQ(test_module, records[0].provider_name);
        EXPECT_EQ(TRACE_LEVEL_ERROR, records[0].level);
        EXPECT_EQ(0x2u, records[0].keyword);
        EXPECT_EQ((ULONG)(ULONG_PTR)PsGetCurrentThreadId(), records[0].thread_id);
        EXPECT_EQ(platform::process_current()->id, records[0].process_id) << "the context the driver ran in";
        EXPECT_EQ("F", records[0].function);
    }
    EXPECT_EQ((std::vector<ULONG>{EVENT_CONTROL_CODE_ENABLE_PROVIDER, EVENT_CONTROL_CODE_DISABLE_PROVIDER}), calls.codes);
    EXPECT_EQ(1u, platform::trace_provider(kernel_provider).live);
    EXPECT_EQ(STATUS_SUCCESS, EtwUnregister(handle));
    EXPECT_EQ(0u, platform::trace_provider(kernel_provider).live);
    EXPECT_EQ(STATUS_INVALID_HANDLE, EtwUnregister(handle));
    EXPECT_EQ(STATUS_INVALID_HANDLE, EtwWriteString(handle, TRACE_LEVEL_ERROR, 0, nullptr, L"gone"));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, EtwRegister(nullptr, nullptr, nullptr, &handle));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, EtwRegister(&kernel_provider, nullptr, nullptr, nullptr));
}
