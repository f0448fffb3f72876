// The main job: boots a simulated machine, loads the machine's test driver, sends it one request
// through the I/O manager, unloads it, and reports what really ran. It grows as the driver
// package's stacks come in.
#include <cstdio>
#include <cstring>
#include <wdm.h>
#include <platform/clock.h>
#include <platform/user_io.h>
#include <sim/machine.h>
#include "../sim/machine/tests/TestDriverProtocol.h"

namespace {

int run()
{
    sim::machine machine;
    std::printf("machine booted; clock at %lld x 100 ns\n", (long long)platform::clock_now());

    NTSTATUS status = machine.load_driver("ovmtestdrv");
    if (!NT_SUCCESS(status)) {
        std::printf("loading ovmtestdrv from %s failed: 0x%08X\n", sim::machine::module_directory().c_str(),
                    (unsigned)status);
        return 1;
    }
    std::printf("loaded %s; DriverEntry returned 0x%08X\n", machine.module_path("ovmtestdrv").c_str(),
                (unsigned)status);

    platform::user_file *file = nullptr;
    status = platform::user_io_open(OVMTEST_USER_PATH, GENERIC_READ | GENERIC_WRITE, &file);
    if (!NT_SUCCESS(status)) {
        std::printf("opening %ls failed: 0x%08X\n", OVMTEST_USER_PATH, (unsigned)status);
        return 1;
    }
    OVMTEST_REPORT report;
    std::memset(&report, 0, sizeof(report));
    NTSTATUS final_status = STATUS_PENDING;
    ULONG_PTR bytes = 0;
    platform::user_io_ioctl(file, IOCTL_OVMTEST_EXERCISE, nullptr, 0, &report, sizeof(report),
                            [&](NTSTATUS s, ULONG_PTR information) {
                                final_status = s;
                                bytes = information;
                            });
    platform::user_io_close(file);
    std::printf("request to %ls completed: 0x%08X, %zu bytes\n", OVMTEST_USER_PATH, (unsigned)final_status,
                (size_t)bytes);
    if (final_status == STATUS_SUCCESS && bytes == sizeof(report)) {
        std::printf("  IRP forwarded to the lower device: completion routine ran %u time(s) at IRQL %u, status 0x%08X\n",
                    report.CompletionRoutineRuns, report.CompletionIrql, (unsigned)report.LowerStatus);
        std::printf("  DPC ran %u time(s) at IRQL %u\n", report.DpcRuns, report.DpcIrql);
        std::printf("  timer DPC ran %u time(s)\n", report.TimerDpcRuns);
        std::printf("  work item ran %u time(s) at IRQL %u\n", report.WorkItemRuns, report.WorkItemIrql);
        std::printf("  system thread ran %u time(s) at IRQL %u\n", report.ThreadRuns, report.ThreadIrql);
    }

    status = machine.unload_driver("ovmtestdrv");
    std::printf("unloaded ovmtestdrv: 0x%08X (no device, IRP, work item or pool left behind)\n", (unsigned)status);
    std::printf("the USB audio stacks are not part of this run yet\n");
    return final_status == STATUS_SUCCESS && NT_SUCCESS(status) ? 0 : 1;
}

} // namespace

int main()
{
    return run();
}
