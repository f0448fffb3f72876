// Power as the port class delivers it: the capabilities it asks for at start, device power
// requests reaching the adapter (PowerChangeState) and its miniport (PowerChangeNotify), the
// return to D0 with its deselect and vendor-mode restore, and a D0 arriving while a stream
// starts.
#include "EngineFixture.h"
#include <atomic>
#include <chrono>
#include <thread>
#include <platform/pnp.h>
#include "MiniportWaveRT.h"

namespace engine_test {
namespace {

NTSTATUS on_power_done(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class PowerTest : public EngineTest {
protected:
    // IRP_MN_SET_POWER of a device power state to the top of the device's stack.
    NTSTATUS set_power(DEVICE_POWER_STATE state)
    {
        PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_POWER;
        next->MinorFunction = IRP_MN_SET_POWER;
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State.DeviceState = state;
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoSetCompletionRoutine(irp, on_power_done, &done, TRUE, TRUE, TRUE);
        IoCallDriver(top, irp);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        NTSTATUS status = irp->IoStatus.Status;
        IoFreeIrp(irp);
        ObDereferenceObject(top);
        return status;
    }

    std::uint8_t interface_of(BOOLEAN capture) { return adapter()->Usb().GetRecord(capture ? 1 : 0)->InterfaceNumber; }
    std::uint8_t alternate(BOOLEAN capture) { return device->current_alternate(interface_of(capture)); }
    // What the device holds after it lost its state behind the driver's back.
    void device_request(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index)
    {
        ASSERT_FALSE(device->handle_control({type, request, value, index, 0}, {}).stall);
    }
    // Opens a direction's interface through the USB layer, as a start does, without a stream.
    void select_without_a_stream(BOOLEAN capture)
    {
        CUSBAudioCL &usb = adapter()->Usb();
        const ULONG direction = capture ? 1 : 0;
        ULONG channels = 0, bits = 0, resolution = 0;
        ASSERT_EQ(STATUS_SUCCESS, usb.GetStreamingFormat(direction, USB_AUDIO_TAG_PCM, 48000, &channels, &bits,
                                                         &resolution));
        ULONG outChannels = 0, outBits = 0, largest = 0;
        ASSERT_EQ(STATUS_SUCCESS, usb.SelectStreamingFormat(direction, USB_AUDIO_TAG_PCM, channels, resolution, 48000,
                                                            1, &outChannels, &outBits, &largest));
        ASSERT_NE(0u, alternate(capture));
    }
    ULONG miniport_power()
    {
        return static_cast<CMiniportWaveRT *>(adapter()->RegisteredMiniport())->DevicePowerState();
    }
};

constexpr std::uint8_t VENDOR_MODE = 0x00;

TEST_F(PowerTest, CapabilitiesAskedForAtStartAllowSurpriseRemoval)
{
    start({});
    platform::pnp_lock();
    const platform::device_node *node = platform::pnp_node_of(pdo);
    const bool ok = node != nullptr && node->surprise_removal_ok;
    platform::pnp_unlock();
    EXPECT_TRUE(ok);
}

TEST_F(PowerTest, BackInD0IdleDirectionsAreDeselectedAndTheVendorModeComesBack)
{
    start({});
    CAdapterCommon *a = adapter();
    ASSERT_TRUE(a->IsDsdNative());
    ASSERT_EQ(STATUS_SUCCESS, a->SetDsdMode(1));
    ASSERT_EQ(1u, device->vendor_mode(interface_of(FALSE)));

    ASSERT_EQ(STATUS_SUCCESS, set_power(PowerDeviceD3));
    EXPECT_EQ(static_cast<ULONG>(PowerDeviceD3), a->DevicePowerState());
    EXPECT_EQ(static_cast<ULONG>(PowerDeviceD3), miniport_power());
    // Interfaces left open without a stream, and a device that forgot its vendor mode asleep.
    for (BOOLEAN capture : {FALSE, TRUE}) {
        select_without_a_stream(capture);
        device_request(0x41, VENDOR_MODE, 0, interface_of(capture));
    }

    ASSERT_EQ(STATUS_SUCCESS, set_power(PowerDeviceD0));
    EXPECT_EQ(static_cast<ULONG>(PowerDeviceD0), a->DevicePowerState());
    EXPECT_EQ(static_cast<ULONG>(PowerDeviceD0), miniport_power());
    for (BOOLEAN capture : {FALSE, TRUE}) {
        SCOPED_TRACE(capture ? "capture" : "render");
        EXPECT_EQ(0u, alternate(capture));
        EXPECT_EQ(0u, a->Usb().GetRecord(capture ? 1 : 0)->CurrentAlternate);
        EXPECT_EQ(1u, device->vendor_mode(interface_of(capture)));
    }
    // The miniport records only device states it knows.
    POWER_STATE unknown;
    unknown.DeviceState = static_cast<DEVICE_POWER_STATE>(PowerDeviceD3 + 1);
    static_cast<CMiniportWaveRT *>(a->RegisteredMiniport())->PowerChangeNotify(unknown);
    EXPECT_EQ(static_cast<ULONG>(PowerDeviceD0), miniport_power());
    ASSERT_EQ(STATUS_SUCCESS, a->SetDsdMode(0));
}

TEST_F(PowerTest, BackInD0AStreamingDirectionKeepsItsInterface)
{
    start({});
    ASSERT_EQ(STATUS_SUCCESS, while_pumping([this] { return common()->StartStream(FALSE); }));
    run_frames(200);
    ASSERT_EQ(STATUS_SUCCESS, set_power(PowerDeviceD3));
    ASSERT_EQ(STATUS_SUCCESS, set_power(PowerDeviceD0));
    EXPECT_NE(0u, alternate(FALSE));
    EXPECT_NE(0u, alternate(TRUE));
    const std::uint64_t played = device->counters().render_frames_played;
    run_frames(500);
    EXPECT_GT(device->counters().render_frames_played, played + 48 * 400) << "the stream went on";
    EXPECT_EQ(0u, adapter()->EngineCounters().Recoveries[0]);
    ASSERT_EQ(STATUS_SUCCESS, while_pumping([this] { return common()->StopStream(FALSE); }));
}

// A D0 that comes while a start holds the device between its interface selection and its run
// count waits for the start, and then leaves the stream that has started alone.
TEST_F(PowerTest, D0DuringAStartWaitsForItAndLeavesTheStreamSelected)
{
    start({});
    ASSERT_EQ(STATUS_SUCCESS, set_power(PowerDeviceD3));
    std::atomic<NTSTATUS> started{STATUS_PENDING};
    // The bus stands still: the start selects its interfaces and waits for its first completion.
    std::thread starter([&] { started = common()->StartStream(FALSE); });
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((alternate(FALSE) == 0 || alternate(TRUE) == 0) && std::chrono::steady_clock::now() < limit) {
        std::this_thread::yield();
    }
    // Both threads are joined on every way out, with the bus running so that the start's wait
    // for its first completion ends: a joinable thread left behind would end the whole run.
    std::thread power;
    auto join = [&] {
        return while_pumping([&] {
            starter.join();
            if (power.joinable()) {
                power.join();
            }
            return started.load();
        });
    };
    if (alternate(FALSE) == 0) {
        ADD_FAILURE() << "the start selected no render interface";
        join();
        return;
    }
    std::atomic<bool> powered{false};
    power = std::thread([&] {
        EXPECT_EQ(STATUS_SUCCESS, set_power(PowerDeviceD0));
        powered = true;
    });
    // A D0 that did not wait would be done in a moment; this one waits for the start.
    const auto window = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (!powered && std::chrono::steady_clock::now() < window) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(powered) << "the D0 transition did not wait for the start";
    EXPECT_EQ(STATUS_SUCCESS, join());
    EXPECT_TRUE(powered);
    EXPECT_NE(0u, alternate(FALSE));
    EXPECT_NE(0u, alternate(TRUE));
    const std::uint64_t played = device->counters().render_frames_played;
    run_frames(500);
    EXPECT_GT(device->counters().render_frames_played, played + 48 * 400);
    ASSERT_EQ(STATUS_SUCCESS, while_pumping([this] { return common()->StopStream(FALSE); }));
}

} // namespace
} // namespace engine_test
