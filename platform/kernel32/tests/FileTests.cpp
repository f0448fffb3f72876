// Files routed to the simulated kernel: opening a device, synchronous and overlapped
// requests, the OVERLAPPED fields and event, completion routines as APCs, the mapping of
// statuses to Win32 errors, CLEANUP and CLOSE at handle close and at process end, and the
// device power state.
#include "Kernel32Test.h"
#include "FileTestDriver.h"
#include <winioctl.h>
#include <platform/process.h>
#include <atomic>

namespace {

constexpr UCHAR major_create = 0x00;
constexpr UCHAR major_close = 0x02;
constexpr UCHAR major_read = 0x03;
constexpr UCHAR major_cleanup = 0x12;
constexpr DWORD test_ioctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

class FileTests : public Kernel32Test {
protected:
    void SetUp() override
    {
        Kernel32Test::SetUp();
        file_test_driver::start();
    }
    void TearDown() override
    {
        file_test_driver::stop();
        Kernel32Test::TearDown();
    }
    static HANDLE open(DWORD flags)
    {
        return CreateFileW(file_test_driver::device_path, GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
    }
};

TEST_F(FileTests, OpenAndCloseSendCreateCleanupAndClose)
{
    SetLastError(0);
    EXPECT_EQ(CreateFileW(L"\\Device\\NoSuchDevice", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);

    HANDLE file = open(0);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(file_test_driver::majors(), std::vector<UCHAR>{major_create});
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(file_test_driver::majors(), (std::vector<UCHAR>{major_create, major_cleanup, major_close}));
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(FileTests, SynchronousControlReportsBytesAndMapsFailuresIncludingWarnings)
{
    HANDLE file = open(0);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    BYTE in[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    BYTE out[8] = {};
    DWORD returned = 0xdead;
    EXPECT_TRUE(DeviceIoControl(file, test_ioctl, in, sizeof(in), out, sizeof(out), &returned, nullptr));
    EXPECT_EQ(returned, 8u);
    EXPECT_EQ(out[7], 8);

    struct row {
        NTSTATUS status;
        ULONG_PTR information;
        DWORD error;
        DWORD bytes;
    };
    const row rows[] = {{STATUS_DEVICE_BUSY, 0, ERROR_BUSY, 0},
                        {STATUS_BUFFER_OVERFLOW, 4, ERROR_MORE_DATA, 4},
                        {STATUS_CANCELLED, 0, ERROR_OPERATION_ABORTED, 0},
                        {STATUS_INVALID_DEVICE_REQUEST, 0, ERROR_INVALID_FUNCTION, 0},
                        {STATUS_UNSUCCESSFUL, 0, ERROR_GEN_FAILURE, 0}};
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << "status 0x" << r.status);
        file_test_driver::set_control_result(r.status, r.information);
        returned = 0xdead;
        SetLastError(0);
        EXPECT_FALSE(DeviceIoControl(file, test_ioctl, in, sizeof(in), out, sizeof(out), &returned, nullptr));
        EXPECT_EQ(GetLastError(), r.error);
        EXPECT_EQ(returned, r.bytes);
    }
    CloseHandle(file);
}

TEST_F(FileTests, PendedOverlappedReadCompletesThroughGetOverlappedResult)
{
    file_test_driver::set_pend_transfers(true);
    HANDLE file = open(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr); // set: the issue must reset it
    BYTE buffer[16];
    DWORD bytes = 0xdead;
    SetLastError(0);
    EXPECT_FALSE(ReadFile(file, buffer, sizeof(buffer), &bytes, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_EQ(ov.Internal, (ULONG_PTR)STATUS_PENDING);
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), (DWORD)WAIT_TIMEOUT);
    EXPECT_FALSE(GetOverlappedResult(file, &ov, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_INCOMPLETE);

    std::thread completer([] {
        ASSERT_TRUE(file_test_driver::complete_oldest(STATUS_SUCCESS, 12));
    });
    bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(file, &ov, &bytes, TRUE));
    completer.join();
    EXPECT_EQ(bytes, 12u);
    EXPECT_EQ(ov.Internal, (ULONG_PTR)STATUS_SUCCESS);
    EXPECT_EQ(ov.InternalHigh, 12u);
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);

    EXPECT_FALSE(ReadFile(file, buffer, sizeof(buffer), &bytes, &ov));
    ASSERT_TRUE(file_test_driver::complete_oldest(STATUS_CANCELLED, 0));
    EXPECT_FALSE(GetOverlappedResult(file, &ov, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    CloseHandle(ov.hEvent);
    CloseHandle(file);
}

TEST_F(FileTests, OverlappedWriteThatCompletesAtOnceLeavesLastErrorAlone)
{
    HANDLE file = open(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BYTE data[32] = {};
    DWORD bytes = 0;
    SetLastError(1234);
    EXPECT_TRUE(WriteFile(file, data, sizeof(data), &bytes, &ov));
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_EQ(bytes, 32u);
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(WriteFile(file, data, sizeof(data), &bytes, nullptr)) << "an overlapped handle needs an OVERLAPPED";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    CloseHandle(ov.hEvent);
    CloseHandle(file);
}

struct routine_record {
    std::atomic<int> calls{0};
    std::atomic<DWORD> error{0xdead};
    std::atomic<DWORD> bytes{0};
};
routine_record g_routine;

VOID WINAPI write_done(DWORD error, DWORD bytes, LPOVERLAPPED)
{
    g_routine.error = error;
    g_routine.bytes = bytes;
    g_routine.calls.fetch_add(1);
}

TEST_F(FileTests, WriteFileExRoutineRunsOnlyInAnAlertableWaitOfTheIssuer)
{
    g_routine.calls = 0;
    file_test_driver::set_pend_transfers(true);
    HANDLE file = open(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    HANDLE half = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    BYTE data[64] = {};
    ASSERT_TRUE(WriteFileEx(file, data, sizeof(data), &ov, write_done));
    ASSERT_TRUE(file_test_driver::complete_oldest(STATUS_SUCCESS, 64));
    const HANDLE waits[] = {half, stop};
    EXPECT_EQ(WaitForMultipleObjects(2, waits, FALSE, 0), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(g_routine.calls.load(), 0) << "not alertable: the routine waits";
    std::thread([] { EXPECT_EQ(SleepEx(0, TRUE), 0u) << "another thread does not run it"; }).join();
    EXPECT_EQ(WaitForMultipleObjectsEx(2, waits, FALSE, INFINITE, TRUE), (DWORD)WAIT_IO_COMPLETION);
    EXPECT_EQ(g_routine.calls.load(), 1);
    EXPECT_EQ(g_routine.error.load(), 0u);
    EXPECT_EQ(g_routine.bytes.load(), 64u);
    CloseHandle(half);
    CloseHandle(stop);
    CloseHandle(file);
}

TEST_F(FileTests, ClosingAHandleEndsItsPendingRequestsThroughCleanup)
{
    file_test_driver::set_pend_transfers(true);
    HANDLE file = open(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BYTE buffer[8];
    EXPECT_FALSE(ReadFile(file, buffer, sizeof(buffer), nullptr, &ov));
    EXPECT_TRUE(CancelIo(file));
    EXPECT_EQ(file_test_driver::pending_count(), 1u) << "no cancel routine: the request stays";
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(ov.Internal, (ULONG_PTR)STATUS_CANCELLED);
    EXPECT_EQ(file_test_driver::majors(),
              (std::vector<UCHAR>{major_create, major_read, major_cleanup, major_close}));
    CloseHandle(ov.hEvent);
}

TEST_F(FileTests, KilledProcessHoldingAFileSendsCleanupAndClose)
{
    file_test_driver::set_pend_transfers(true);
    platform::process *p = platform::process_create(L"host.exe", L"host.exe");
    std::atomic<bool> reading{false};
    std::atomic<bool> returned{false};
    platform::thread *t = platform::process_start_thread(p, [&] {
        HANDLE file = CreateFileW(file_test_driver::device_path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return;
        }
        BYTE buffer[8];
        DWORD bytes = 0;
        reading = true;
        ReadFile(file, buffer, sizeof(buffer), &bytes, nullptr); // synchronous, pended by the driver
        returned = true;
    });
    ASSERT_TRUE(eventually([] { return file_test_driver::pending_count() == 1; }));
    ASSERT_TRUE(reading.load());

    platform::process_terminate(p, 1);

    EXPECT_TRUE(platform::process_wait_threads(p, 10000));
    EXPECT_FALSE(returned.load());
    EXPECT_EQ(file_test_driver::majors(),
              (std::vector<UCHAR>{major_create, major_read, major_cleanup, major_close}));
    platform::thread_dereference(t);
    platform::process_dereference(p);
}

TEST_F(FileTests, DevicePowerStateFollowsTheDeviceNode)
{
    HANDLE file = open(0);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    BOOL on = FALSE;
    EXPECT_TRUE(GetDevicePowerState(file, &on));
    EXPECT_TRUE(on);
    file_test_driver::set_power_state(4); // D3
    EXPECT_TRUE(GetDevicePowerState(file, &on));
    EXPECT_FALSE(on);
    file_test_driver::mark_removed();
    on = 7;
    EXPECT_FALSE(GetDevicePowerState(file, &on));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_REMOVED);
    EXPECT_EQ(on, 7);
    CloseHandle(file);
}

} // namespace
