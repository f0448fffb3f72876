// The main job: boots a machine with the default asynchronous device in loopback, installs
// the driver package as setup does, streams the known signal through it, writes the capture
// to a WAV file and judges the run.
#pragma once
#include <cstdio>
#include <string>
#include <vector>
#include "device_watch.h"
#include "engine_companion.h"
#include "panel_companion.h"
#include "run_options.h"
#include "stream_result.h"
#include "wav_writer.h"

namespace ovmrun {

inline constexpr int exit_clean = 0;
inline constexpr int exit_not_clean = 1;
inline constexpr int exit_usage = 2;

struct job_outcome {
    int exit_code = exit_not_clean;
    // Why the run is not clean: failed steps and figures outside what a clean stream gives.
    std::vector<std::string> problems;
    // Parts of the stack the run could not reach because they are not there yet.
    std::vector<std::string> not_run;
    bool driver_started = false;     // PnP started the kernel driver on the device
    bool asio_registered = false;    // the ASIO driver is listed under SOFTWARE\ASIO
    // The buffer size and rate the stream must end with (after a change in the control panel).
    uint32_t expected_buffer_frames = 0;
    uint32_t expected_rate = 0;
    stream_result stream;
    device_figures device;
    wav_write_result wav;
    engine_figures engine;   // with --with-engine
    panel_figures panel;     // with --panel-change
    bool plot_written = false;
    std::string plot_error;
};

// The sample rates the clock of the job's simulated device offers for these options.
std::vector<uint32_t> device_rates(const run_options &options);

// The buffer size the host streams with for a buffer-size index: frames, or DSD samples
// (32 per device frame) with --dsd.
uint32_t expected_buffer_frames(const run_options &options, uint32_t index);

// Runs the job; progress and the report go to log (which may be null). The exit code is
// exit_usage for a rate the device lacks (nothing is booted then), exit_clean only when every
// step that ran succeeded and the stream was clean.
job_outcome run_main_job(const run_options &options, std::FILE *log);

// The job on the standard stack (run_main_job calls it for --stack standard).
job_outcome run_standard_job(const run_options &options, std::FILE *log);

} // namespace ovmrun
