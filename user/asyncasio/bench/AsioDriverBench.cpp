// Benchmark of ovmlsaaso on the simulated machine: a host streams through the whole stack at
// the smallest buffer size for a fixed span, and the run reports buffer switches, drop-outs,
// the spread of the intervals between switches against the period, and the CPU time the run
// took per second of audio. Usage: ovmlsaaso_bench [seconds] [rate] [buffer-size index].
#include <objbase.h>
#include <windows.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>
#include <platform/win32_system.h>
#include <platform/realtime_processor.h>
#include <sim/asio_host.h>
#include <sim/audio_device.h>
#include <sim/machine.h>
#include <sim/uac_descriptors.h>
#include <sim/usb_host_controller.h>
#include "RegUtil2.h"

namespace {

// CPU time of the process without the real-time processor's idle loop.
double process_cpu_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9 - platform::realtime_processor_idle_seconds();
}

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const size_t at = std::min(values.size() - 1, (size_t)(fraction * (double)(values.size() - 1) + 0.5));
    return values[at];
}

bool store_settings(DWORD rate, DWORD index)
{
    CRegUtil2 settings;
    DWORD probe = 0;
    settings.GetValue(REGVAL_SAMPLING_RATE, &probe, sizeof(probe));
    return settings.SetValue(REGVAL_SAMPLING_RATE, &rate, sizeof(rate)) == REGUTIL_OK &&
           settings.SetValue(REGVAL_BUFFER_SIZE_INDEX, &index, sizeof(index)) == REGUTIL_OK;
}

int run(double seconds, DWORD rate, DWORD index)
{
    sim::machine machine;
    machine.install_driver(L"USB\\Class_01&SubClass_01", "ovmlsaau", L"OVMLSAAU");
    // Two channels each way in 32-bit samples, as the driver's stream tests use.
    sim::uac2_options descriptors;
    descriptors.render_formats = {{2, 4, 32}};
    descriptors.capture_formats = {{2, 4, 32}};
    auto device = std::make_shared<sim::audio_device>(sim::build_uac2_device(descriptors));
    DEVICE_OBJECT *pdo = nullptr;
    if (!NT_SUCCESS(machine.attach(device, &pdo)) || pdo == nullptr) {
        std::fprintf(stderr, "the device could not be attached\n");
        return 1;
    }
    platform::module_register_path(L"ovmlsaaso.dll", L"C:\\Program Files\\Orvan\\ASIO\\ovmlsaaso.dll");
    HMODULE module = LoadLibraryW(L"ovmlsaaso.dll");
    auto reg = module == nullptr ? nullptr
                                 : reinterpret_cast<HRESULT(STDAPICALLTYPE *)()>(
                                       reinterpret_cast<void (*)()>(GetProcAddress(module, "DllRegisterServer")));
    if (reg == nullptr || reg() != S_OK || !store_settings(rate, index)) {
        std::fprintf(stderr, "ovmlsaaso could not be registered\n");
        return 1;
    }

    sim::asio_host_options options;
    options.driver = L"Orvan Marla Series Async ASIO";
    options.sample_rate = rate;
    options.capture_frames = 0;
    int result = 0;
    {
        sim::asio_host host(options);
        if (!host.start()) {
            std::fprintf(stderr, "the host did not start: %s\n", host.error().c_str());
            return 1;
        }
        const sim::device_counters device_before = device->counters();
        const uint64_t stalls_before = machine.usb_bus().counters().timer_stalls;
        const double cpu_before = process_cpu_seconds();
        const auto began = std::chrono::steady_clock::now();
        const uint64_t first = host.buffer_switches();
        std::this_thread::sleep_until(began + std::chrono::duration<double>(seconds));
        const uint64_t switches = host.buffer_switches() - first;
        const double cpu = process_cpu_seconds() - cpu_before;
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        const sim::device_counters device_after = device->counters();
        const uint64_t stalls = machine.usb_bus().counters().timer_stalls - stalls_before;
        const std::vector<sim::asio_callback_record> records = host.records();
        host.stop();

        const double period_ms = host.buffer_size() * 1000.0 / rate;
        std::vector<double> intervals;
        int64_t last = -1;
        for (const sim::asio_callback_record &r : records) {
            if (r.kind == sim::asio_callback_kind::buffer_switch ||
                r.kind == sim::asio_callback_kind::buffer_switch_time_info) {
                if (last >= 0) {
                    intervals.push_back((double)(r.time - last) / 10000.0);
                }
                last = r.time;
            }
        }
        std::printf("ovmlsaaso at %u Hz, buffer-size index %u (%d frames, period %.3f ms), %.1f s\n", (unsigned)rate,
                    (unsigned)index, host.buffer_size(), period_ms, elapsed);
        std::printf("  buffer switches: %llu (expected about %.0f)\n", (unsigned long long)switches,
                    elapsed * rate / host.buffer_size());
        std::printf("  drop-outs: %llu (%llu with a skipped sample position, the others late)\n",
                    (unsigned long long)host.drop_outs(), (unsigned long long)host.position_skips());
        std::printf("  device render FIFO underruns while streaming: %llu\n",
                    (unsigned long long)(device_after.render_underruns - device_before.render_underruns));
        std::printf("  bus frame timer woken a frame or more late (the machine held its processor): %llu\n",
                    (unsigned long long)stalls);
        std::printf("  switch interval: median %.3f ms, 99th percentile %.3f ms, maximum %.3f ms\n",
                    percentile(intervals, 0.5), percentile(intervals, 0.99), percentile(intervals, 1.0));
        std::printf("  CPU time of the whole simulated machine per second of audio: %.1f ms\n",
                    elapsed > 0 ? cpu * 1000.0 / elapsed : 0.0);
        result = host.drop_outs() == 0 ? 0 : 2;
    }
    machine.detach(pdo);
    FreeLibrary(module);
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    const DWORD rate = argc > 2 ? (DWORD)std::strtoul(argv[2], nullptr, 10) : 48000;
    const DWORD index = argc > 3 ? (DWORD)std::strtoul(argv[3], nullptr, 10) : 0;
    if (seconds <= 0 || rate == 0 || index > 31) {
        std::fprintf(stderr, "usage: ovmlsaaso_bench [seconds > 0] [rate] [buffer-size index 0..31]\n");
        return 1;
    }
    return run(seconds, rate, index);
}
