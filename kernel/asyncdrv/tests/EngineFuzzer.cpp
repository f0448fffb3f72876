// libFuzzer target: the feedback and capture packets the asynchronous driver's streaming engine
// decodes, from the input (FuzzPackets.h), while everything that consumes them runs: on each of
// two devices (one pacing render by implicit feedback, one by its explicit feedback endpoint)
// the device channel streams both ways as an ASIO client drives it (two READs kept pended, a
// WRITE per completed READ, a restart when the stream must be reset) and the audio engine's
// WaveRT capture and render pins run beside it. The bus runs in step mode, frame by frame with
// the engines' threads settled after each, for at most 6 frames while the input lasts and two
// frames of the models' own packets after it; a recovery an input started may go on into the
// next. The streams stay up from input to input; the drivers are stopped and unloaded with
// their checks when the run ends.
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>
#include <ksmedia.h>
#include <platform/user_io.h>
#include <sim/audio_engine.h>
#include "AdapterCommon.h"
#include "AsyncDriver.h"
#include "FuzzInput.h"
#include "FuzzMachine.h"
#include "FuzzPackets.h"
#include "FuzzProcess.h"

namespace {

using usbaudio_test::fuzz_input;

constexpr ULONG BUFFER_FRAMES = 64;
constexpr ULONG READS_PENDED = 2;
constexpr ULONG MAX_SCRIPTED_FRAMES = 6;
constexpr ULONG HEALTHY_FRAMES = 2;
// A recovery that waits for captured data (implicit feedback measuring again) counts as the
// engine's own work but needs the bus to move: the wait for the engine is kept short.
constexpr auto SETTLE_LIMIT = std::chrono::milliseconds(2);
constexpr auto STOP_LIMIT = std::chrono::seconds(2);

constexpr const char *TARGET = "ovmlsaau_engine_fuzz";

[[noreturn]] void stop(const char *what, NTSTATUS status)
{
    usbaudio_test::fuzz_stop(TARGET, "%s (%08x)", what, static_cast<unsigned>(status));
}

struct request {
    std::vector<UCHAR> buffer;
    std::atomic<bool> done{true};
    std::atomic<NTSTATUS> status{STATUS_SUCCESS};
    std::atomic<ULONG_PTR> information{0};
};

// One device with its ASIO client and its WaveRT pins, streaming from start to teardown.
class device_streams {
public:
    device_streams(usbaudio_test::fuzz_machine &machine, usbaudio_test::fuzz_attached &attached,
                   const std::function<void()> &settle)
        : machine_(machine), attached_(attached), settle_(settle), packets_(*attached.device, {0x81, 0x82})
    {
        if (!NT_SUCCESS(attached.status)) {
            stop("the driver did not start", attached.status);
        }
        adapter_ = static_cast<CAdapterCommon *>(AsyncExtension(attached.pdo->AttachedDevice)->Adapter);
        open_channel();
        open_pins();
    }

    // With the bus running: stopping waits for the transfers in flight.
    void close()
    {
        pins_.clear();
        filter_.reset();
        control(IOCTL_QELASIO_STOP);
        control(IOCTL_QELASIO_UNPREPARE);
        control(IOCTL_QELASIO_RELEASE);
        platform::user_io_close(channel_);
    }

    CAdapterCommon &adapter() const { return *adapter_; }
    usbaudio_test::fuzz_packets &packets() { return packets_; }

    // As an ASIO client after each frame: a completed READ is answered with a WRITE and pended
    // again; a stream that must be reset, or a channel that did not start, is stopped and
    // started again.
    void serve_client()
    {
        bool restart = !running_;
        for (auto &read : reads_) {
            if (!running_ || !read->done) {
                continue;
            }
            if (!NT_SUCCESS(read->status)) {
                restart = true;
                continue;
            }
            if (read->information != read_bytes_) {
                stop("a READ completed short", static_cast<NTSTATUS>(read->information));
            }
            // A duplex channel takes a WRITE at once.
            platform::user_io_write(channel_, render_.data(), write_bytes_, [](NTSTATUS, ULONG_PTR) {});
            pend(*read);
        }
        if (!restart) {
            return;
        }
        if (running_) {
            control(IOCTL_QELASIO_STOP);
            // An engine recovery on its own thread may be completing the READs it cancelled.
            auto until = std::chrono::steady_clock::now() + STOP_LIMIT;
            for (auto &read : reads_) {
                while (!read->done && std::chrono::steady_clock::now() < until) {
                    std::this_thread::yield();
                }
                if (!read->done) {
                    stop("a READ stayed pended after STOP", read->status);
                }
            }
        }
        start_channel();
    }

private:
    NTSTATUS control(ULONG code, const void *in = nullptr, ULONG in_length = 0)
    {
        NTSTATUS answered = STATUS_PENDING;
        platform::user_io_ioctl(channel_, code, in, in_length, nullptr, 0,
                                [&answered](NTSTATUS status, ULONG_PTR) { answered = status; });
        return answered;
    }

    void open_channel()
    {
        std::wstring path = usbaudio_test::fuzz_machine::audio_path(attached_.pdo);
        std::wstring lower;
        for (WCHAR c : path) {
            lower.push_back(c >= L'A' && c <= L'Z' ? static_cast<WCHAR>(c - L'A' + L'a') : c);
        }
        path = path.substr(0, lower.rfind(L"\\wave")) + QELASIO_CHANNEL_FILE_NAME;
        NTSTATUS status = platform::user_io_open(path.c_str(), GENERIC_READ | GENERIC_WRITE, &channel_);
        if (!NT_SUCCESS(status)) {
            stop("the device channel did not open", status);
        }
        QELASIO_PREPARE_REQUEST prepare{BUFFER_FRAMES, 1, 1, 50, QELASIO_MODE_PCM};
        if (!NT_SUCCESS(status = control(IOCTL_QELASIO_ACQUIRE)) ||
            !NT_SUCCESS(status = control(IOCTL_QELASIO_PREPARE, &prepare, sizeof(prepare)))) {
            stop("the device channel was not prepared", status);
        }
        QELASIO_RATE_CAPS caps{44100, 0, 0, 0, 0};
        platform::user_io_ioctl(channel_, IOCTL_QELASIO_GET_RATE_CAPS, &caps, sizeof(caps), &caps, sizeof(caps),
                                [](NTSTATUS, ULONG_PTR) {});
        read_bytes_ = BUFFER_FRAMES * caps.CaptureChannels * caps.CaptureBits / 8;
        write_bytes_ = BUFFER_FRAMES * caps.RenderChannels * caps.RenderBits / 8;
        render_.assign(write_bytes_, 0x5A);
        for (auto &read : reads_) {
            read = std::make_unique<request>();
        }
        start_channel();
    }

    // START (the engine waits for its first completions), START_CAPTURE and the READs.
    void start_channel()
    {
        if (!NT_SUCCESS(machine_.while_pumping([this] { return control(IOCTL_QELASIO_START); }, settle_))) {
            running_ = false;
            return;
        }
        running_ = true;
        control(IOCTL_QELASIO_START_CAPTURE);
        for (auto &read : reads_) {
            pend(*read);
        }
    }

    void pend(request &read)
    {
        read.buffer.assign(read_bytes_, 0);
        read.done = false;
        platform::user_io_read(channel_, read.buffer.data(), read_bytes_, [&read](NTSTATUS status, ULONG_PTR info) {
            read.status = status;
            read.information = info;
            read.done = true;
        });
    }

    void open_pins()
    {
        NTSTATUS status =
            sim::wavert_filter::open(usbaudio_test::fuzz_machine::audio_path(attached_.pdo), &filter_);
        if (!NT_SUCCESS(status)) {
            stop("the filter did not open", status);
        }
        ULONG count = 0;
        filter_->pin_count(&count);
        for (ULONG pin = 0; pin < count; ++pin) {
            KSPIN_COMMUNICATION communication{};
            std::vector<UCHAR> format;
            sim::ks_result probe;
            std::unique_ptr<sim::wavert_pin> created;
            if (!NT_SUCCESS(filter_->pin_communication(pin, &communication)) ||
                communication != KSPIN_COMMUNICATION_SINK ||
                !NT_SUCCESS(filter_->intersect(pin, sim::pcm_data_range(2, 16, 44100), &format, &probe)) ||
                !NT_SUCCESS(filter_->create_pin(pin, format, &created)) ||
                !NT_SUCCESS(created->allocate_buffer(4410 * 4, 2)) || !NT_SUCCESS(created->set_state(KSSTATE_ACQUIRE)) ||
                !NT_SUCCESS(machine_.while_pumping([&] { return created->set_state(KSSTATE_PAUSE); }, settle_)) ||
                !NT_SUCCESS(created->set_state(KSSTATE_RUN))) {
                continue;
            }
            pins_.push_back(std::move(created));
        }
        if (pins_.size() != 2) {
            stop("the WaveRT pins did not start", static_cast<NTSTATUS>(pins_.size()));
        }
    }

    usbaudio_test::fuzz_machine &machine_;
    usbaudio_test::fuzz_attached &attached_;
    const std::function<void()> &settle_;
    usbaudio_test::fuzz_packets packets_;
    CAdapterCommon *adapter_ = nullptr;
    platform::user_file *channel_ = nullptr;
    ULONG read_bytes_ = 0;
    ULONG write_bytes_ = 0;
    std::vector<UCHAR> render_;
    bool running_ = false;
    std::unique_ptr<request> reads_[READS_PENDED];
    std::unique_ptr<sim::wavert_filter> filter_;
    std::vector<std::unique_ptr<sim::wavert_pin>> pins_;
};

// The two pacings the engine has for a duplex device: implicit feedback (capture and render on
// one clock) and explicit feedback (each on a clock of its own, render sized by the feedback
// endpoint). The input's first byte picks the device whose packets it scripts.
class engine_bench {
public:
    engine_bench() : machine_(sim::bus_drive::step)
    {
        settle_ = [this] { settle(); };
        sim::uac2_options separate;
        separate.separate_clocks = true;
        separate.serial = u"OVM0002";
        for (const sim::uac2_options &descriptors : {sim::uac2_options{}, separate}) {
            usbaudio_test::fuzz_attached &attached = machine_.attach(sim::build_uac2_device(descriptors), {});
            streams_.push_back(std::make_unique<device_streams>(machine_, attached, settle_));
        }
    }

    ~engine_bench()
    {
        machine_.while_pumping(
            [this] {
                for (auto &streams : streams_) {
                    streams->close();
                }
                return STATUS_SUCCESS;
            },
            settle_);
    }

    void run(fuzz_input &input)
    {
        device_streams &scripted = *streams_[input.choice(static_cast<std::uint32_t>(streams_.size()))];
        scripted.packets().run(input, MAX_SCRIPTED_FRAMES, HEALTHY_FRAMES, [this] { step(); });
    }

private:
    // One bus frame, then the clients' turn.
    void step()
    {
        machine_.run_frames(1, settle_);
        for (auto &streams : streams_) {
            streams->serve_client();
        }
    }

    void settle()
    {
        auto until = std::chrono::steady_clock::now() + SETTLE_LIMIT;
        for (auto &streams : streams_) {
            while (streams->adapter().EngineThreadsPending() && std::chrono::steady_clock::now() < until) {
                std::this_thread::yield();
            }
        }
    }

    usbaudio_test::fuzz_machine machine_;
    std::function<void()> settle_;
    std::vector<std::unique_ptr<device_streams>> streams_;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    usbaudio_test::fuzz_streaming_flags(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    return usbaudio_test::fuzz_run_kept<engine_bench>(TARGET, data, size);
}
