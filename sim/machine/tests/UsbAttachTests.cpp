// PnP attach of simulated USB devices: IDs and device node, the installed driver found, loaded,
// added and started over the bus PDO, control and isochronous traffic in real time, query and
// cancel of removal, and surprise removal while streaming.
#include <gtest/gtest.h>
#include <wdm.h>
#include <platform/pnp.h>
#include <platform/usb_host.h>
#include <platform/user_io.h>
#include <sim/audio_device.h>
#include <sim/machine.h>
#include <sim/usb_host_controller.h>

#include <cstring>
#include <future>
#include <optional>
#include "UsbTestDriverProtocol.h"

namespace {

std::shared_ptr<sim::audio_device> default_device()
{
    return std::make_shared<sim::audio_device>(sim::build_uac2_device(sim::uac2_options{}));
}

struct ioctl_result {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

ioctl_result call(ULONG code, const void *in, ULONG in_len, void *out, ULONG out_len)
{
    ioctl_result result;
    platform::user_file *file = nullptr;
    result.status = platform::user_io_open(OVMUSBTEST_USER_PATH, GENERIC_READ | GENERIC_WRITE, &file);
    if (!NT_SUCCESS(result.status)) {
        return result;
    }
    platform::user_io_ioctl(file, code, in, in_len, out, out_len, [&](NTSTATUS s, ULONG_PTR i) {
        result.status = s;
        result.information = i;
    });
    platform::user_io_close(file);
    return result;
}

OVMUSBTEST_STREAM_REPORT stream(ULONG transfers, ioctl_result *result)
{
    OVMUSBTEST_STREAM_REQUEST request{transfers, 4, 20000};
    OVMUSBTEST_STREAM_REPORT report;
    std::memset(&report, 0xCC, sizeof(report));
    *result = call(IOCTL_OVMUSBTEST_STREAM, &request, sizeof(request), &report, sizeof(report));
    return report;
}

TEST(UsbAttachTests, AttachWithoutDriverCreatesTheNodeWithBusIds)
{
    sim::machine machine;
    DEVICE_OBJECT *pdo = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, machine.attach(default_device(), &pdo));
    ASSERT_NE(nullptr, pdo);
    platform::device_node *node = platform::pnp_node_of(pdo);
    ASSERT_NE(nullptr, node);
    EXPECT_EQ(L"USB\\VID_3A51&PID_0102\\OVM0001", node->instance_id);
    ASSERT_EQ(2u, node->hardware_ids.size());
    EXPECT_EQ(L"USB\\VID_3A51&PID_0102&REV_0100", node->hardware_ids[0]);
    EXPECT_EQ(L"USB\\VID_3A51&PID_0102", node->hardware_ids[1]);
    ASSERT_EQ(3u, node->compatible_ids.size());
    EXPECT_EQ(L"USB\\Class_01&SubClass_01&Prot_20", node->compatible_ids[0]);
    EXPECT_EQ(L"USB\\Class_01&SubClass_01", node->compatible_ids[1]);
    EXPECT_EQ(L"USB\\Class_01", node->compatible_ids[2]);
    EXPECT_EQ(L"Marla Series USB Audio", node->description);
    EXPECT_FALSE(node->started);
    EXPECT_TRUE(node->service.empty());
    EXPECT_NE(0u, pdo->Flags & DO_BUS_ENUMERATED_DEVICE);

    EXPECT_EQ(STATUS_SUCCESS, machine.detach(pdo));
    EXPECT_EQ(nullptr, platform::pnp_node_by_instance(L"USB\\VID_3A51&PID_0102\\OVM0001"));
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, machine.detach(pdo));
}

TEST(UsbAttachTests, SecondDeviceWithTheSameSerialGetsItsOwnInstance)
{
    sim::machine machine;
    DEVICE_OBJECT *first = nullptr;
    DEVICE_OBJECT *second = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, machine.attach(default_device(), &first));
    ASSERT_EQ(STATUS_SUCCESS, machine.attach(default_device(), &second));
    EXPECT_NE(platform::pnp_node_of(first)->instance_id, platform::pnp_node_of(second)->instance_id);
}

TEST(UsbAttachTests, CompatibleIdFindsTheDriverWhichStartsAndStreamsInRealTime)
{
    sim::machine machine;
    machine.install_driver(L"usb\\class_01&subclass_01", "ovmusbtestdrv", L"OVMUSBTEST");
    DEVICE_OBJECT *pdo = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, machine.attach(default_device(), &pdo));
    platform::device_node *node = platform::pnp_node_of(pdo);
    ASSERT_NE(nullptr, node);
    EXPECT_TRUE(node->started);
    EXPECT_EQ(L"OVMUSBTEST", node->service);
    EXPECT_NE(nullptr, machine.driver("ovmusbtestdrv"));
    EXPECT_EQ(1, platform::usb_bus_pdo_interface_references(pdo));

    OVMUSBTEST_STATE state;
    std::memset(&state, 0xCC, sizeof(state));
    const ioctl_result result = call(IOCTL_OVMUSBTEST_STATE, nullptr, 0, &state, sizeof(state));
    ASSERT_EQ(STATUS_SUCCESS, result.status);
    EXPECT_EQ(1u, state.Started);
    EXPECT_EQ(1u, state.HighSpeed);
    EXPECT_EQ(0x3A51, state.VendorId);
    EXPECT_EQ(0x0102, state.ProductId);
    EXPECT_EQ(0x0200, state.BcdUsb);
    EXPECT_EQ(3u, state.Interfaces);
    EXPECT_EQ(STATUS_SUCCESS, state.RateStatus);
    EXPECT_EQ(48000u, state.SampleRate);

    ioctl_result streamed;
    const OVMUSBTEST_STREAM_REPORT report = stream(300, &streamed);
    ASSERT_EQ(STATUS_SUCCESS, streamed.status);
    EXPECT_EQ(STATUS_SUCCESS, report.SelectStatus);
    EXPECT_EQ(0u, report.TimedOut);
    EXPECT_EQ(300u, report.OutCompleted);
    EXPECT_EQ(300u, report.InCompleted);
    EXPECT_EQ(0u, report.OutFailed);
    EXPECT_EQ(0u, report.InFailed);
    EXPECT_EQ(0u, report.WrongIrql);
    EXPECT_EQ(0u, report.StartFrameGaps);
    EXPECT_EQ(300u * 192u, report.OutBytes);
    // 48 kHz stereo 16-bit: 6 frames x 4 bytes per microframe, give or take the device clock.
    EXPECT_NEAR(300.0 * 192.0, (double)report.InBytes, 300.0 * 8.0);

    OVMUSBTEST_STATE later;
    ASSERT_EQ(STATUS_SUCCESS, call(IOCTL_OVMUSBTEST_STATE, nullptr, 0, &later, sizeof(later)).status);
    EXPECT_GE(later.BusFrame - state.BusFrame, 300u);

    const sim::host_counters counters = machine.usb_bus().counters();
    EXPECT_EQ(0u, counters.malformed_urbs);
    EXPECT_EQ(0u, counters.invalid_pipe_handles);
    EXPECT_EQ(0u, counters.bad_start_frames);

    EXPECT_EQ(STATUS_SUCCESS, machine.send_pnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE));
    EXPECT_EQ(STATUS_SUCCESS, machine.send_pnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE));
    EXPECT_EQ(STATUS_SUCCESS, call(IOCTL_OVMUSBTEST_STATE, nullptr, 0, &later, sizeof(later)).status);

    EXPECT_EQ(STATUS_SUCCESS, machine.detach(pdo));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, call(IOCTL_OVMUSBTEST_STATE, nullptr, 0, &later, sizeof(later)).status);
    EXPECT_EQ(STATUS_SUCCESS, machine.unload_driver("ovmusbtestdrv"));
}

TEST(UsbAttachTests, SurpriseRemovalWhileStreamingFailsEveryTransferAsDeviceGone)
{
    sim::machine machine;
    machine.install_driver(L"USB\\VID_3A51&PID_0102", "ovmusbtestdrv", L"OVMUSBTEST");
    DEVICE_OBJECT *pdo = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, machine.attach(default_device(), &pdo));
    sim::host_controller &bus = machine.usb_bus();

    ioctl_result streamed;
    OVMUSBTEST_STREAM_REPORT report{};
    auto running = std::async(std::launch::async, [&] { report = stream(100000, &streamed); });
    const ULONG begin = bus.current_frame();
    while (bus.counters().completed < 40 && bus.current_frame() - begin < 5000) {
        std::this_thread::yield();
    }
    ASSERT_GE(bus.counters().completed, 40u);
    ASSERT_EQ(STATUS_SUCCESS, machine.detach(pdo));
    running.get();

    EXPECT_EQ(STATUS_SUCCESS, streamed.status);
    EXPECT_EQ(0u, report.TimedOut);
    EXPECT_GT(report.OutCompleted + report.InCompleted, 0u);
    EXPECT_EQ(4u, report.OutFailed);
    EXPECT_EQ(4u, report.InFailed);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, report.LastFailure);
    EXPECT_EQ(0u, report.WrongIrql);
    EXPECT_GE(bus.counters().device_gone, 8u);
}

} // namespace
