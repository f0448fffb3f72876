// The simulated host controller in step mode: URB validation, configuration and interface
// selection, the isochronous schedule and packet rules, pipe requests, faults and removal.
#include <gtest/gtest.h>
#include <wdm.h>
#include <usbdlib.h>
#include <sim/audio_device.h>
#include <sim/machine.h>
#include <sim/usb_host_controller.h>

#include <cstring>
#include <map>

namespace {

using sim::host_controller;

constexpr std::uint8_t kRenderInterface = 1;
constexpr std::uint8_t kCaptureInterface = 2;

class HostControllerTest : public ::testing::Test {
protected:
    explicit HostControllerTest(ULONG start_frame = 1000)
        : bus_({sim::bus_drive::step, start_frame, 1}),
          device_(std::make_shared<sim::audio_device>(sim::build_uac2_device(sim::uac2_options{})))
    {
        bus_.set_completion_sink([this](platform::usb_request request, NTSTATUS status) {
            completions_[request] = status;
            irql_ok_ = irql_ok_ && KeGetCurrentIrql() == DISPATCH_LEVEL;
        });
        port_ = bus_.connect(device_);
    }

    void configure()
    {
        configuration_bytes_ = device_->descriptors().configuration;
        auto *config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration_bytes_.data());
        USBD_INTERFACE_LIST_ENTRY list[4] = {};
        for (LONG i = 0; i < 3; ++i) {
            list[i].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config, config, i, 0, -1, -1, -1);
            ASSERT_NE(nullptr, list[i].InterfaceDescriptor);
        }
        PURB urb = USBD_CreateConfigurationRequestEx(config, list);
        ASSERT_NE(nullptr, urb);
        ASSERT_EQ(STATUS_SUCCESS, port_->submit(urb, nullptr));
        configuration_ = urb->UrbSelectConfiguration.ConfigurationHandle;
        ExFreePool(urb);
    }

    // Selects an alternate setting; returns the status and fills the pipes.
    NTSTATUS select(std::uint8_t number, std::uint8_t alt, ULONG endpoints, std::vector<USBD_PIPE_INFORMATION> *pipes,
                    LONG length_error = 0)
    {
        const ULONG size = GET_SELECT_INTERFACE_REQUEST_SIZE(endpoints) + length_error;
        std::vector<ULONGLONG> storage(size / 8 + 2);
        auto urb = reinterpret_cast<PURB>(storage.data());
        UsbBuildSelectInterfaceRequest(urb, (USHORT)size, configuration_, number, alt);
        const NTSTATUS status = port_->submit(urb, nullptr);
        if (pipes != nullptr && NT_SUCCESS(status)) {
            pipes->assign(urb->UrbSelectInterface.Interface.Pipes,
                          urb->UrbSelectInterface.Interface.Pipes + urb->UrbSelectInterface.Interface.NumberOfPipes);
        }
        last_usbd_ = urb->UrbHeader.Status;
        return status;
    }

    USBD_PIPE_INFORMATION data_pipe(std::uint8_t number)
    {
        std::vector<USBD_PIPE_INFORMATION> pipes;
        EXPECT_EQ(STATUS_SUCCESS, select(number, 1, number == kRenderInterface ? 2 : 1, &pipes));
        return pipes.empty() ? USBD_PIPE_INFORMATION{} : pipes.front();
    }

    // An isochronous URB with packets at the given offsets.
    struct iso_urb {
        std::vector<ULONGLONG> storage;
        PURB urb() { return reinterpret_cast<PURB>(storage.data()); }
    };
    iso_urb make_iso(const USBD_PIPE_INFORMATION &pipe, std::vector<ULONG> offsets, void *buffer, ULONG length,
                     ULONG flags, ULONG start = 0)
    {
        iso_urb result;
        const ULONG size = GET_ISO_URB_SIZE(offsets.size());
        result.storage.assign(size / 8 + 1, 0);
        auto &iso = result.urb()->UrbIsochronousTransfer;
        result.urb()->UrbHeader.Length = (USHORT)size;
        result.urb()->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
        iso.PipeHandle = pipe.PipeHandle;
        iso.TransferFlags = flags;
        iso.TransferBuffer = buffer;
        iso.TransferBufferLength = length;
        iso.StartFrame = start;
        iso.NumberOfPackets = (ULONG)offsets.size();
        for (size_t i = 0; i < offsets.size(); ++i) {
            iso.IsoPacket[i].Offset = offsets[i];
            iso.IsoPacket[i].Length = 0xDEAD;
        }
        return result;
    }

    static std::vector<ULONG> even_offsets(ULONG count, ULONG step)
    {
        std::vector<ULONG> offsets;
        for (ULONG i = 0; i < count; ++i) {
            offsets.push_back(i * step);
        }
        return offsets;
    }

    // Declared before the bus, which may still deliver completions while it is destroyed.
    std::map<platform::usb_request, NTSTATUS> completions_;
    bool irql_ok_ = true;
    sim::machine machine_;
    host_controller bus_;
    std::shared_ptr<sim::audio_device> device_;
    sim::usb_port *port_ = nullptr;
    USBD_CONFIGURATION_HANDLE configuration_ = nullptr;
    std::vector<std::uint8_t> configuration_bytes_;
    USBD_STATUS last_usbd_ = 0;
    int tokens_[16] = {};
};

TEST_F(HostControllerTest, SelectInterfaceTakesAUrbOf56Plus24PerEndpointAndFillsThePipes)
{
    configure();
    std::vector<USBD_PIPE_INFORMATION> pipes;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, select(kRenderInterface, 1, 2, nullptr, -24));
    EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, last_usbd_);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, select(kRenderInterface, 1, 1, nullptr));
    EXPECT_EQ(2u, bus_.counters().malformed_urbs);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, select(kRenderInterface, 9, 0, nullptr));
    EXPECT_EQ(USBD_STATUS_INTERFACE_NOT_FOUND, last_usbd_);

    ASSERT_EQ(STATUS_SUCCESS, select(kRenderInterface, 1, 2, &pipes));
    ASSERT_EQ(2u, pipes.size());
    EXPECT_EQ(sim::uac2_ids::render_data_ep, pipes[0].EndpointAddress);
    EXPECT_EQ(UsbdPipeTypeIsochronous, pipes[0].PipeType);
    EXPECT_EQ(1, pipes[0].Interval);
    EXPECT_EQ(device_->find_endpoint(sim::uac2_ids::render_data_ep)->max_bytes_per_interval(),
              pipes[0].MaximumPacketSize);
    EXPECT_EQ(sim::uac2_ids::feedback_ep, pipes[1].EndpointAddress);
    EXPECT_NE(pipes[0].PipeHandle, pipes[1].PipeHandle);
    EXPECT_EQ(1, device_->current_alternate(kRenderInterface));
}

TEST_F(HostControllerTest, ANewSelectionInvalidatesOldPipeHandlesAndCancelsTheirTransfers)
{
    configure();
    const USBD_PIPE_INFORMATION pipe = data_pipe(kRenderInterface);
    std::vector<std::uint8_t> data(192, 0x11);
    auto first = make_iso(pipe, even_offsets(8, 24), data.data(), 192, USBD_START_ISO_TRANSFER_ASAP);
    ASSERT_EQ(STATUS_PENDING, port_->submit(first.urb(), &tokens_[0]));

    const USBD_PIPE_INFORMATION fresh = data_pipe(kRenderInterface);
    EXPECT_NE(pipe.PipeHandle, fresh.PipeHandle);
    ASSERT_EQ(1u, completions_.count(&tokens_[0]));
    EXPECT_EQ(STATUS_CANCELLED, completions_[&tokens_[0]]);
    EXPECT_EQ(USBD_STATUS_CANCELED, first.urb()->UrbHeader.Status);
    EXPECT_TRUE(irql_ok_);

    auto stale = make_iso(pipe, even_offsets(8, 24), data.data(), 192, USBD_START_ISO_TRANSFER_ASAP);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, port_->submit(stale.urb(), &tokens_[1]));
    EXPECT_EQ(USBD_STATUS_INVALID_PIPE_HANDLE, stale.urb()->UrbHeader.Status);
    EXPECT_EQ(1u, bus_.counters().invalid_pipe_handles);
    EXPECT_EQ(0u, completions_.count(&tokens_[1]));
}

TEST_F(HostControllerTest, IsochronousInNeverWritesPastTransferBufferLength)
{
    configure();
    const USBD_PIPE_INFORMATION pipe = data_pipe(kCaptureInterface);
    const ULONG mps = pipe.MaximumPacketSize;
    const ULONG length = 2 * mps + mps / 2; // packets 3..7 lie wholly past the end
    std::vector<std::uint8_t> buffer(8 * mps, 0xA5);
    auto in = make_iso(pipe, even_offsets(8, mps), buffer.data(), length,
                       USBD_START_ISO_TRANSFER_ASAP | USBD_TRANSFER_DIRECTION_IN);
    ASSERT_EQ(STATUS_PENDING, port_->submit(in.urb(), &tokens_[0]));
    bus_.advance(3);
    ASSERT_EQ(STATUS_SUCCESS, completions_.at(&tokens_[0]));
    const auto &iso = in.urb()->UrbIsochronousTransfer;
    ULONG total = 0;
    for (ULONG i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        EXPECT_LE(iso.IsoPacket[i].Offset + iso.IsoPacket[i].Length, std::max(length, iso.IsoPacket[i].Offset));
        if (i >= 3) {
            EXPECT_EQ(0u, iso.IsoPacket[i].Length);
        }
        total += iso.IsoPacket[i].Length;
    }
    EXPECT_GT(total, 0u);
    EXPECT_EQ(total, iso.TransferBufferLength);
    for (ULONG at = length; at < buffer.size(); ++at) {
        ASSERT_EQ(0xA5, buffer[at]) << "byte " << at << " written past the transfer buffer";
    }
}

TEST_F(HostControllerTest, ExplicitStartFramesMustLieAheadWithinTheRange)
{
    configure();
    const USBD_PIPE_INFORMATION pipe = data_pipe(kRenderInterface);
    std::vector<std::uint8_t> data(192);
    const ULONG now = bus_.current_frame();
    for (ULONG start : {now, now - 5, now + 1025}) {
        SCOPED_TRACE(start);
        auto late = make_iso(pipe, even_offsets(8, 24), data.data(), 192, 0, start);
        EXPECT_EQ(STATUS_UNSUCCESSFUL, port_->submit(late.urb(), &tokens_[0]));
        EXPECT_EQ(USBD_STATUS_BAD_START_FRAME, late.urb()->UrbHeader.Status);
    }
    EXPECT_EQ(3u, bus_.counters().bad_start_frames);
    EXPECT_TRUE(completions_.empty());

    auto ok = make_iso(pipe, even_offsets(8, 24), data.data(), 192, 0, now + 2);
    ASSERT_EQ(STATUS_PENDING, port_->submit(ok.urb(), &tokens_[1]));
    EXPECT_EQ(now + 2, ok.urb()->UrbIsochronousTransfer.StartFrame);
    bus_.advance(2);
    EXPECT_EQ(0u, completions_.count(&tokens_[1]));
    bus_.advance(1);
    EXPECT_EQ(STATUS_SUCCESS, completions_.at(&tokens_[1]));
}

TEST_F(HostControllerTest, OutPacketSizesComeFromTheOffsetsAndBadLayoutsFail)
{
    configure();
    const USBD_PIPE_INFORMATION pipe = data_pipe(kRenderInterface);
    const ULONG mps = pipe.MaximumPacketSize;
    std::vector<std::uint8_t> data(8 * mps);
    // Sizes 24, 28, 24, 24, 24, 24, 24 and the rest to the end (20); the Length fields are junk.
    auto out = make_iso(pipe, {0, 24, 52, 76, 100, 124, 148, 172}, data.data(), 192, USBD_START_ISO_TRANSFER_ASAP);
    ASSERT_EQ(STATUS_PENDING, port_->submit(out.urb(), &tokens_[0]));
    const auto before = device_->counters();
    bus_.advance(2);
    ASSERT_EQ(STATUS_SUCCESS, completions_.at(&tokens_[0]));
    EXPECT_EQ(192u, device_->counters().out_bytes - before.out_bytes);
    EXPECT_EQ(8u, device_->counters().out_packets - before.out_packets);

    struct layout {
        const char *name;
        std::vector<ULONG> offsets;
        ULONG length;
    } bad[] = {
        {"overlapping", {0, 24, 12, 36, 48, 60, 72, 84}, 96},
        {"past the buffer", {0, 24, 48, 72, 96, 120, 144, 300}, 192},
        {"larger than MaximumPacketSize", {0, mps + 4, mps + 8, mps + 12, mps + 16, mps + 20, mps + 24, mps + 28},
         mps + 32},
        {"packet count not a multiple of 8 at interval 1", {0, 24, 48, 72}, 96},
    };
    ULONG malformed = 0;
    for (auto &row : bad) {
        SCOPED_TRACE(row.name);
        auto urb = make_iso(pipe, row.offsets, data.data(), row.length, USBD_START_ISO_TRANSFER_ASAP);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, port_->submit(urb.urb(), &tokens_[1]));
        EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, urb.urb()->UrbHeader.Status);
        EXPECT_EQ(++malformed, bus_.counters().malformed_urbs);
    }
    auto short_urb = make_iso(pipe, even_offsets(8, 24), data.data(), 192, USBD_START_ISO_TRANSFER_ASAP);
    short_urb.urb()->UrbHeader.Length = (USHORT)(140 + 12 * 8 - 1);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, port_->submit(short_urb.urb(), &tokens_[1]));
    short_urb.urb()->UrbHeader.Length = (USHORT)(140 + 12 * 8);
    EXPECT_EQ(STATUS_PENDING, port_->submit(short_urb.urb(), &tokens_[2]));
    bus_.disconnect(port_); // finishes the pending transfer while its URB still exists
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, completions_.at(&tokens_[2]));
}

TEST_F(HostControllerTest, AsapFollowsThePipeScheduleAndAbortCancelsWhatIsPending)
{
    configure();
    const USBD_PIPE_INFORMATION pipe = data_pipe(kRenderInterface);
    std::vector<std::uint8_t> data(192);
    const ULONG now = bus_.current_frame();
    auto a = make_iso(pipe, even_offsets(8, 24), data.data(), 192, USBD_START_ISO_TRANSFER_ASAP);
    auto b = make_iso(pipe, even_offsets(16, 12), data.data(), 192, USBD_START_ISO_TRANSFER_ASAP);
    auto c = make_iso(pipe, even_offsets(8, 24), data.data(), 192, USBD_START_ISO_TRANSFER_ASAP);
    ASSERT_EQ(STATUS_PENDING, port_->submit(a.urb(), &tokens_[0]));
    ASSERT_EQ(STATUS_PENDING, port_->submit(b.urb(), &tokens_[1]));
    ASSERT_EQ(STATUS_PENDING, port_->submit(c.urb(), &tokens_[2]));
    EXPECT_EQ(now + 1, a.urb()->UrbIsochronousTransfer.StartFrame);
    EXPECT_EQ(now + 2, b.urb()->UrbIsochronousTransfer.StartFrame);
    EXPECT_EQ(now + 4, c.urb()->UrbIsochronousTransfer.StartFrame);
    bus_.advance(2);
    EXPECT_EQ(STATUS_SUCCESS, completions_.at(&tokens_[0]));
    EXPECT_EQ(0u, completions_.count(&tokens_[1]));

    URB abort{};
    abort.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    abort.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    abort.UrbPipeRequest.PipeHandle = pipe.PipeHandle;
    EXPECT_EQ(STATUS_SUCCESS, port_->submit(&abort, nullptr));
    EXPECT_EQ(STATUS_CANCELLED, completions_.at(&tokens_[1]));
    EXPECT_EQ(STATUS_CANCELLED, completions_.at(&tokens_[2]));
    EXPECT_EQ(USBD_STATUS_CANCELED, b.urb()->UrbHeader.Status);
    EXPECT_EQ(USBD_STATUS_CANCELED, c.urb()->UrbHeader.Status);
    EXPECT_TRUE(irql_ok_);

    // The aborted pipe is idle again: the next ASAP transfer starts one frame ahead.
    auto d = make_iso(pipe, even_offsets(8, 24), data.data(), 192, USBD_START_ISO_TRANSFER_ASAP);
    ASSERT_EQ(STATUS_PENDING, port_->submit(d.urb(), &tokens_[3]));
    EXPECT_EQ(bus_.current_frame() + 1, d.urb()->UrbIsochronousTransfer.StartFrame);
    bus_.disconnect(port_);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, completions_.at(&tokens_[3]));
}

TEST_F(HostControllerTest, ControlReadsHonourTheRequestedLengthAndStallsFail)
{
    std::uint8_t buffer[64];
    std::memset(buffer, 0xCC, sizeof(buffer));
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                 0, 0, buffer, nullptr, 9, nullptr);
    ASSERT_EQ(STATUS_SUCCESS, port_->submit(&urb, nullptr));
    EXPECT_EQ(9u, urb.UrbControlDescriptorRequest.TransferBufferLength);
    EXPECT_EQ(0xCC, buffer[9]);
    EXPECT_EQ(0, std::memcmp(buffer, device_->descriptors().configuration.data(), 9));

    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_STRING_DESCRIPTOR_TYPE, 0x77,
                                 0x0409, buffer, nullptr, sizeof(buffer), nullptr);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, port_->submit(&urb, nullptr));
    EXPECT_EQ(USBD_STATUS_STALL_PID, urb.UrbHeader.Status);
    EXPECT_EQ(0u, urb.UrbControlDescriptorRequest.TransferBufferLength);

    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) - 1, USB_DEVICE_DESCRIPTOR_TYPE,
                                 0, 0, buffer, nullptr, 18, nullptr);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, port_->submit(&urb, nullptr));
    EXPECT_EQ(1u, bus_.counters().malformed_urbs);
}

TEST_F(HostControllerTest, WholeTransferFaultsAndSurpriseRemoval)
{
    configure();
    const USBD_PIPE_INFORMATION pipe = data_pipe(kRenderInterface);
    std::vector<std::uint8_t> data(192);
    port_->fail_transfers(pipe.EndpointAddress, 1);
    auto failing = make_iso(pipe, even_offsets(8, 24), data.data(), 192, USBD_START_ISO_TRANSFER_ASAP);
    auto pending = make_iso(pipe, even_offsets(8, 24), data.data(), 192, USBD_START_ISO_TRANSFER_ASAP);
    ASSERT_EQ(STATUS_PENDING, port_->submit(failing.urb(), &tokens_[0]));
    ASSERT_EQ(STATUS_PENDING, port_->submit(pending.urb(), &tokens_[1]));
    bus_.advance(2);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, completions_.at(&tokens_[0]));
    EXPECT_EQ(USBD_STATUS_ISOCH_REQUEST_FAILED, failing.urb()->UrbHeader.Status);
    EXPECT_EQ(8u, failing.urb()->UrbIsochronousTransfer.ErrorCount);
    EXPECT_EQ(0u, completions_.count(&tokens_[1]));

    device_->surprise_remove();
    bus_.advance(1);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, completions_.at(&tokens_[1]));
    EXPECT_EQ(USBD_STATUS_DEVICE_GONE, pending.urb()->UrbHeader.Status);
    EXPECT_FALSE(port_->is_connected());
    auto late = make_iso(pipe, even_offsets(8, 24), data.data(), 192, USBD_START_ISO_TRANSFER_ASAP);
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, port_->submit(late.urb(), &tokens_[2]));
    EXPECT_EQ(USBD_STATUS_DEVICE_GONE, late.urb()->UrbHeader.Status);
}

class WrappingHostControllerTest : public HostControllerTest {
protected:
    WrappingHostControllerTest() : HostControllerTest(0xFFFFFF00u) {}
};

TEST_F(WrappingHostControllerTest, ExplicitStartFramesWrapAcrossZero)
{
    configure();
    const USBD_PIPE_INFORMATION pipe = data_pipe(kCaptureInterface);
    bus_.advance(0xFE);
    EXPECT_EQ(0xFFFFFFFEu, bus_.current_frame());
    std::vector<std::uint8_t> first(8 * pipe.MaximumPacketSize);
    auto in = make_iso(pipe, even_offsets(8, pipe.MaximumPacketSize), first.data(), (ULONG)first.size(),
                       USBD_TRANSFER_DIRECTION_IN, 3);
    ASSERT_EQ(STATUS_PENDING, port_->submit(in.urb(), &tokens_[0]));
    EXPECT_EQ(3u, in.urb()->UrbIsochronousTransfer.StartFrame);
    bus_.advance(6);
    EXPECT_EQ(4u, bus_.current_frame());
    ASSERT_EQ(STATUS_SUCCESS, completions_.at(&tokens_[0]));
    EXPECT_EQ(0u, bus_.counters().bad_start_frames);
}

} // namespace
