// The USB device layer: control request checks, pipe reset, isochronous IN submission and
// completion (packet counts, compaction, frame counts, the capture packet check).
#include "UsbAudioTestFixture.h"
#include <cstring>
#include <dlfcn.h>
#include <platform/io_driver.h>
#include "PacketPatternTable.h"

namespace usbaudio_test {
namespace {

struct completion_log {
    int calls = 0;
    NTSTATUS status = STATUS_PENDING;
    ULONG bytes = 0;
    ULONG start_frame = 0;
    ULONG frames = 0;
    KIRQL irql = PASSIVE_LEVEL;
};

VOID record_completion(NTSTATUS status, ULONG bytes, ULONG startFrame, PVOID context, ULONG frames)
{
    auto *log = static_cast<completion_log *>(context);
    ++log->calls;
    log->status = status;
    log->bytes = bytes;
    log->start_frame = startFrame;
    log->frames = frames;
    log->irql = KeGetCurrentIrql();
}

class UsbClTest : public UsbAudioTest {
protected:
    void SetUp() override
    {
        UsbAudioTest::SetUp();
        start_configured(uac2_config(), true);
    }

    USBD_PIPE_INFORMATION iso_pipe(USHORT max_packet, UCHAR interval)
    {
        USBD_PIPE_INFORMATION pipe = {};
        pipe.MaximumPacketSize = max_packet;
        pipe.EndpointAddress = 0x82;
        pipe.Interval = interval;
        pipe.PipeType = UsbdPipeTypeIsochronous;
        pipe.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(0x42);
        return pipe;
    }

    ULONG submitted_packets = 0;
};

TEST_F(UsbClTest, ControlRequestRefusesStandardReservedAndBadRecipients)
{
    UCHAR buffer[4] = {};
    lower->controls.clear();
    EXPECT_EQ(audio->ControlRequest(0x80, 6, 0x0100, 0, 4, buffer), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(audio->ControlRequest(0xE1, 1, 0, 0, 4, buffer), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(audio->ControlRequest(0xA4, 1, 0, 0, 4, buffer), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(audio->ControlRequest(0x21, 1, 0, 0, 4, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(lower->controls.empty());
    lower->answer(0x05, 0x1234, 0x0003, {7, 8});
    ULONG returned = 99;
    EXPECT_EQ(audio->ControlRequest(0xC3, 0x05, 0x1234, 0x0003, 4, buffer, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 2u);
    EXPECT_EQ(buffer[1], 8);
    EXPECT_EQ(lower->controls.back().request_type, 0xC3);
}

TEST_F(UsbClTest, ResetPipeChecksPipeAndIrql)
{
    USBD_PIPE_INFORMATION pipe = iso_pipe(192, 1);
    EXPECT_EQ(audio->ResetPipe(&pipe), STATUS_SUCCESS);
    EXPECT_EQ(audio->ResetPipe(nullptr), STATUS_INVALID_PARAMETER);
    pipe.PipeHandle = nullptr;
    EXPECT_EQ(audio->ResetPipe(&pipe), STATUS_INVALID_PARAMETER);
    pipe.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(0x42);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS status = audio->ResetPipe(&pipe);
    KeLowerIrql(old);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
}

TEST_F(UsbClTest, IsochInPacketCountFollowsTheHighSpeedInterval)
{
    lower->on_transfer = [this](PURB urb) {
        submitted_packets = urb->UrbIsochronousTransfer.NumberOfPackets;
        EXPECT_EQ(urb->UrbIsochronousTransfer.TransferFlags, 5u);
        EXPECT_EQ(urb->UrbHeader.Length, 152u + 12u * submitted_packets);
        return STATUS_SUCCESS;
    };
    static std::vector<UCHAR> buffer(64 * 1024);
    struct row {
        UCHAR interval;
        ULONG packets;
    };
    for (row r : {row{1, 8}, row{3, 6}, row{5, 6}, row{0, 8}}) {
        SCOPED_TRACE(static_cast<int>(r.interval));
        USBD_PIPE_INFORMATION pipe = iso_pipe(192, r.interval);
        completion_log log;
        ASSERT_EQ(audio->SubmitIsochIn(&pipe, buffer.data(), 1000, record_completion, &log, 0), STATUS_SUCCESS);
        EXPECT_EQ(submitted_packets, r.packets);
        EXPECT_EQ(log.calls, 1);
    }
}

TEST_F(UsbClTest, IsochInRefusesWhatAPooledUrbCannotHold)
{
    int transfers = 0;
    lower->on_transfer = [&transfers](PURB) {
        ++transfers;
        return STATUS_SUCCESS;
    };
    static std::vector<UCHAR> buffer(64 * 1024);
    completion_log log;
    USBD_PIPE_INFORMATION pipe = iso_pipe(100, 1);
    EXPECT_EQ(audio->SubmitIsochIn(&pipe, buffer.data(), 6401, record_completion, &log, 0), STATUS_INVALID_PARAMETER);
    pipe.MaximumPacketSize = 0;
    EXPECT_EQ(audio->SubmitIsochIn(&pipe, buffer.data(), 100, record_completion, &log, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(transfers, 0);
    EXPECT_EQ(log.calls, 0);
    pipe.MaximumPacketSize = 100;
    EXPECT_EQ(audio->SubmitIsochIn(&pipe, buffer.data(), 6400, record_completion, &log, 0), STATUS_SUCCESS);
    EXPECT_EQ(transfers, 1);
}

TEST_F(UsbClTest, ReceivedPacketsAreMadeContiguous)
{
    audio->m_pCapture->MinimumPacketBytes = 0;
    audio->m_pCapture->MaximumPacketBytes = 192;
    lower->on_transfer = [](PURB urb) {
        auto &t = urb->UrbIsochronousTransfer;
        auto *data = static_cast<UCHAR *>(t.TransferBuffer);
        const ULONG lengths[3] = {100, 0, 96};
        for (ULONG i = 0; i < t.NumberOfPackets; ++i) {
            t.IsoPacket[i].Length = i < 3 ? lengths[i] : 0;
            std::memset(data + t.IsoPacket[i].Offset, static_cast<int>(i + 1), t.IsoPacket[i].Length);
        }
        // As a host controller does: the length now counts the bytes received, while the
        // third packet still lies at offset 384.
        t.TransferBufferLength = 196;
        t.StartFrame = 77;
        return STATUS_SUCCESS;
    };
    std::vector<UCHAR> buffer(8 * 192, 0xEE);
    USBD_PIPE_INFORMATION pipe = iso_pipe(192, 1);
    completion_log log;
    ASSERT_EQ(audio->SubmitIsochIn(&pipe, buffer.data(), static_cast<ULONG>(buffer.size()), record_completion, &log, 0),
              STATUS_SUCCESS);
    ASSERT_EQ(log.calls, 1);
    EXPECT_EQ(log.status, STATUS_SUCCESS);
    EXPECT_EQ(log.bytes, 196u);
    EXPECT_EQ(log.start_frame, 77u);
    EXPECT_EQ(log.frames, 1u); // 8 microframes at interval 1
    EXPECT_EQ(log.irql, DISPATCH_LEVEL);
    EXPECT_EQ(buffer[99], 1);
    EXPECT_EQ(buffer[100], 3);
    EXPECT_EQ(buffer[195], 3);
}

TEST_F(UsbClTest, CapturePacketsOutsideTheWindowFailTheTransferButKeepTheBytes)
{
    audio->m_pCapture->MinimumPacketBytes = 20;
    audio->m_pCapture->MaximumPacketBytes = 28;
    ULONG first_length = 0;
    lower->on_transfer = [&first_length](PURB urb) {
        auto &t = urb->UrbIsochronousTransfer;
        for (ULONG i = 0; i < t.NumberOfPackets; ++i) {
            t.IsoPacket[i].Length = i == 0 ? first_length : 24;
        }
        return STATUS_SUCCESS;
    };
    std::vector<UCHAR> buffer(8 * 28);
    USBD_PIPE_INFORMATION pipe = iso_pipe(28, 1);
    for (ULONG length : {24u, 0u, 29u}) {
        SCOPED_TRACE(length);
        first_length = length;
        completion_log log;
        ASSERT_EQ(audio->SubmitIsochIn(&pipe, buffer.data(), static_cast<ULONG>(buffer.size()), record_completion, &log,
                                       0),
                  STATUS_SUCCESS);
        EXPECT_EQ(log.status, length == 24 ? STATUS_SUCCESS : STATUS_UNEXPECTED_IO_ERROR);
        EXPECT_EQ(log.bytes, length + 7 * 24);
    }
}

TEST_F(UsbClTest, FailedTransferReportsNoBytes)
{
    lower->on_transfer = [](PURB urb) {
        urb->UrbHeader.Status = USBD_STATUS_BAD_START_FRAME;
        return STATUS_UNSUCCESSFUL;
    };
    std::vector<UCHAR> buffer(8 * 192);
    USBD_PIPE_INFORMATION pipe = iso_pipe(192, 1);
    completion_log log;
    ASSERT_EQ(audio->SubmitIsochIn(&pipe, buffer.data(), static_cast<ULONG>(buffer.size()), record_completion, &log, 5),
              STATUS_SUCCESS);
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(log.bytes, 0u);
    EXPECT_EQ(log.start_frame, 0u);
}

TEST_F(UsbClTest, TransferFrameCount)
{
    USBD_PIPE_INFORMATION pipe = iso_pipe(192, 1);
    EXPECT_EQ(audio->GetTransferFrameCount(8, &pipe), 1u);
    EXPECT_EQ(audio->GetTransferFrameCount(9, &pipe), 2u);
    pipe.Interval = 4;
    EXPECT_EQ(audio->GetTransferFrameCount(8, &pipe), 8u);
    pipe.Interval = 0;
    EXPECT_EQ(audio->GetTransferFrameCount(8, &pipe), 1u);
    EXPECT_EQ(audio->GetTransferFrameCount(8, nullptr), 0u);
    pipe.PipeType = UsbdPipeTypeBulk;
    EXPECT_EQ(audio->GetTransferFrameCount(8, &pipe), 0u);
}

TEST_F(UsbClTest, BulkInUsesAnUnpooledUrb)
{
    lower->on_transfer = [](PURB urb) {
        EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
        EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferFlags, 7u);
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 10;
        return STATUS_SUCCESS;
    };
    USBD_PIPE_INFORMATION pipe = iso_pipe(64, 1);
    pipe.PipeType = UsbdPipeTypeBulk;
    std::vector<UCHAR> buffer(64);
    completion_log log;
    ASSERT_EQ(audio->SubmitIsochIn(&pipe, buffer.data(), 64, record_completion, &log, 0), STATUS_SUCCESS);
    EXPECT_EQ(log.bytes, 10u);
    EXPECT_EQ(log.frames, 0u);
}

// The I/O manager counts IRPs by the module whose code allocated them: the one holding the
// library.
std::string library_module()
{
    Dl_info info{};
    dladdr(reinterpret_cast<void *>(&FindPacketPatternRow), &info);
    return info.dli_fname != nullptr ? info.dli_fname : "";
}

TEST_F(UsbAudioTest, IrpPoolIsPreallocatedAndFreed)
{
    make_device(uac2_config(), true);
    ASSERT_EQ(audio->Start(lower->pdo(), 0), STATUS_SUCCESS);
    EXPECT_EQ(platform::io_live_irps(library_module()), 10u);
    ASSERT_EQ(audio->Start(lower->pdo(), USB_AUDIO_IRP_COUNT), STATUS_SUCCESS);
    EXPECT_EQ(platform::io_live_irps(library_module()), USB_AUDIO_IRP_COUNT);
    audio.reset();
    EXPECT_EQ(platform::io_live_irps(library_module()), 0u);
}

} // namespace
} // namespace usbaudio_test
