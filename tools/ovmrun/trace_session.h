// The main job's trace session: every trace provider of the package recorded while the job
// runs (into the --trace file at the --trace-level), and the first error any of them traced,
// which the report of a run that is not clean names.
#pragma once
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <guiddef.h>
#include "main_job.h"

namespace platform {
class trace_capture;
}

namespace ovmrun {

struct package_provider {
    const char *deliverable;
    const GUID *control_guid;
};

// The package's trace providers: one per deliverable that traces.
std::span<const package_provider> package_providers();

class trace_session {
public:
    // Takes every provider's errors, and with a trace path every provider at the options'
    // level into that file. error() tells why the file's session did not start.
    explicit trace_session(const run_options &options);
    ~trace_session();
    trace_session(const trace_session &) = delete;
    trace_session &operator=(const trace_session &) = delete;

    const std::string &error() const { return m_error; }
    // Ends the file's session (the file is complete then) and the error capture.
    void stop();
    // "provider: function: text" of the first error traced; empty when none was.
    std::string first_error() const;

private:
    unsigned long long m_handle = 0;
    std::unique_ptr<platform::trace_capture> m_errors;
    std::string m_first_error;
    std::string m_error;
};

// Runs the job (run_main_job unless another is given) inside a trace session; a run that is
// not clean gets the first error traced among its problems. A trace file that cannot be
// written is a usage error.
using job_function = job_outcome (*)(const run_options &options, std::FILE *log);
job_outcome run_traced_job(const run_options &options, std::FILE *log, job_function job = run_main_job);

} // namespace ovmrun
