// Control of the tracing stand-in: a level and flags per module, and capture of the output
// for tests. Uncaptured output goes to stderr. Output carries no behaviour.
#pragma once
#include <string>
#include <vector>
#include <ntdef.h>

namespace platform {

// module is the module's file name without folder and extension ("ovmlsaau"); "" sets the
// default for modules without their own control. The initial default is TRACE_LEVEL_ERROR
// with every flag, or the level in the environment variable OVM_TRACE_LEVEL.
void trace_set_control(const std::string &module, UCHAR level, ULONG flags);
void trace_reset_controls();

struct trace_record {
    std::string module;
    UCHAR level;
    ULONG flags;
    std::string text;
};

// While a capture runs, passing messages are kept instead of printed; end returns them.
void trace_capture_begin();
std::vector<trace_record> trace_capture_end();

// Emits text for the module that contains caller (a code address), if its control passes it.
void trace_emit(void *caller, UCHAR level, ULONG flags, const std::string &text);

} // namespace platform
