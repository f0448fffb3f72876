// The picture of a run: an SVG file with three stacked graphs over the run's machine time:
// the buffer-switch intervals against the period, the device's render FIFO level, and the
// rate the device's feedback endpoint reported (or, without explicit feedback, the rate at
// which it captured) against its nominal rate; drop-outs, reset requests, the return of the
// stream, the control panel's click and the audio engine's start and stop are marked.
#pragma once
#include <string>
#include "main_job.h"

namespace ovmrun {

// The SVG text of the picture.
std::string plot_svg(const job_outcome &outcome, const run_options &options);

// Writes plot_svg to path; false with *error set when the file cannot be written.
bool write_plot(const std::string &path, const job_outcome &outcome, const run_options &options, std::string *error);

} // namespace ovmrun
