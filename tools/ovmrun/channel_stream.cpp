// Streaming straight through the device channel with the client library: discovery, acquire,
// rate, prepare with the buffer of the chosen index, start, then the duplex loop the ASIO
// driver's streaming thread runs (two capture reads queued, positions aligned on the first
// completed half, the output half written as soon as it is filled), and the walk back.
#include "stream_routes.h"
#include <AsioChannelGroup.h>
#include <AsioDeviceList.h>
#include <RateTables.h>
#include <platform/clock.h>
#include <platform/thread.h>
#include <windows.h>
#include <avrt.h>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include "loopback_signal.h"

namespace ovmrun {

namespace {

// Time allowed beyond the nominal streaming time before a wait counts as stalled.
constexpr auto stall_margin = std::chrono::seconds(10);
// Stream resets a run recovers from before it gives up.
constexpr uint64_t max_restarts = 10;

std::string hex(DWORD value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", (unsigned)value);
    return text;
}

// Sets the stop event when the run takes longer than allowed, so that an untimed wait for a
// half that never completes ends.
class stall_watchdog {
public:
    stall_watchdog(HANDLE stop_event, std::chrono::milliseconds limit)
        : m_thread([this, stop_event, limit] {
              std::unique_lock<std::mutex> lock(m_lock);
              if (!m_changed.wait_for(lock, limit, [this] { return m_done; })) {
                  SetEvent(stop_event);
              }
          })
    {
    }
    ~stall_watchdog()
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_done = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_done = false;
    std::thread m_thread;
};

// The group's walk back from whatever state it reached, in the order the ASIO driver uses.
class channel_session {
public:
    ~channel_session()
    {
        if (m_running) {
            m_group.CancelIoAll();
            m_group.StopAll();
        }
        if (m_prepared) {
            m_group.UnprepareAll();
        }
        if (m_acquired) {
            m_group.ReleaseAll();
        }
        m_group.CloseAll();
        if (m_stop != nullptr) {
            CloseHandle(m_stop);
        }
    }
    CAsioChannelGroup &group() { return m_group; }
    bool m_acquired = false;
    bool m_prepared = false;
    bool m_running = false;
    HANDLE m_stop = nullptr;

private:
    CAsioChannelGroup m_group;
};

struct layout {
    CAsioDeviceChannel *channel = nullptr;
    uint32_t offset = 0; // bytes into a device frame
    uint32_t stride = 0; // bytes per device frame
};

bool map_channels(CAsioChannelGroup &group, bool input, uint32_t count, uint32_t width, std::vector<layout> &out)
{
    for (uint32_t i = 0; i < count; ++i) {
        DWORD position = 0, index = 0;
        if (!group.MapChannel(input, i, &position, &index)) {
            return false;
        }
        layout entry;
        entry.channel = group.GetChannel(position);
        if (entry.channel == nullptr) {
            return false;
        }
        const DWORD channels = input ? entry.channel->GetInputCount() : entry.channel->GetOutputCount();
        entry.offset = index * width;
        entry.stride = channels * width;
        out.push_back(entry);
    }
    return true;
}

// The calling thread streams as a "Pro Audio" multimedia task while the object lives, as the
// ASIO driver's streaming thread does: a short buffer cannot wait behind ordinary threads.
class pro_audio_task {
public:
    pro_audio_task()
    {
        DWORD index = 0;
        m_task = AvSetMmThreadCharacteristicsW(L"Pro Audio", &index);
        if (m_task != nullptr) {
            AvSetMmThreadPriority(m_task, AVRT_PRIORITY_HIGH);
        }
    }
    ~pro_audio_task()
    {
        if (m_task != nullptr) {
            AvRevertMmThreadCharacteristics(m_task);
        }
    }
    pro_audio_task(const pro_audio_task &) = delete;
    pro_audio_task &operator=(const pro_audio_task &) = delete;

private:
    HANDLE m_task = nullptr;
};

} // namespace

stream_result stream_through_channel(const run_options &options, device_watch &watch,
                                     const stream_companions &companions)
{
    stream_result result;
    result.route = "the device channel, driven with the client library";
    CAsioDeviceList list;
    if (!list.EnumerateDevices() || list.GetCount() == 0) {
        result.not_run = "no device answers on the asynchronous driver's device channel (\"\\asio\")";
        return result;
    }
    const AsioDeviceRecord *record = list.GetDevice(0);
    channel_session session;
    CAsioChannelGroup &group = session.group();
    if (!group.OpenDevice(record->ChannelPath, record->InstanceId, record->Description)) {
        result.failure = "opening the device channel failed: error " + std::to_string(GetLastError());
        return result;
    }
    RateRange range{};
    group.GetRateRange(&range);
    if (options.rate < range.Lowest || options.rate > range.Highest) {
        result.failure = "the device channel offers " + std::to_string(range.Lowest) + ".." +
                         std::to_string(range.Highest) + " Hz, not " + std::to_string(options.rate);
        return result;
    }
    if (!group.AcquireAll()) {
        result.failure = "acquiring the device channel failed: error " + std::to_string(GetLastError());
        return result;
    }
    session.m_acquired = true;
    if (!group.SetSampleRateAll(options.rate)) {
        result.failure = "setting " + std::to_string(options.rate) +
                         " Hz over the device channel failed: error " + std::to_string(GetLastError());
        return result;
    }
    result.rate = options.rate;
    result.device_rate = options.rate;
    result.buffer_frames = BufferIndexToFrames(options.rate, FALSE, options.buffer_index);
    result.periods_wanted = periods_for(options.seconds, options.rate, result.buffer_frames);
    result.inputs = group.GetInputCount();
    result.outputs = group.GetOutputCount();
    const DWORD in_bits = group.GetBitsPerSample(TRUE);
    const DWORD out_bits = group.GetBitsPerSample(FALSE);
    result.sample_type = sample_type_for_bits(out_bits);
    const uint32_t width = sample_type_bytes(result.sample_type);
    if (result.inputs == 0 || result.outputs == 0 || in_bits != out_bits || width == 0) {
        result.failure = "the device has " + std::to_string(result.inputs) + " inputs of " + std::to_string(in_bits) +
                         " bits and " + std::to_string(result.outputs) + " outputs of " + std::to_string(out_bits) +
                         " bits: no loopback of whole PCM samples";
        return result;
    }
    std::vector<layout> ins, outs;
    if (!map_channels(group, true, result.inputs, width, ins) || !map_channels(group, false, result.outputs, width, outs)) {
        result.failure = "the channel group cannot map its channels";
        return result;
    }
    const DWORD smallest = BufferIndexToFrames(options.rate, FALSE, 0);
    const DWORD largest = BufferIndexToFrames(options.rate, FALSE, max_buffer_index);
    const DWORD percent = (result.buffer_frames - smallest) * 100 / (largest - smallest);
    if (!group.PrepareAll(result.buffer_frames, TRUE, TRUE, percent, FALSE)) {
        result.failure = "preparing " + std::to_string(result.buffer_frames) +
                         "-frame buffers failed: error " + std::to_string(GetLastError());
        return result;
    }
    session.m_prepared = true;
    DWORD in_latency = 0, out_latency = 0;
    if (group.GetLatencies(result.buffer_frames, &in_latency, &out_latency)) {
        result.input_latency = (int32_t)in_latency;
        result.output_latency = (int32_t)out_latency;
    }
    session.m_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (session.m_stop == nullptr) {
        result.failure = "no stop event: error " + std::to_string(GetLastError());
        return result;
    }
    if (!group.StartAll()) {
        result.failure = "starting the device channel failed: error " + std::to_string(GetLastError());
        return result;
    }
    session.m_running = true;
    result.captured.assign(result.inputs, {});
    for (std::vector<uint8_t> &captured : result.captured) {
        captured.reserve((size_t)result.periods_wanted * result.buffer_frames * width);
    }

    const auto limit = std::chrono::milliseconds((int64_t)(options.seconds * 1000.0)) + stall_margin;
    stall_watchdog watchdog(session.m_stop, std::chrono::duration_cast<std::chrono::milliseconds>(limit));
    bool aligned = false;
    DWORD half = 0;
    // Both halves' reads queued from the current half on, then capture started.
    auto queue_reads = [&]() -> DWORD {
        DWORD status = group.ReadHalfAll(half);
        status = status == ERROR_SUCCESS ? group.ReadHalfAll(half ^ 1) : status;
        if (status == ERROR_SUCCESS && !group.StartCaptureAll()) {
            status = GetLastError() != ERROR_SUCCESS ? GetLastError() : (DWORD)ERROR_GEN_FAILURE;
        }
        return status;
    };
    // After an isochronous error the kernel raises the stream-reset flag and fails the
    // channel's requests; the channels are restarted as the ASIO driver's streaming thread
    // restarts them, and the run goes on (the audio has a gap, which the check then shows).
    auto recover = [&]() -> bool {
        if (result.resets >= max_restarts || !group.HasStreamReset()) {
            return false;
        }
        group.CancelIoAll();
        group.ClearBuffersAll();
        group.StopAll();
        if (!group.StartAll()) {
            return false;
        }
        ++result.resets;
        aligned = false;
        return queue_reads() == ERROR_SUCCESS;
    };
    const pro_audio_task task;
    DWORD error = queue_reads();
    if (error != ERROR_SUCCESS && !recover()) {
        result.failure = "queuing the first capture reads failed: error " + std::to_string(error);
        return result;
    }
    const int64_t period = (int64_t)result.buffer_frames * platform::ticks_per_second / options.rate;
    int64_t first = -1, last = -1;
    uint64_t output_frame = 0;
    // The loop stands for the ASIO driver's streaming thread, a thread of the machine.
    std::optional<platform::machine_thread_scope> member;
    member.emplace();
    while (result.buffer_switches < result.periods_wanted) {
        DWORD wait = group.WaitHalfAll(half, session.m_stop);
        while (wait == WAIT_IO_COMPLETION) {
            wait = group.WaitHalfAll(half, session.m_stop);
        }
        if (wait == WAIT_OBJECT_0 + 1) {
            result.failure = "capture stalled after " + std::to_string(result.buffer_switches) + " of " +
                             std::to_string(result.periods_wanted) + " periods";
            break;
        }
        if (wait != WAIT_OBJECT_0) {
            if (recover()) {
                continue;
            }
            result.failure = "waiting for a half failed: " + hex(wait);
            break;
        }
        const int64_t now = platform::clock_now();
        if (!aligned) {
            group.AlignPositions();
            aligned = true;
        }
        if (first < 0) {
            watch.streaming_started();
            first = now;
        } else if (now - last > period + period / 2 + 10000) {
            // Late past half a period plus one USB frame (1 ms), the step in which captured
            // audio arrives.
            ++result.drop_outs;
            result.events.push_back({run_event::kind::drop_out, now});
        }
        last = now;
        result.switches.push_back({now, result.buffer_frames * 1000.0 / options.rate});
        for (uint32_t i = 0; i < result.inputs; ++i) {
            const BYTE *source = ins[i].channel->GetInputBuffer(half) + ins[i].offset;
            std::vector<uint8_t> &captured = result.captured[i];
            for (uint32_t f = 0; f < result.buffer_frames; ++f, source += ins[i].stride) {
                captured.insert(captured.end(), source, source + width);
            }
        }
        error = group.ReadHalfAll(half);
        if (error != ERROR_SUCCESS) {
            if (recover()) {
                continue;
            }
            result.failure = "queuing a capture read failed: error " + std::to_string(error);
            break;
        }
        for (uint32_t o = 0; o < result.outputs; ++o) {
            write_signal(result.sample_type, (int32_t)o, output_frame, result.buffer_frames,
                         outs[o].channel->GetOutputBuffer(half) + outs[o].offset, outs[o].stride);
        }
        output_frame += result.buffer_frames;
        error = group.WriteHalfAll(half);
        if (error != ERROR_SUCCESS) {
            result.failure = "writing an output half failed: error " + std::to_string(error);
            break;
        }
        ++result.buffer_switches;
        if (result.buffer_switches == result.periods_wanted / 4) {
            call_companions(companions, stream_point::quarter, nullptr);
        } else if (result.buffer_switches == result.periods_wanted / 2) {
            call_companions(companions, stream_point::midway, nullptr);
            watch.streaming_midway();
        } else if (result.buffer_switches == result.periods_wanted * 3 / 4) {
            call_companions(companions, stream_point::three_quarters, nullptr);
        }
        half ^= 1;
    }
    member.reset();
    watch.streaming_ending();
    call_companions(companions, stream_point::ending, nullptr);
    result.seconds = first >= 0 ? (double)(last - first) / platform::ticks_per_second : 0.0;
    std::vector<std::string> names;
    for (uint32_t i = 0; i < result.inputs; ++i) {
        CHAR name[32] = {};
        group.GetChannelName(TRUE, i, name);
        names.emplace_back(name);
    }
    check_inputs(result, names);
    for (stream_companion *companion : companions) {
        companion->finish(result);
    }
    return result;
}

} // namespace ovmrun
