// ovmrun: the main job's command line. Exit code 0 for a clean run, 1 for a run that was not
// clean, 2 for a bad command line or a rate the device lacks.
#include <cstdio>
#include <string_view>
#include <vector>
#include "main_job.h"
#include "run_report.h"
#include "trace_session.h"

int main(int argc, char **argv)
{
    const std::string_view program = argc > 0 ? std::string_view(argv[0]) : std::string_view("ovmrun");
    std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const ovmrun::parse_result parsed = ovmrun::parse_options(args);
    if (!parsed.ok) {
        std::fprintf(stderr, "%.*s: %s\nTry '--help'.\n", (int)program.size(), program.data(), parsed.error.c_str());
        return ovmrun::exit_usage;
    }
    if (parsed.options.help) {
        std::fputs(ovmrun::usage_text(program).c_str(), stdout);
        return ovmrun::exit_clean;
    }
    const ovmrun::job_outcome outcome = ovmrun::run_traced_job(parsed.options, stdout);
    if (outcome.exit_code == ovmrun::exit_usage) {
        for (const std::string &problem : outcome.problems) {
            std::fprintf(stderr, "%.*s: %s\n", (int)program.size(), program.data(), problem.c_str());
        }
        return outcome.exit_code;
    }
    ovmrun::print_report(outcome, parsed.options, stdout);
    return outcome.exit_code;
}
