// The trace controller and the user-mode provider functions: sessions with a log file,
// providers enabled by GUID, level and keywords before or after they register, several
// sessions together, and registrations that end with their process.
#include <gtest/gtest.h>
#include <windows.h>
#include <evntrace.h>
#include <platform/machine_state.h>
#include <platform/process.h>
#include <platform/trace.h>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr GUID provider_a = {0x7E41C0B3, 0x6A25, 0x4D19, {0x9F, 0x3A, 0x10, 0x5B, 0xC2, 0x8E, 0x47, 0xD6}};
constexpr GUID provider_b = {0x0C93F6A1, 0xE7D4, 0x4B82, {0xA5, 0x6E, 0x39, 0x21, 0x0F, 0xB7, 0x5C, 0x8A}};

// Properties with the log file's name behind them, as a controller lays them out.
struct session_properties {
    EVENT_TRACE_PROPERTIES properties;
    WCHAR log_file[512];
};

session_properties properties_for(const std::string &file)
{
    session_properties p{};
    p.properties.Wnode.BufferSize = sizeof(p);
    p.properties.Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    p.properties.LogFileMode = EVENT_TRACE_FILE_MODE_SEQUENTIAL;
    p.properties.LogFileNameOffset = offsetof(session_properties, log_file);
    for (size_t i = 0; i < file.size(); ++i) {
        p.log_file[i] = (WCHAR)file[i];
    }
    return p;
}

struct enable_log {
    std::vector<ULONG> codes;
    UCHAR level = 0;
    ULONGLONG any = 0;
};

VOID NTAPI on_enable(LPCGUID SourceId, ULONG IsEnabled, UCHAR Level, ULONGLONG MatchAnyKeyword,
                     ULONGLONG MatchAllKeyword, PEVENT_FILTER_DESCRIPTOR FilterData, PVOID CallbackContext)
{
    auto *log = static_cast<enable_log *>(CallbackContext);
    log->codes.push_back(IsEnabled);
    log->level = Level;
    log->any = MatchAnyKeyword;
}

// The fields of each record line of a log file (comment lines left out).
std::vector<std::vector<std::string>> records_in(const std::string &file)
{
    std::vector<std::vector<std::string>> records;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        std::vector<std::string> record;
        for (std::string field; fields >> field;) {
            record.push_back(field);
        }
        records.push_back(record);
    }
    return records;
}

std::vector<std::string> levels_in(const std::string &file)
{
    std::vector<std::string> levels;
    for (const auto &record : records_in(file)) {
        levels.push_back(record.size() > 4 ? record[4] : "");
    }
    return levels;
}

class TraceSessionTests : public ::testing::Test {
protected:
    void SetUp() override { platform::machine_boot(); }
    void TearDown() override { platform::machine_shutdown(); }

    static std::string file(const char *name) { return ::testing::TempDir() + name; }

    TRACEHANDLE start(const wchar_t *name, const std::string &log_file)
    {
        session_properties p = properties_for(log_file);
        TRACEHANDLE handle = 0;
        EXPECT_EQ((ULONG)ERROR_SUCCESS, StartTraceW(&handle, name, &p.properties));
        EXPECT_NE(0u, handle);
        EXPECT_EQ(handle, p.properties.Wnode.HistoricalContext);
        return handle;
    }

    static ULONG stop(TRACEHANDLE handle)
    {
        session_properties p = properties_for("");
        return StopTraceW(handle, nullptr, &p.properties);
    }
};

TEST_F(TraceSessionTests, StartRefusesWhatItCannotRunAndLeavesTheHandle)
{
    const std::string good = file("trace-start.txt");
    struct Case {
        const char *what;
        void (*change)(session_properties &);
        ULONG expected;
    };
    const Case cases[] = {
        {"short buffer", [](session_properties &p) { p.properties.Wnode.BufferSize = sizeof(EVENT_TRACE_PROPERTIES) - 1; },
         ERROR_BAD_LENGTH},
        {"real-time mode", [](session_properties &p) { p.properties.LogFileMode = EVENT_TRACE_REAL_TIME_MODE; },
         ERROR_NOT_SUPPORTED},
        {"no log file", [](session_properties &p) { p.properties.LogFileNameOffset = 0; }, ERROR_INVALID_PARAMETER},
        {"log file past the buffer",
         [](session_properties &p) { p.properties.LogFileNameOffset = p.properties.Wnode.BufferSize; },
         ERROR_INVALID_PARAMETER},
        {"log file without its end",
         [](session_properties &p) {
             for (WCHAR &c : p.log_file) {
                 c = L'x';
             }
         },
         ERROR_INVALID_PARAMETER},
        {"folder missing", [](session_properties &p) { p = properties_for("/nonexistent-folder/trace.txt"); },
         ERROR_BAD_PATHNAME},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        session_properties p = properties_for(good);
        c.change(p);
        TRACEHANDLE handle = 0x5A5A;
        EXPECT_EQ(c.expected, StartTraceW(&handle, L"Refused", &p.properties));
        EXPECT_EQ(0x5A5Au, handle);
    }
    session_properties p = properties_for(good);
    TRACEHANDLE handle = 0x5A5A;
    EXPECT_EQ((ULONG)ERROR_INVALID_PARAMETER, StartTraceW(nullptr, L"Refused", &p.properties));
    EXPECT_EQ((ULONG)ERROR_INVALID_PARAMETER, StartTraceW(&handle, nullptr, &p.properties));
    EXPECT_EQ((ULONG)ERROR_INVALID_PARAMETER, StartTraceW(&handle, L"Refused", nullptr));
    EXPECT_EQ(0x5A5Au, handle);

    const TRACEHANDLE running = start(L"Once", good);
    EXPECT_EQ((ULONG)ERROR_ALREADY_EXISTS, StartTraceW(&handle, L"Once", &p.properties));
    EXPECT_EQ(0x5A5Au, handle);
    EXPECT_EQ((ULONG)ERROR_NOT_SUPPORTED, ControlTraceW(running, nullptr, &p.properties, EVENT_TRACE_CONTROL_QUERY));
    EXPECT_EQ((ULONG)ERROR_INVALID_PARAMETER, ControlTraceW(running, nullptr, nullptr, EVENT_TRACE_CONTROL_STOP));
    EXPECT_EQ((ULONG)ERROR_SUCCESS, StopTraceW(0, L"Once", &p.properties));
    EXPECT_EQ((ULONG)ERROR_WMI_INSTANCE_NOT_FOUND, StopTraceW(running, nullptr, &p.properties));
    EXPECT_EQ((ULONG)ERROR_WMI_INSTANCE_NOT_FOUND, StopTraceW(0, L"Once", &p.properties));
}

TEST_F(TraceSessionTests, SessionTakesTheLevelsAndKeywordsItEnablesAlsoFromALaterProvider)
{
    const std::string log_file = file("trace-levels.txt");
    const TRACEHANDLE session = start(L"Levels", log_file);
    ASSERT_EQ((ULONG)ERROR_SUCCESS,
              EnableTraceEx2(session, &provider_a, EVENT_CONTROL_CODE_ENABLE_PROVIDER, TRACE_LEVEL_WARNING, 0, 0, 0,
                             nullptr));
    enable_log log;
    REGHANDLE handle = 0;
    ASSERT_EQ((ULONG)ERROR_SUCCESS, EventRegister(&provider_a, on_enable, &log, &handle));
    EXPECT_EQ(std::vector<ULONG>{EVENT_CONTROL_CODE_ENABLE_PROVIDER}, log.codes) << "enabled during registration";
    EXPECT_EQ(TRACE_LEVEL_WARNING, log.level);
    EXPECT_EQ(~0ULL, log.any) << "no keywords take every keyword";
    EXPECT_TRUE(EventProviderEnabled(handle, TRACE_LEVEL_WARNING, 0x8));
    EXPECT_FALSE(EventProviderEnabled(handle, TRACE_LEVEL_INFORMATION, 0x8));

    for (UCHAR level : {TRACE_LEVEL_ERROR, TRACE_LEVEL_WARNING, TRACE_LEVEL_INFORMATION, TRACE_LEVEL_VERBOSE}) {
        EXPECT_EQ((ULONG)ERROR_SUCCESS, EventWriteString(handle, level, 0x1, L"Write: by level"));
    }
    ASSERT_EQ((ULONG)ERROR_SUCCESS,
              EnableTraceEx2(session, &provider_a, EVENT_CONTROL_CODE_ENABLE_PROVIDER, TRACE_LEVEL_WARNING, 0x2, 0, 0,
                             nullptr));
    EXPECT_EQ(2u, log.codes.size());
    EXPECT_EQ(0x2u, log.any);
    EventWriteString(handle, TRACE_LEVEL_ERROR, 0x4, L"Write: another keyword");
    EventWriteString(handle, TRACE_LEVEL_ERROR, 0x2, L"Write: its keyword");
    EventWriteString(handle, TRACE_LEVEL_ERROR, 0, L"Write: no keyword");

    session_properties p = properties_for("");
    EXPECT_EQ((ULONG)ERROR_SUCCESS, ControlTraceW(session, nullptr, &p.properties, EVENT_TRACE_CONTROL_FLUSH));
    const auto records = records_in(log_file);
    ASSERT_EQ(4u, records.size());
    EXPECT_EQ(std::to_string(GetCurrentProcessId()), records[0][1]);
    EXPECT_EQ(std::to_string(GetCurrentThreadId()), records[0][2]);
    EXPECT_EQ(platform::trace_provider(provider_a).module, records[0][3]);
    EXPECT_EQ((ULONG)ERROR_SUCCESS, stop(session));
    EXPECT_EQ((std::vector<ULONG>{1, 1, EVENT_CONTROL_CODE_DISABLE_PROVIDER}), log.codes);
    EXPECT_EQ((std::vector<std::string>{"ERROR", "WARNING", "ERROR", "ERROR"}), levels_in(log_file));
    EXPECT_FALSE(EventProviderEnabled(handle, TRACE_LEVEL_ERROR, 0));
    EXPECT_EQ((ULONG)ERROR_SUCCESS, EventUnregister(handle));
}

TEST_F(TraceSessionTests, ProviderGetsEverySessionsLevelAndKeywordsTogether)
{
    const std::string file1 = file("trace-together-1.txt");
    const std::string file2 = file("trace-together-2.txt");
    const TRACEHANDLE s1 = start(L"Errors", file1);
    const TRACEHANDLE s2 = start(L"Stream", file2);
    EnableTraceEx2(s1, &provider_a, EVENT_CONTROL_CODE_ENABLE_PROVIDER, TRACE_LEVEL_ERROR, 0x1, 0, 0, nullptr);
    EnableTraceEx2(s2, &provider_a, EVENT_CONTROL_CODE_ENABLE_PROVIDER, TRACE_LEVEL_VERBOSE, 0x4, 0, 0, nullptr);
    enable_log log;
    REGHANDLE handle = 0;
    ASSERT_EQ((ULONG)ERROR_SUCCESS, EventRegister(&provider_a, on_enable, &log, &handle));
    EXPECT_EQ(TRACE_LEVEL_VERBOSE, log.level);
    EXPECT_EQ(0x5u, log.any);
    EventWriteString(handle, TRACE_LEVEL_VERBOSE, 0x4, L"Stream: verbose");
    EventWriteString(handle, TRACE_LEVEL_ERROR, 0x1, L"General: error");
    EventWriteString(handle, TRACE_LEVEL_ERROR, 0x4, L"Stream: error");

    EXPECT_EQ((ULONG)ERROR_SUCCESS,
              EnableTraceEx2(s2, &provider_a, EVENT_CONTROL_CODE_DISABLE_PROVIDER, 0, 0, 0, 0, nullptr));
    EXPECT_EQ(EVENT_CONTROL_CODE_ENABLE_PROVIDER, log.codes.back()) << "the other session still enables it";
    EXPECT_EQ(TRACE_LEVEL_ERROR, log.level);
    EXPECT_EQ(0x1u, log.any);
    EventWriteString(handle, TRACE_LEVEL_VERBOSE, 0x4, L"Stream: after");
    EXPECT_EQ((ULONG)ERROR_SUCCESS, stop(s1));
    EXPECT_EQ(EVENT_CONTROL_CODE_DISABLE_PROVIDER, log.codes.back());
    EXPECT_EQ((ULONG)ERROR_SUCCESS, stop(s2));
    EXPECT_EQ(3u, log.codes.size());
    EXPECT_EQ((std::vector<std::string>{"ERROR"}), levels_in(file1));
    EXPECT_EQ((std::vector<std::string>{"VERBOSE", "ERROR"}), levels_in(file2));
    EventUnregister(handle);
}

TEST_F(TraceSessionTests, UnregisteredProviderIsCalledNoMoreAndItsHandleRefused)
{
    const TRACEHANDLE session = start(L"Control", file("trace-control.txt"));
    enable_log log;
    REGHANDLE handle = 0;
    ASSERT_EQ((ULONG)ERROR_SUCCESS, EventRegister(&provider_b, on_enable, &log, &handle));
    EXPECT_EQ((ULONG)ERROR_SUCCESS,
              EnableTraceEx2(session, &provider_b, EVENT_CONTROL_CODE_CAPTURE_STATE, 0, 0, 0, 0, nullptr));
    EXPECT_TRUE(log.codes.empty()) << "no state to capture while not enabled";
    EnableTraceEx2(session, &provider_b, EVENT_CONTROL_CODE_ENABLE_PROVIDER, TRACE_LEVEL_INFORMATION, 0, 0, 0, nullptr);
    EnableTraceEx2(session, &provider_b, EVENT_CONTROL_CODE_CAPTURE_STATE, 0, 0, 0, 0, nullptr);
    EXPECT_EQ((std::vector<ULONG>{EVENT_CONTROL_CODE_ENABLE_PROVIDER, EVENT_CONTROL_CODE_CAPTURE_STATE}), log.codes);
    EXPECT_EQ((ULONG)ERROR_INVALID_PARAMETER,
              EnableTraceEx2(session, &provider_b, 7, TRACE_LEVEL_INFORMATION, 0, 0, 0, nullptr));
    EXPECT_EQ((ULONG)ERROR_INVALID_PARAMETER,
              EnableTraceEx2(session + 1000, &provider_b, EVENT_CONTROL_CODE_ENABLE_PROVIDER, 0, 0, 0, 0, nullptr));
    EXPECT_EQ((ULONG)ERROR_INVALID_PARAMETER,
              EnableTraceEx2(session, nullptr, EVENT_CONTROL_CODE_ENABLE_PROVIDER, 0, 0, 0, 0, nullptr));
    EXPECT_EQ((ULONG)ERROR_INVALID_PARAMETER, EventWriteString(handle, TRACE_LEVEL_ERROR, 0, nullptr));

    EXPECT_EQ((ULONG)ERROR_SUCCESS, EventUnregister(handle));
    EnableTraceEx2(session, &provider_b, EVENT_CONTROL_CODE_DISABLE_PROVIDER, 0, 0, 0, 0, nullptr);
    EXPECT_EQ(2u, log.codes.size());
    EXPECT_EQ((ULONG)ERROR_INVALID_HANDLE, EventUnregister(handle));
    EXPECT_EQ((ULONG)ERROR_INVALID_HANDLE, EventWriteString(handle, TRACE_LEVEL_ERROR, 0, L"gone"));
    EXPECT_EQ((ULONG)ERROR_INVALID_PARAMETER, EventRegister(nullptr, nullptr, nullptr, &handle));
    EXPECT_EQ((ULONG)ERROR_INVALID_PARAMETER, EventRegister(&provider_b, nullptr, nullptr, nullptr));
    EXPECT_EQ((ULONG)ERROR_SUCCESS, stop(session));
}

TEST_F(TraceSessionTests, ProcessThatEndsLosesItsRegistrations)
{
    const ULONG before = platform::trace_provider(provider_b).live;
    platform::process *p = platform::process_create(L"tracer.exe", L"");
    ASSERT_NE(nullptr, p);
    platform::thread *t = platform::process_start_thread(p, [] {
        REGHANDLE handle = 0;
        EventRegister(&provider_b, nullptr, nullptr, &handle);
    });
    ASSERT_NE(nullptr, t);
    ASSERT_TRUE(platform::process_wait_threads(p, 10000));
    EXPECT_EQ(before + 1, platform::trace_provider(provider_b).live);
    platform::process_terminate(p, 0);
    EXPECT_EQ(before, platform::trace_provider(provider_b).live);
    platform::thread_dereference(t);
    platform::process_dereference(p);
}

} // namespace
