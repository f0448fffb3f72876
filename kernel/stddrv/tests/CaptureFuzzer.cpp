// libFuzzer target: the capture packets the standard driver's transfer engine receives, from
// the input (FuzzPackets.h), on both standard devices (class 1 at full speed, class 2 at high
// speed) whose WaveCyclic capture pins run at 48000 Hz with the audio engine's reads kept in
// flight through the port. The input's first byte picks the device whose packets it scripts.
// The bus runs in step mode, frame by frame, for at most 8 frames while the input lasts and for
// a stretch of the models' own packets after it, so that a pipe recovery the input started ends
// before the next input. The pins stay up from input to input; the driver is stopped and
// unloaded with its checks when the run ends.
#include <memory>
#include <vector>
#include <ks.h>
#include <sim/audio_engine.h>
#include "FuzzInput.h"
#include "FuzzMachine.h"
#include "FuzzPackets.h"
#include "FuzzProcess.h"

namespace {

using usbaudio_test::fuzz_input;

constexpr ULONG CAPTURE_PIN = 0;
constexpr ULONG RATE = 48000;
constexpr ULONG READ_BYTES = 480 * 4; // 10 ms of 16-bit stereo
constexpr ULONG READS_IN_FLIGHT = 4;
constexpr ULONG MAX_SCRIPTED_FRAMES = 8;
constexpr ULONG HEALTHY_FRAMES = 6;

constexpr const char *TARGET = "ovmlsau_capture_fuzz";

[[noreturn]] void stop(const char *what, NTSTATUS status)
{
    usbaudio_test::fuzz_stop(TARGET, "%s (%08x)", what, static_cast<unsigned>(status));
}

// One device's capture pin, running, with the engine's reads in flight.
class capture_stream {
public:
    capture_stream(usbaudio_test::fuzz_machine &machine, usbaudio_test::fuzz_attached &attached)
        : packets_(*attached.device, {0x82})
    {
        if (!NT_SUCCESS(attached.status)) {
            stop("the driver did not start", attached.status);
        }
        NTSTATUS status = sim::wavert_filter::open(usbaudio_test::fuzz_machine::audio_path(attached.pdo), &filter_);
        if (NT_SUCCESS(status)) {
            status = sim::create_wavecyclic_pin(*filter_, CAPTURE_PIN, sim::pcm_connection_format(2, 16, RATE), &pin_);
        }
        for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
            if (NT_SUCCESS(status)) {
                status = machine.while_pumping([&] { return pin_->set_state(state); });
            }
        }
        if (!NT_SUCCESS(status)) {
            stop("the capture pin did not run", status);
        }
        serve_engine();
    }

    // With the bus running: stopping waits for the transfers in flight.
    void close()
    {
        pin_.reset();
        filter_.reset();
    }

    usbaudio_test::fuzz_packets &packets() { return packets_; }

    // As the audio engine after each frame: completed reads are taken and as many sent again.
    void serve_engine()
    {
        pin_->take_completed(nullptr);
        while (pin_->in_flight() < READS_IN_FLIGHT) {
            NTSTATUS status = pin_->submit_read(READ_BYTES);
            if (status != STATUS_PENDING && !NT_SUCCESS(status)) {
                stop("a capture read was refused", status);
            }
        }
    }

private:
    usbaudio_test::fuzz_packets packets_;
    std::unique_ptr<sim::wavert_filter> filter_;
    std::unique_ptr<sim::wavecyclic_pin> pin_;
};

class capture_bench {
public:
    capture_bench() : machine_(sim::bus_drive::step)
    {
        for (const sim::device_descriptors &descriptors : {sim::build_uac1_device(sim::standard_uac1_options()),
                                                           sim::build_uac2_device(sim::standard_uac2_options(1))}) {
            streams_.push_back(std::make_unique<capture_stream>(machine_, machine_.attach(descriptors, {})));
        }
    }

    ~capture_bench()
    {
        machine_.while_pumping([this] {
            for (auto &stream : streams_) {
                stream->close();
            }
            return STATUS_SUCCESS;
        });
    }

    void run(fuzz_input &input)
    {
        capture_stream &scripted = *streams_[input.choice(static_cast<std::uint32_t>(streams_.size()))];
        scripted.packets().run(input, MAX_SCRIPTED_FRAMES, HEALTHY_FRAMES, [this] { step(); });
    }

private:
    void step()
    {
        machine_.run_frames(1);
        for (auto &stream : streams_) {
            stream->serve_engine();
        }
    }

    usbaudio_test::fuzz_machine machine_;
    std::vector<std::unique_ptr<capture_stream>> streams_;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    usbaudio_test::fuzz_streaming_flags(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    return usbaudio_test::fuzz_run_kept<capture_bench>(TARGET, data, size);
}
