// libFuzzer target: the asynchronous driver's device channel against the stand-in adapter of its
// tests, driven by clients and by the engine as a sequence of operations from the input, in any
// channel state: up to three handles opened and closed, any control code with any buffer sizes
// and contents, READ and WRITE of any length and contents, their cancellation, capture packets
// and render reads of any length from the engine's side, a stream reset, the adapter's failures
// (reservation, DSD mode, start, mix) and removal at any point. The input's first bytes choose
// the device: its directions, DSD support, formats by rate, transfer lengths and whether
// requests reach their buffers buffered or direct.
//
// Every completion is checked as the protocol states it (control codes never pend, Information
// never beyond the buffer and 0 on failure), and every input must end, once its handles are
// closed, with every request completed, the device free, no reservation, run or adapter
// reference held and no pool left behind.
#include <atomic>
#include <memory>
#include <vector>
#include <platform/io_driver.h>
#include <platform/machine_state.h>
#include <platform/pool.h>
#include <platform/thread.h>
#include <platform/user_io.h>
#include "AsyncPoolTags.h"
#include "DeviceChannelTestAdapter.h"
#include "DeviceChannelTestRouter.h"
#include "FuzzInput.h"
#include "FuzzProcess.h"

namespace {

using usbaudio_test::count_of;
using usbaudio_test::fuzz_input;

constexpr ULONG MAX_HANDLES = 3;
constexpr ULONG MAX_OPERATIONS = 48;
constexpr ULONG BUFFER_LIMIT = 4096;
constexpr ULONG CONTROL_LIMIT = 64;

const ULONG CODES[] = {
    IOCTL_QELASIO_GET_RATE_RANGE, IOCTL_QELASIO_GET_RATE_CAPS,   IOCTL_QELASIO_GET_SAMPLE_RATE,
    IOCTL_QELASIO_SET_SAMPLE_RATE, IOCTL_QELASIO_GET_DSD_SUPPORT, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x805, METHOD_BUFFERED, FILE_ANY_ACCESS),
    IOCTL_QELASIO_ACQUIRE,         IOCTL_QELASIO_PREPARE,         IOCTL_QELASIO_START,
    IOCTL_QELASIO_STOP,            IOCTL_QELASIO_UNPREPARE,       IOCTL_QELASIO_RELEASE,
    IOCTL_QELASIO_GET_CAPTURE_TRANSFER_MS, IOCTL_QELASIO_PING,    IOCTL_QELASIO_GET_STREAM_RESET,
    IOCTL_QELASIO_START_CAPTURE,   IOCTL_QELASIO_GET_POSITION,    IOCTL_QELASIO_SET_POSITION,
};
const ULONG RATES[] = {32000, 44100, 48000, 88200, 96000, 176400, 192000, 384000, 768000};
const ULONG BITS[] = {0, 8, 16, 24, 32, 64};
const NTSTATUS FAILURES[] = {STATUS_SUCCESS, STATUS_DEVICE_BUSY, STATUS_INSUFFICIENT_RESOURCES, STATUS_NOT_SUPPORTED,
                             STATUS_UNSUCCESSFUL};
const ULONG FRAMES[] = {0, 1, 2, 3, 63, 64, 65, 256, 1024};

constexpr const char *TARGET = "asyncdrv_channel_fuzz";

// One READ or WRITE in flight or done, with its buffer.
struct transfer {
    std::vector<UCHAR> buffer;
    std::atomic<bool> done{false};
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::atomic<ULONG_PTR> information{0};
};

// The test device the channel's requests reach, routed to the adapter of the current input.
struct channel_bench {
    channel_bench()
    {
        platform::machine_boot();
        driver = platform::io_create_driver_object(L"ovmchanfuzz", "");
        channel_test::route_to_channel(driver, &adapter);
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, L"\\Device\\OvmChannelFuzz");
        if (!NT_SUCCESS(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device))) {
            usbaudio_test::fuzz_stop(TARGET, "no test device");
        }
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    ~channel_bench()
    {
        IoDeleteDevice(device);
        platform::io_discard_driver_object(driver);
        platform::machine_shutdown();
    }

    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    channel_test::test_adapter *adapter = nullptr;
};

// The device of one input.
void configure(channel_test::test_adapter &adapter, PDEVICE_OBJECT device, fuzz_input &input)
{
    std::uint8_t flags = input.byte();
    adapter.has_capture = (flags & 1) == 0;
    adapter.has_render = (flags & 2) == 0;
    adapter.dsd_native = (flags & 4) != 0;
    device->Flags &= ~(DO_BUFFERED_IO | DO_DIRECT_IO);
    device->Flags |= (flags & 8) != 0 ? DO_BUFFERED_IO : DO_DIRECT_IO;
    if ((flags & 0x10) != 0) {
        adapter.formats.clear();
        for (std::uint32_t n = input.choice(4) + 1; n != 0; --n) {
            channel_test::direction_format render{input.choice(9), BITS[input.choice(count_of(BITS))]};
            channel_test::direction_format capture{input.choice(9), BITS[input.choice(count_of(BITS))]};
            adapter.formats[RATES[input.choice(count_of(RATES))]] = {render, capture};
        }
        adapter.rate = adapter.formats.begin()->first;
    }
    adapter.render_ms = 1 + input.choice(16);
    adapter.capture_ms = 1 + input.choice(4);
}

void check_control(ULONG code, NTSTATUS status, ULONG_PTR information, ULONG out)
{
    if (status == STATUS_PENDING) {
        usbaudio_test::fuzz_stop(TARGET, "control code %08lx pended", static_cast<unsigned long>(code));
    }
    if (information > out || (NT_ERROR(status) && information != 0)) {
        usbaudio_test::fuzz_stop(TARGET, "control code %08lx answered %08lx with Information %lu", static_cast<unsigned long>(code),
             static_cast<unsigned long>(status), static_cast<unsigned long>(information));
    }
}

void control(platform::user_file *file, ULONG code, const std::vector<UCHAR> &in, ULONG out)
{
    std::vector<UCHAR> output(out, 0xA5);
    NTSTATUS answered = STATUS_PENDING;
    ULONG_PTR information = 0;
    bool done = false;
    NTSTATUS returned = platform::user_io_ioctl(
        file, code, in.empty() ? nullptr : in.data(), static_cast<ULONG>(in.size()), out != 0 ? output.data() : nullptr,
        out, [&](NTSTATUS status, ULONG_PTR info) {
            answered = status;
            information = info;
            done = true;
        });
    if (!done || returned != answered) {
        usbaudio_test::fuzz_stop(TARGET, "control code %08lx did not complete at once (%08lx)", static_cast<unsigned long>(code),
             static_cast<unsigned long>(returned));
    }
    check_control(code, answered, information, out);
}

std::vector<UCHAR> prepare_request(fuzz_input &input)
{
    QELASIO_PREPARE_REQUEST request{};
    std::uint32_t frames = input.choice(count_of(FRAMES) + 1);
    request.BufferFrames = frames < count_of(FRAMES) ? FRAMES[frames] : input.number();
    request.CaptureEnable = input.flag() ? 1 : 0;
    request.RenderEnable = input.flag() ? 1 : (input.flag() ? input.number() : 0);
    request.PrefillPercent = input.number();
    std::uint32_t mode = input.choice(3);
    request.Mode = static_cast<USHORT>(mode < 2 ? mode : input.u16());
    const UCHAR *bytes = reinterpret_cast<const UCHAR *>(&request);
    return std::vector<UCHAR>(bytes, bytes + sizeof(request));
}

class channel_run {
public:
    explicit channel_run(channel_bench &bench) : bench_(bench) {}

    void operate(fuzz_input &input)
    {
        switch (input.choice(13)) {
        case 0:
            open(input);
            break;
        case 1:
            if (platform::user_file *file = pick(input)) {
                close(file);
            }
            break;
        case 2:
        case 3:
            if (platform::user_file *file = pick(input)) {
                std::uint32_t pick = input.choice(count_of(CODES) + 1);
                ULONG code = pick < count_of(CODES) ? CODES[pick] : input.u32();
                std::vector<UCHAR> in = input.bytes(input.size(CONTROL_LIMIT));
                control(file, code, in, input.size(CONTROL_LIMIT));
            }
            break;
        case 4:
            if (platform::user_file *file = pick(input)) {
                std::vector<UCHAR> request = prepare_request(input);
                request.resize(input.choice(4) != 0 ? request.size() : input.size(static_cast<ULONG>(request.size())));
                control(file, IOCTL_QELASIO_PREPARE, request, 0);
            }
            break;
        case 5:
            if (platform::user_file *file = pick(input)) {
                transfer &read = add_transfer(std::vector<UCHAR>(input.size(BUFFER_LIMIT), 0xEE));
                platform::user_io_read(file, read.buffer.empty() ? nullptr : read.buffer.data(),
                                       static_cast<ULONG>(read.buffer.size()), completion(read));
            }
            break;
        case 6:
            if (platform::user_file *file = pick(input)) {
                transfer &write = add_transfer(input.bytes(input.size(BUFFER_LIMIT)));
                platform::user_io_write(file, write.buffer.empty() ? nullptr : write.buffer.data(),
                                        static_cast<ULONG>(write.buffer.size()), completion(write));
            }
            break;
        case 7: {
            std::vector<UCHAR> packet = input.bytes(input.size(BUFFER_LIMIT));
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            bench_.adapter->channel.CapturePacket(packet.empty() ? nullptr : packet.data(),
                                                  static_cast<ULONG>(packet.size()));
            KeLowerIrql(old);
            break;
        }
        case 8: {
            std::vector<UCHAR> destination(input.size(BUFFER_LIMIT), 0xEE);
            bool partial = input.flag();
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ULONG delivered = bench_.adapter->channel.ReadRender(destination.empty() ? nullptr : destination.data(),
                                                                 static_cast<ULONG>(destination.size()), partial);
            bench_.adapter->channel.RenderConsumed();
            KeLowerIrql(old);
            if (delivered > destination.size()) {
                usbaudio_test::fuzz_stop(TARGET, "a render read of %zu bytes delivered %lu", destination.size(), static_cast<unsigned long>(delivered));
            }
            break;
        }
        case 9:
            bench_.adapter->channel.RaiseStreamReset();
            break;
        case 10: {
            channel_test::test_adapter &adapter = *bench_.adapter;
            NTSTATUS *results[] = {&adapter.reserve_result, &adapter.dsd_result, &adapter.start_result,
                                   &adapter.mix_result};
            *results[input.choice(count_of(results))] = FAILURES[input.choice(count_of(FAILURES))];
            break;
        }
        case 11:
            if (platform::user_file *file = pick(input)) {
                platform::user_io_cancel(file, platform::current_thread());
            }
            break;
        default:
            if (input.choice(4) == 0 && !removed_) {
                bench_.adapter->PrepareRemoval();
                removed_ = true;
            }
            break;
        }
    }

    // Closes every handle and checks what the input left.
    void finish()
    {
        while (!files_.empty()) {
            close(files_.back());
        }
        channel_test::test_adapter &adapter = *bench_.adapter;
        for (const std::unique_ptr<transfer> &request : transfers_) {
            if (!request->done) {
                usbaudio_test::fuzz_stop(TARGET, "a READ or WRITE of %zu bytes was still pending after its handle was closed",
                     request->buffer.size());
            }
            if (request->information > request->buffer.size() ||
                (NT_ERROR(request->status) && request->information != 0)) {
                usbaudio_test::fuzz_stop(TARGET, "a READ or WRITE of %zu bytes ended %08lx with Information %lu", request->buffer.size(),
                     static_cast<unsigned long>(request->status.load()),
                     static_cast<unsigned long>(request->information.load()));
            }
        }
        if (adapter.references != 1 || (!removed_ && adapter.channel.OwnerFlag() != 0) ||
            adapter.capture_users != 0 || adapter.render_users != 0) {
            usbaudio_test::fuzz_stop(TARGET, "after the last close: %lu adapter references, owner %lu, %lu reservations",
                 static_cast<unsigned long>(adapter.references.load()),
                 static_cast<unsigned long>(adapter.channel.OwnerFlag()),
                 static_cast<unsigned long>(adapter.capture_users + adapter.render_users));
        }
        if (adapter.capture_runs != 0 || adapter.render_runs != 0 || adapter.mix_started) {
            usbaudio_test::fuzz_stop(TARGET, "after the last close: capture runs %lu, render runs %lu, mix %lu",
                 static_cast<unsigned long>(adapter.capture_runs), static_cast<unsigned long>(adapter.render_runs),
                 adapter.mix_started ? 1ul : 0ul);
        }
    }

private:
    void open(fuzz_input &input)
    {
        const WCHAR *path = input.choice(8) != 0 ? L"\\Device\\OvmChannelFuzz\\asio" : L"\\Device\\OvmChannelFuzz\\wave";
        platform::user_file *file = nullptr;
        if (files_.size() < MAX_HANDLES &&
            NT_SUCCESS(platform::user_io_open(path, GENERIC_READ | GENERIC_WRITE, &file))) {
            files_.push_back(file);
        }
    }

    platform::user_file *pick(fuzz_input &input)
    {
        return files_.empty() ? nullptr : files_[input.choice(static_cast<std::uint32_t>(files_.size()))];
    }

    void close(platform::user_file *file)
    {
        std::erase(files_, file);
        platform::user_io_close(file);
    }

    transfer &add_transfer(std::vector<UCHAR> buffer)
    {
        transfers_.push_back(std::make_unique<transfer>());
        transfers_.back()->buffer = std::move(buffer);
        return *transfers_.back();
    }

    static platform::io_completion completion(transfer &request)
    {
        return [&request](NTSTATUS status, ULONG_PTR information) {
            request.status = status;
            request.information = information;
            request.done = true;
        };
    }

    channel_bench &bench_;
    std::vector<platform::user_file *> files_;
    std::vector<std::unique_ptr<transfer>> transfers_;
    bool removed_ = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    channel_bench &b = usbaudio_test::fuzz_bench<channel_bench>();
    fuzz_input input(data, size);
    b.adapter = new channel_test::test_adapter;
    b.adapter->device = b.device;
    configure(*b.adapter, b.device, input);
    b.adapter->channel.Init(b.adapter);
    {
        channel_run run(b);
        for (ULONG op = 0; op < MAX_OPERATIONS && !input.empty(); ++op) {
            run.operate(input);
        }
        run.finish();
    }
    delete b.adapter;
    b.adapter = nullptr;
    if (platform::pool_outstanding_blocks(ASYNC_TAG) != 0) {
        usbaudio_test::fuzz_stop(TARGET, "pool left behind: %lu blocks of the driver's tag",
             static_cast<unsigned long>(platform::pool_outstanding_blocks(ASYNC_TAG)));
    }
    usbaudio_test::fuzz_check_thread(TARGET);
    return 0;
}
