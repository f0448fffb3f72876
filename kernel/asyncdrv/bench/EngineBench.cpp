// ovmlsaau_bench: streams an asynchronous stereo device duplex through the device channel (a
// client answering every READ with a WRITE) and a WaveRT render and capture stream at once for
// a fixed span. The bus runs frame by frame at the pace of real time, but never ahead of the
// driver's DPCs and threads, so a loaded machine slows the run down instead of glitching it.
// It prints the process CPU time per second of audio (driver threads and DPCs together with
// the simulated bus and device that serve them) and the pool allocations ovmlsaau made after
// the first second, which a steady stream must keep at 0.
#include <windows.h>
#include <ks.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>
#include <platform/pnp.h>
#include <platform/pool.h>
#include <sim/audio_device.h>
#include <sim/audio_engine.h>
#include <sim/machine.h>
#include "EngineBusPump.h"
#include "../../../user/client/include/QelAsioIoctl.h"

namespace {

constexpr ULONG RATE = 44100; // a new device's rate
constexpr ULONG BUFFER_FRAMES = 256;
constexpr ULONG FRAME_BYTES = 8; // two channels in four-byte containers
constexpr int WARM_UP_SECONDS = 1;
constexpr int MEASURED_SECONDS = 5;

struct request {
    OVERLAPPED overlapped = {};
    std::vector<UCHAR> buffer;

    NTSTATUS status() const
    {
        return static_cast<NTSTATUS>(static_cast<LONG_PTR>(
            std::atomic_ref<ULONG_PTR>(const_cast<ULONG_PTR &>(overlapped.Internal)).load()));
    }
    bool wait(int timeout_ms = 10000) const
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (status() == STATUS_PENDING) {
            if (std::chrono::steady_clock::now() > until) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return true;
    }
};

NTSTATUS control(HANDLE handle, DWORD code, const void *input = nullptr, DWORD length = 0)
{
    request io;
    DeviceIoControl(handle, code, const_cast<void *>(input), length, nullptr, 0, nullptr, &io.overlapped);
    return io.wait() ? io.status() : STATUS_TIMEOUT;
}

std::wstring channel_path(DEVICE_OBJECT *pdo, std::wstring *wave)
{
    for (const auto &entry : platform::pnp_interfaces(KSCATEGORY_AUDIO, true)) {
        if (entry.pdo != pdo) {
            continue;
        }
        std::wstring lower;
        for (WCHAR c : entry.user_path) {
            lower.push_back(c >= L'A' && c <= L'Z' ? static_cast<WCHAR>(c - L'A' + L'a') : c);
        }
        const size_t cut = lower.rfind(L"\\wave");
        if (cut != std::wstring::npos) {
            *wave = entry.user_path;
            return entry.user_path.substr(0, cut) + QELASIO_CHANNEL_FILE_NAME;
        }
    }
    return {};
}

std::unique_ptr<sim::wavert_pin> open_pin(sim::wavert_filter &filter, KSPIN_DATAFLOW flow)
{
    ULONG count = 0;
    filter.pin_count(&count);
    for (ULONG pin = 0; pin < count; ++pin) {
        KSPIN_DATAFLOW pinFlow{};
        KSPIN_COMMUNICATION communication{};
        if (!NT_SUCCESS(filter.pin_dataflow(pin, &pinFlow)) || !NT_SUCCESS(filter.pin_communication(pin, &communication)) ||
            pinFlow != flow || communication == KSPIN_COMMUNICATION_BRIDGE) {
            continue;
        }
        KSDATARANGE_AUDIO range = {};
        range.DataRange.FormatSize = sizeof(range);
        range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
        range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
        range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
        range.MaximumChannels = 2;
        range.MinimumBitsPerSample = 16;
        range.MaximumBitsPerSample = 16;
        range.MinimumSampleFrequency = RATE;
        range.MaximumSampleFrequency = RATE;
        std::vector<UCHAR> format;
        sim::ks_result probe;
        std::unique_ptr<sim::wavert_pin> created;
        if (!NT_SUCCESS(filter.intersect(pin, range, &format, &probe)) ||
            !NT_SUCCESS(filter.create_pin(pin, format, &created)) ||
            !NT_SUCCESS(created->allocate_buffer(RATE / 10 * 4, 2)) || !NT_SUCCESS(created->register_event())) {
            return nullptr;
        }
        return created;
    }
    return nullptr;
}

double process_cpu_seconds()
{
    timespec now = {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int run()
{
    sim::machine machine;
    engine_test::bus_pump pump(machine);
    machine.install_driver(L"USB\\Class_01&SubClass_01", "ovmlsaau", L"OVMLSAAU");
    sim::uac2_options descriptors;
    descriptors.render_formats = {{2, 2, 16}, {2, 4, 24}};
    descriptors.capture_formats = {{2, 2, 16}, {2, 4, 24}};
    auto device = std::make_shared<sim::audio_device>(sim::build_uac2_device(descriptors));
    DEVICE_OBJECT *pdo = nullptr;
    if (!NT_SUCCESS(machine.attach(device, &pdo)) || pdo == nullptr) {
        std::printf("the device did not start\n");
        return 1;
    }
    pump.watch(pdo);
    std::wstring wave;
    const std::wstring path = channel_path(pdo, &wave);
    std::unique_ptr<sim::wavert_filter> filter;
    if (path.empty() || !NT_SUCCESS(sim::wavert_filter::open(wave, &filter))) {
        std::printf("no audio interface\n");
        return 1;
    }
    std::unique_ptr<sim::wavert_pin> render = open_pin(*filter, KSPIN_DATAFLOW_IN);
    std::unique_ptr<sim::wavert_pin> capture = open_pin(*filter, KSPIN_DATAFLOW_OUT);
    if (render == nullptr || capture == nullptr) {
        std::printf("no WaveRT pins\n");
        return 1;
    }
    render->prefill();
    render->set_state(KSSTATE_RUN);
    capture->set_state(KSSTATE_RUN);

    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    QELASIO_PREPARE_REQUEST prepare = {BUFFER_FRAMES, 1, 1, 100, QELASIO_MODE_PCM};
    if (h == INVALID_HANDLE_VALUE || !NT_SUCCESS(control(h, IOCTL_QELASIO_ACQUIRE)) ||
        !NT_SUCCESS(control(h, IOCTL_QELASIO_PREPARE, &prepare, sizeof(prepare))) ||
        !NT_SUCCESS(control(h, IOCTL_QELASIO_START))) {
        std::printf("the device channel did not start\n");
        return 1;
    }

    const std::string module = machine.module_path("ovmlsaau");
    const int seconds = WARM_UP_SECONDS + MEASURED_SECONDS;
    std::atomic<bool> renderOk{false};
    std::atomic<bool> captureOk{false};
    const ULONG notifications = static_cast<ULONG>(seconds) * 20;
    std::thread player([&] { renderOk = render->stream(notifications, 10000, nullptr); });
    std::thread recorder([&] { captureOk = capture->stream(notifications, 10000, nullptr); });

    const ULONG blockBytes = BUFFER_FRAMES * FRAME_BYTES;
    request reads[2];
    auto issue = [&](request &io) {
        io.buffer.assign(blockBytes, 0);
        ReadFile(h, io.buffer.data(), blockBytes, nullptr, &io.overlapped);
    };
    issue(reads[0]);
    issue(reads[1]);
    control(h, IOCTL_QELASIO_START_CAPTURE);

    const auto started = std::chrono::steady_clock::now();
    std::uint64_t allocationsAfterWarmUp = 0;
    double cpuAtWarmUp = 0;
    bool warm = false;
    ULONG buffers = 0;
    ULONG restarts = 0;
    for (ULONG i = 0;; ++i) {
        const auto elapsed = std::chrono::steady_clock::now() - started;
        if (!warm && elapsed >= std::chrono::seconds(WARM_UP_SECONDS)) {
            warm = true;
            allocationsAfterWarmUp = platform::pool_allocation_count(module);
            cpuAtWarmUp = process_cpu_seconds();
        }
        if (elapsed >= std::chrono::seconds(seconds)) {
            break;
        }
        request &io = reads[i % 2];
        if (!io.wait()) {
            std::printf("a READ did not complete\n");
            return 1;
        }
        NTSTATUS status = io.status();
        if (NT_SUCCESS(status)) {
            request out;
            out.buffer = io.buffer;
            WriteFile(h, out.buffer.data(), blockBytes, nullptr, &out.overlapped);
            out.wait();
            status = out.status();
        }
        if (!NT_SUCCESS(status)) {
            ++restarts;
            control(h, IOCTL_QELASIO_STOP);
            reads[0].wait();
            reads[1].wait();
            control(h, IOCTL_QELASIO_START);
            issue(reads[0]);
            issue(reads[1]);
            control(h, IOCTL_QELASIO_START_CAPTURE);
            i = 1;
            continue;
        }
        ++buffers;
        issue(io);
    }
    const double cpu = process_cpu_seconds() - cpuAtWarmUp;
    const std::uint64_t allocations = platform::pool_allocation_count(module) - allocationsAfterWarmUp;

    control(h, IOCTL_QELASIO_STOP);
    reads[0].wait();
    reads[1].wait();
    CloseHandle(h);
    player.join();
    recorder.join();
    render->set_state(KSSTATE_STOP);
    capture->set_state(KSSTATE_STOP);
    render.reset();
    capture.reset();
    filter.reset();
    pump.forget();
    machine.detach(pdo);

    std::printf("streamed %d s duplex through the device channel (%lu buffers of %lu frames, %lu restarts) "
                "and a WaveRT render and capture stream (%s, %s)\n",
                seconds, static_cast<unsigned long>(buffers), static_cast<unsigned long>(BUFFER_FRAMES),
                static_cast<unsigned long>(restarts), renderOk ? "render ok" : "render short",
                captureOk ? "capture ok" : "capture short");
    std::printf("cpu time per second of audio: %.1f ms (process, simulated bus and device included)\n",
                cpu * 1000.0 / MEASURED_SECONDS);
    std::printf("pool allocations by ovmlsaau after the first second: %llu\n",
                static_cast<unsigned long long>(allocations));
    return 0;
}

} // namespace

int main()
{
    return run();
}
