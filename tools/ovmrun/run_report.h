// The verdict on a run of the main job and the report it prints.
#pragma once
#include <cstdio>
#include "main_job.h"

namespace ovmrun {

// Adds to outcome.problems what keeps a run from being clean (a short stream, drop-outs,
// resets, a buffer size other than the index gives, audio that did not come back bit-exact,
// device FIFO faults, an unwritten WAV file) and sets the exit code.
void judge(job_outcome &outcome, const run_options &options);

void print_report(const job_outcome &outcome, const run_options &options, std::FILE *out);

} // namespace ovmrun
