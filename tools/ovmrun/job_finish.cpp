// The end that both stacks' jobs share once streaming is over.
#include "job_finish.h"
#include "job_log.h"
#include "loopback_signal.h"
#include "plot_writer.h"
#include "run_report.h"

namespace ovmrun {

void finish_job(sim::machine &machine, DEVICE_OBJECT *pdo, const run_options &options, job_outcome &outcome,
                std::FILE *log)
{
    if (!outcome.stream.captured.empty() && !outcome.stream.dsd()) {
        wav_format format;
        format.rate = outcome.stream.rate;
        format.channels = (uint16_t)outcome.stream.captured.size();
        format.container_bits = (uint16_t)(sample_type_bytes(outcome.stream.sample_type) * 8);
        outcome.wav = write_wav_file(options.wav_path, format, outcome.stream.captured);
    }
    if (pdo != nullptr) {
        const NTSTATUS detached = machine.detach(pdo);
        say(log, "removed the device (surprise removal, then remove): %s\n", status_text(detached).c_str());
        if (!NT_SUCCESS(detached)) {
            outcome.problems.push_back("removing the device failed (" + status_text(detached) + ")");
        }
    }
    if (!options.plot_path.empty() && outcome.exit_code != exit_usage) {
        outcome.plot_written = write_plot(options.plot_path, outcome, options, &outcome.plot_error);
        if (outcome.plot_written) {
            say(log, "drew the run into %s\n", options.plot_path.c_str());
        }
    }
    judge(outcome, options);
}

} // namespace ovmrun
