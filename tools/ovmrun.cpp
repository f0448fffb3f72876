// The main job: boots a simulated machine, loads the machine's test driver, sends it one request
// through the I/O manager, unloads it; then boots a machine with the default asynchronous USB
// device attached, enumerates it through the USB test driver and streams isochronous transfers,
// and reports what really ran. It grows as the driver package's stacks come in.
#include <cstdio>
#include <cstring>
#include <wdm.h>
#include <platform/clock.h>
#include <platform/user_io.h>
#include <platform/pnp.h>
#include <sim/audio_device.h>
#include <sim/machine.h>
#include <ks.h>
#include <ksmedia.h>
#include <sim/usb_host_controller.h>
#include "../sim/machine/tests/TestDriverProtocol.h"
#include "../sim/machine/tests/UsbTestDriverProtocol.h"

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
    return final_status == STATUS_SUCCESS && NT_SUCCESS(status) ? 0 : 1;
}

NTSTATUS usb_request(ULONG code, const void *in, ULONG in_len, void *out, ULONG out_len)
{
    platform::user_file *file = nullptr;
    NTSTATUS status = platform::user_io_open(OVMUSBTEST_USER_PATH, GENERIC_READ | GENERIC_WRITE, &file);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    platform::user_io_ioctl(file, code, in, in_len, out, out_len, [&](NTSTATUS s, ULONG_PTR) { status = s; });
    platform::user_io_close(file);
    return status;
}

int run_usb()
{
    sim::machine machine;
    machine.install_driver(L"USB\\Class_01&SubClass_01", "ovmusbtestdrv", L"OVMUSBTEST");
    auto device = std::make_shared<sim::audio_device>(sim::build_uac2_device(sim::uac2_options{}));
    DEVICE_OBJECT *pdo = nullptr;
    NTSTATUS status = machine.attach(device, &pdo);
    std::printf("\nattached the default asynchronous USB audio device: 0x%08X\n", (unsigned)status);
    if (pdo == nullptr) {
        return 1;
    }
    if (platform::device_node *node = platform::pnp_node_of(pdo)) {
        std::printf("  instance %ls, \"%ls\"\n", node->instance_id.c_str(), node->description.c_str());
        for (const auto &id : node->hardware_ids) {
            std::printf("  hardware ID   %ls\n", id.c_str());
        }
        for (const auto &id : node->compatible_ids) {
            std::printf("  compatible ID %ls\n", id.c_str());
        }
        std::printf("  service %ls, started %s\n", node->service.c_str(), node->started ? "yes" : "no");
    }
    OVMUSBTEST_STATE state{};
    status = usb_request(IOCTL_OVMUSBTEST_STATE, nullptr, 0, &state, sizeof(state));
    if (!NT_SUCCESS(status)) {
        std::printf("state request failed: 0x%08X\n", (unsigned)status);
        return 1;
    }
    std::printf("  device descriptor: USB %x.%02x, VID %04X PID %04X, %s speed\n", state.BcdUsb >> 8,
                state.BcdUsb & 0xFF, state.VendorId, state.ProductId, state.HighSpeed ? "high" : "full");
    std::printf("  configuration descriptor: %u bytes, %u interfaces configured\n", state.ConfigurationLength,
                state.Interfaces);
    std::printf("  clock source rate (class request): %u Hz, status 0x%08X\n", state.SampleRate,
                (unsigned)state.RateStatus);
    std::printf("  bus frame %u\n", state.BusFrame);

    OVMUSBTEST_STREAM_REQUEST request{500, 4, 20000};
    OVMUSBTEST_STREAM_REPORT report{};
    const LONGLONG began = platform::clock_now();
    status = usb_request(IOCTL_OVMUSBTEST_STREAM, &request, sizeof(request), &report, sizeof(report));
    const LONGLONG took = platform::clock_now() - began;
    std::printf("streamed %u isochronous transfers each way in %lld ms: 0x%08X\n", request.Transfers,
                (long long)(took / platform::ticks_per_ms), (unsigned)status);
    std::printf("  OUT: %u completed, %u failed, %u bytes; IN: %u completed, %u failed, %u bytes\n",
                report.OutCompleted, report.OutFailed, report.OutBytes, report.InCompleted, report.InFailed,
                report.InBytes);
    std::printf("  completions below DISPATCH_LEVEL: %u, OUT start-frame gaps: %u\n", report.WrongIrql,
                report.StartFrameGaps);
    const sim::device_counters counters = device->counters();
    std::printf("  device: %llu OUT packets, %llu IN packets, %llu render underruns\n",
                (unsigned long long)counters.out_packets, (unsigned long long)counters.in_packets,
                (unsigned long long)counters.render_underruns);
    const sim::host_counters bus = machine.usb_bus().counters();
    std::printf("  bus: frame %u, %llu malformed URBs, %llu bad start frames\n", machine.usb_bus().current_frame(),
                (unsigned long long)bus.malformed_urbs, (unsigned long long)bus.bad_start_frames);

    status = machine.detach(pdo);
    std::printf("detached the device (surprise removal, then remove): 0x%08X\n", (unsigned)status);
    const bool ok = NT_SUCCESS(status) && report.OutCompleted == request.Transfers &&
                    report.InCompleted == request.Transfers && bus.malformed_urbs == 0;
    return ok ? 0 : 1;
}

// The asynchronous kernel driver on the default device: PnP loads and starts ovmlsaau over the
// simulated bus, and its WaveRT filter appears as an audio device interface named by the rate.
int run_async_driver()
{
    sim::machine machine;
    machine.install_driver(L"USB\\Class_01&SubClass_01", "ovmlsaau", L"OVMLSAAU");
    auto device = std::make_shared<sim::audio_device>(sim::build_uac2_device(sim::uac2_options{}));
    DEVICE_OBJECT *pdo = nullptr;
    NTSTATUS status = machine.attach(device, &pdo);
    std::printf("\nattached the default device with the asynchronous driver ovmlsaau installed: 0x%08X\n",
                (unsigned)status);
    if (pdo == nullptr) {
        return 1;
    }
    const auto interfaces = platform::pnp_interfaces(KSCATEGORY_AUDIO, true);
    for (const auto &entry : interfaces) {
        std::printf("  audio interface %ls\n", entry.user_path.c_str());
    }
    status = machine.detach(pdo);
    std::printf("detached the device (surprise removal, then remove): 0x%08X\n", (unsigned)status);
    std::printf("the device channel, streaming engine and ASIO driver are not part of this run yet\n");
    return NT_SUCCESS(status) && !interfaces.empty() ? 0 : 1;
}

} // namespace

int main()
{
    const int first = run();
    const int second = run_usb();
    const int third = run_async_driver();
    return first != 0 ? first : (second != 0 ? second : third);
}
