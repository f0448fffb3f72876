// The end that both stacks' jobs share once streaming is over.
#pragma once
#include <cstdio>
#include <wdm.h>
#include <sim/machine.h>
#include "main_job.h"

namespace ovmrun {

// Writes the captured inputs to the WAV file, removes the device (pdo may be null: nothing
// was attached) and judges the run.
void finish_job(sim::machine &machine, DEVICE_OBJECT *pdo, const run_options &options, job_outcome &outcome,
                std::FILE *log);

} // namespace ovmrun
