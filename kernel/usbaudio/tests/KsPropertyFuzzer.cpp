// The KS property fuzz targets' machine and operations.
#include "KsPropertyFuzzer.h"
#include <algorithm>
#include <deque>
#include <sim/audio_engine.h>
#include "FuzzInput.h"
#include "FuzzMachine.h"
#include "FuzzProcess.h"
#include "KsFuzzRequests.h"

namespace usbaudio_test {
namespace {

constexpr ULONG MAX_OPERATIONS = 16;
constexpr ULONG ANSWER_LIMIT = 64;

struct scripted_answer {
    bool stall;
    std::vector<std::uint8_t> data;
};

struct property_bench {
    explicit property_bench(const ks_property_device &device)
        : machine(sim::bus_drive::real_time), attached(machine.attach(device.descriptors, device.options)),
          connectors(device.connectors)
    {
    }
    fuzz_machine machine;
    fuzz_attached &attached;
    std::vector<std::uint8_t> connectors;
    std::unique_ptr<sim::wavert_filter> filter;
    std::deque<scripted_answer> answers;
};

property_bench *start_bench(const char *target, const ks_property_device &device)
{
    auto bench = new property_bench(device);
    if (!NT_SUCCESS(bench->attached.status) ||
        !NT_SUCCESS(sim::wavert_filter::open(fuzz_machine::audio_path(bench->attached.pdo), &bench->filter))) {
        fuzz_stop(target, "the driver did not start (%08x)", static_cast<unsigned>(bench->attached.status));
    }
    bench->attached.device->script_control = [bench](const sim::setup_packet &, std::span<std::uint8_t> data,
                                                    sim::control_outcome *outcome) {
        if (bench->answers.empty()) {
            return false;
        }
        scripted_answer answer = std::move(bench->answers.front());
        bench->answers.pop_front();
        outcome->stall = answer.stall;
        outcome->length = static_cast<std::uint32_t>(std::min(answer.data.size(), data.size()));
        std::copy_n(answer.data.begin(), outcome->length, data.begin());
        return true;
    };
    bench->machine.mark_pool();
    fuzz_teardown_at_exit([bench] { delete bench; });
    return bench;
}

} // namespace

int run_ks_property_input(const char *target, ks_property_device (*make_device)(), const std::uint8_t *data,
                          std::size_t size)
{
    static property_bench *bench = start_bench(target, make_device());
    fuzz_input input(data, size);
    for (ULONG op = 0; op < MAX_OPERATIONS && !input.empty(); ++op) {
        switch (input.choice(8)) {
        case 6:
            for (std::uint32_t n = input.choice(4) + 1; n != 0; --n) {
                bool stall = input.choice(4) == 0;
                bench->answers.push_back({stall, input.bytes(input.size(ANSWER_LIMIT))});
            }
            break;
        case 7:
            if (!bench->connectors.empty()) {
                std::uint8_t terminal = bench->connectors[input.choice(static_cast<std::uint32_t>(bench->connectors.size()))];
                bench->attached.model->set_connector(terminal, input.flag());
            }
            break;
        default:
            send_fuzz_ks_request(*bench->filter, input);
            break;
        }
    }
    // The next input meets the device as every input does.
    bench->answers.clear();
    for (std::uint8_t terminal : bench->connectors) {
        bench->attached.model->set_connector(terminal, true);
    }
    bench->machine.check(target);
    return 0;
}

} // namespace usbaudio_test
