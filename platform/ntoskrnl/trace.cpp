// The event tracing core: provider registrations, trace sessions with their log files, and
// captures. One recursive control lock serialises registrations, session changes and the
// providers' enable routines, so that a provider sees its enablement changes in order and
// none after it unregisters; the data lock guards the tables and is the only lock a write
// takes.
#include <platform/trace.h>
#include <evntrace.h>
#include <platform/clock.h>
#include <platform/process.h>
#include <platform/thread.h>
#include <winerror.h>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include "kernel_internal.h"

namespace platform {
namespace {

struct guid_less {
    bool operator()(const GUID &a, const GUID &b) const { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }
};

// What a session takes from a provider. Level 0 and keywords 0 were widened to "all" when set.
struct event_filter {
    UCHAR level = 0;
    ULONGLONG match_any = 0;
    ULONGLONG match_all = 0;

    bool passes(UCHAR event_level, ULONGLONG keyword) const
    {
        return event_level <= level &&
               (keyword == 0 || ((keyword & match_any) != 0 && (keyword & match_all) == match_all));
    }
};

event_filter make_filter(UCHAR level, ULONGLONG match_any, ULONGLONG match_all)
{
    return event_filter{level == 0 ? (UCHAR)0xFF : level, match_any == 0 ? ~0ULL : match_any, match_all};
}

struct session {
    ULONGLONG handle = 0;
    std::wstring name;
    std::FILE *file = nullptr;
    std::optional<event_filter> every_provider; // captures of every provider
    std::map<GUID, event_filter, guid_less> providers;
    std::vector<trace_record> records; // captures keep their records

    const event_filter *filter_for(const GUID &provider) const
    {
        auto it = providers.find(provider);
        if (it != providers.end()) {
            return &it->second;
        }
        return every_provider ? &*every_provider : nullptr;
    }
};

struct registration {
    GUID provider{};
    trace_enable_routine enable;
    std::string module_path;
    std::string name;
    bool kernel = false;
    ULONG process_id = 0;
};

struct trace_state {
    std::recursive_mutex control;
    std::mutex data;
    std::map<ULONGLONG, registration> registrations;
    std::vector<std::unique_ptr<session>> sessions;
    std::map<GUID, trace_provider_state, guid_less> history;
    ULONGLONG next_handle = 1;
};

trace_state &state()
{
    static auto *s = new trace_state();
    return *s;
}

// The level and keywords of every session that enables the provider together.
struct enablement {
    bool enabled = false;
    UCHAR level = 0;
    ULONGLONG match_any = 0;
    ULONGLONG match_all = 0;
};

enablement enablement_of(const trace_state &s, const GUID &provider)
{
    enablement e;
    e.match_all = ~0ULL;
    for (const auto &session : s.sessions) {
        if (const event_filter *f = session->filter_for(provider)) {
            e.enabled = true;
            e.level = f->level > e.level ? f->level : e.level;
            e.match_any |= f->match_any;
            e.match_all &= f->match_all;
        }
    }
    if (!e.enabled) {
        e.match_all = 0;
    }
    return e;
}

std::string guid_text(const GUID &g)
{
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", (unsigned)g.Data1,
                  (unsigned)g.Data2, (unsigned)g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

std::string utf8(const WCHAR *text)
{
    std::string out;
    for (; *text != L'\0'; ++text) {
        const auto c = (std::uint32_t)*text;
        if (c < 0x80) {
            out.push_back((char)c);
        } else if (c < 0x800) {
            out.push_back((char)(0xC0 | (c >> 6)));
            out.push_back((char)(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back((char)(0xE0 | (c >> 12)));
            out.push_back((char)(0x80 | ((c >> 6) & 0x3F)));
            out.push_back((char)(0x80 | (c & 0x3F)));
        } else {
            out.push_back('?');
        }
    }
    return out;
}

std::string module_name(const std::string &path)
{
    std::string name = path.substr(path.find_last_of('/') + 1);
    return name.substr(0, name.find('.'));
}

// A comment line in the log file of every session that enables the provider. Data lock held.
void note_provider(const trace_state &s, const GUID &provider, const std::string &what)
{
    for (const auto &session : s.sessions) {
        if (session->file != nullptr && session->filter_for(provider) != nullptr) {
            std::fprintf(session->file, "# %s %s\n", what.c_str(), guid_text(provider).c_str());
        }
    }
}

void write_line(std::FILE *file, const trace_record &r)
{
    std::fprintf(file, "%12.6f %5u %5u %-18s %-11s %s%s%s\n", (double)r.time / (double)ticks_per_second,
                 (unsigned)r.process_id, (unsigned)r.thread_id, r.provider_name.c_str(),
                 trace_level_name(r.level).c_str(), r.function.c_str(), r.function.empty() ? "" : ": ",
                 r.text.c_str());
}

// Runs the enable routines of the provider's registrations with its enablement now, or with
// the capture-state code. Control lock held, data lock not.
void notify(trace_state &s, const GUID &provider, bool capture_state)
{
    std::vector<trace_enable_routine> routines;
    enablement e;
    {
        std::lock_guard<std::mutex> data(s.data);
        e = enablement_of(s, provider);
        for (const auto &entry : s.registrations) {
            if (entry.second.provider == provider && entry.second.enable) {
                routines.push_back(entry.second.enable);
            }
        }
    }
    if (capture_state && !e.enabled) {
        return;
    }
    const ULONG code = capture_state ? EVENT_CONTROL_CODE_CAPTURE_STATE
                       : e.enabled   ? EVENT_CONTROL_CODE_ENABLE_PROVIDER
                                     : EVENT_CONTROL_CODE_DISABLE_PROVIDER;
    for (const trace_enable_routine &routine : routines) {
        routine(code, e.level, e.match_any, e.match_all);
    }
}

session *find_session(trace_state &s, ULONGLONG handle, const std::wstring &name)
{
    for (const auto &session : s.sessions) {
        if (handle != 0 ? session->handle == handle : (!name.empty() && session->name == name)) {
            return session.get();
        }
    }
    return nullptr;
}

// Ends a session and tells its providers. Control lock held.
void end_session(trace_state &s, session *ending)
{
    std::vector<GUID> providers;
    std::unique_ptr<session> owned;
    {
        std::lock_guard<std::mutex> data(s.data);
        for (auto it = s.sessions.begin(); it != s.sessions.end(); ++it) {
            if (it->get() == ending) {
                owned = std::move(*it);
                s.sessions.erase(it);
                break;
            }
        }
        for (const auto &entry : owned->providers) {
            providers.push_back(entry.first);
        }
        if (owned->every_provider) {
            for (const auto &entry : s.registrations) {
                providers.push_back(entry.second.provider);
            }
        }
        if (owned->file != nullptr) {
            std::fclose(owned->file);
        }
    }
    for (const GUID &provider : providers) {
        notify(s, provider, false);
    }
}

void forget_process(process *p)
{
    trace_state &s = state();
    std::lock_guard<std::recursive_mutex> control(s.control);
    std::lock_guard<std::mutex> data(s.data);
    for (auto it = s.registrations.begin(); it != s.registrations.end();) {
        if (!it->second.kernel && it->second.process_id == p->id) {
            s.history[it->second.provider].live -= 1;
            it = s.registrations.erase(it);
        } else {
            ++it;
        }
    }
}

// A process that ends without unregistering its providers loses them, as on Windows.
const process_end_hook g_process_end("trace", forget_process);

ULONGLONG add_session(std::unique_ptr<session> created)
{
    trace_state &s = state();
    std::lock_guard<std::mutex> data(s.data);
    created->handle = s.next_handle++;
    const ULONGLONG handle = created->handle;
    s.sessions.push_back(std::move(created));
    return handle;
}

} // namespace

ULONGLONG trace_register(const GUID &provider, trace_enable_routine enable, const void *caller, bool kernel)
{
    trace_state &s = state();
    std::lock_guard<std::recursive_mutex> control(s.control);
    registration entry;
    entry.provider = provider;
    entry.enable = enable;
    entry.module_path = module_of_address(caller);
    entry.name = module_name(entry.module_path);
    entry.kernel = kernel;
    entry.process_id = process_current()->id;
    enablement e;
    ULONGLONG handle = 0;
    {
        std::lock_guard<std::mutex> data(s.data);
        handle = s.next_handle++;
        trace_provider_state &history = s.history[provider];
        history.registrations += 1;
        history.live += 1;
        history.module = entry.name;
        note_provider(s, provider, entry.name + " registered");
        s.registrations.emplace(handle, std::move(entry));
        e = enablement_of(s, provider);
    }
    if (enable && e.enabled) {
        enable(EVENT_CONTROL_CODE_ENABLE_PROVIDER, e.level, e.match_any, e.match_all);
    }
    return handle;
}

bool trace_unregister(ULONGLONG handle)
{
    trace_state &s = state();
    std::lock_guard<std::recursive_mutex> control(s.control);
    std::lock_guard<std::mutex> data(s.data);
    auto it = s.registrations.find(handle);
    if (it == s.registrations.end()) {
        return false;
    }
    s.history[it->second.provider].live -= 1;
    note_provider(s, it->second.provider, it->second.name + " unregistered");
    s.registrations.erase(it);
    return true;
}

bool trace_provider_enabled(ULONGLONG handle, UCHAR level, ULONGLONG keyword)
{
    trace_state &s = state();
    std::lock_guard<std::mutex> data(s.data);
    auto it = s.registrations.find(handle);
    if (it == s.registrations.end()) {
        return false;
    }
    for (const auto &session : s.sessions) {
        const event_filter *f = session->filter_for(it->second.provider);
        if (f != nullptr && f->passes(level, keyword)) {
            return true;
        }
    }
    return false;
}

bool trace_write(ULONGLONG handle, UCHAR level, ULONGLONG keyword, const WCHAR *text)
{
    trace_record record;
    record.time = clock_now();
    record.process_id = process_current()->id;
    record.thread_id = current_thread()->id;
    record.level = level;
    record.keyword = keyword;
    trace_state &s = state();
    std::lock_guard<std::mutex> data(s.data);
    auto it = s.registrations.find(handle);
    if (it == s.registrations.end()) {
        return false;
    }
    bool formed = false;
    for (const auto &session : s.sessions) {
        const event_filter *f = session->filter_for(it->second.provider);
        if (f == nullptr || !f->passes(level, keyword)) {
            continue;
        }
        if (!formed) {
            formed = true;
            record.provider = it->second.provider;
            record.provider_name = it->second.name;
            std::string all = utf8(text);
            while (!all.empty() && (all.back() == '\n' || all.back() == '\r')) {
                all.pop_back();
            }
            const size_t colon = all.find(": ");
            if (colon != std::string::npos && colon > 0 && all.find(' ') >= colon) {
                record.function = all.substr(0, colon);
                record.text = all.substr(colon + 2);
            } else {
                record.text = all;
            }
        }
        if (session->file != nullptr) {
            write_line(session->file, record);
        } else {
            session->records.push_back(record);
        }
    }
    return true;
}

DWORD trace_session_start(const std::wstring &name, const std::wstring &log_file, ULONGLONG *handle)
{
    trace_state &s = state();
    std::lock_guard<std::recursive_mutex> control(s.control);
    {
        std::lock_guard<std::mutex> data(s.data);
        if (find_session(s, 0, name) != nullptr) {
            return ERROR_ALREADY_EXISTS;
        }
    }
    auto created = std::make_unique<session>();
    created->name = name;
    created->file = std::fopen(utf8(log_file.c_str()).c_str(), "w");
    if (created->file == nullptr) {
        return ERROR_BAD_PATHNAME;
    }
    std::setvbuf(created->file, nullptr, _IOFBF, 1 << 16);
    std::fprintf(created->file, "# trace session %s\n# %12s %5s %5s %-18s %-11s %s\n", utf8(name.c_str()).c_str(),
                 "seconds", "pid", "tid", "provider", "level", "function: text");
    *handle = add_session(std::move(created));
    return ERROR_SUCCESS;
}

DWORD trace_session_stop(ULONGLONG handle, const std::wstring &name)
{
    trace_state &s = state();
    std::lock_guard<std::recursive_mutex> control(s.control);
    session *found = nullptr;
    {
        std::lock_guard<std::mutex> data(s.data);
        found = find_session(s, handle, name);
    }
    if (found == nullptr) {
        return ERROR_WMI_INSTANCE_NOT_FOUND;
    }
    end_session(s, found);
    return ERROR_SUCCESS;
}

DWORD trace_session_flush(ULONGLONG handle, const std::wstring &name)
{
    trace_state &s = state();
    std::lock_guard<std::mutex> data(s.data);
    session *found = find_session(s, handle, name);
    if (found == nullptr) {
        return ERROR_WMI_INSTANCE_NOT_FOUND;
    }
    if (found->file != nullptr) {
        std::fflush(found->file);
    }
    return ERROR_SUCCESS;
}

DWORD trace_session_enable(ULONGLONG handle, const GUID &provider, ULONG control_code, UCHAR level,
                           ULONGLONG match_any, ULONGLONG match_all)
{
    trace_state &s = state();
    std::lock_guard<std::recursive_mutex> control(s.control);
    {
        std::lock_guard<std::mutex> data(s.data);
        session *found = find_session(s, handle, std::wstring());
        if (found == nullptr) {
            return ERROR_INVALID_PARAMETER;
        }
        if (control_code == EVENT_CONTROL_CODE_ENABLE_PROVIDER) {
            const event_filter f = make_filter(level, match_any, match_all);
            found->providers[provider] = f;
            if (found->file != nullptr) {
                std::fprintf(found->file, "# enabled %s at level %s, keywords 0x%llX\n", guid_text(provider).c_str(),
                             trace_level_name(f.level).c_str(), (unsigned long long)f.match_any);
            }
        } else if (control_code == EVENT_CONTROL_CODE_DISABLE_PROVIDER) {
            found->providers.erase(provider);
        } else if (control_code != EVENT_CONTROL_CODE_CAPTURE_STATE) {
            return ERROR_INVALID_PARAMETER;
        }
    }
    notify(s, provider, control_code == EVENT_CONTROL_CODE_CAPTURE_STATE);
    return ERROR_SUCCESS;
}

trace_capture::trace_capture(const GUID *provider, UCHAR level, ULONGLONG match_any)
{
    trace_state &s = state();
    std::lock_guard<std::recursive_mutex> control(s.control);
    auto created = std::make_unique<session>();
    if (provider != nullptr) {
        created->providers[*provider] = make_filter(level, match_any, 0);
    } else {
        created->every_provider = make_filter(level, match_any, 0);
    }
    m_handle = add_session(std::move(created));
    std::vector<GUID> providers;
    {
        std::lock_guard<std::mutex> data(s.data);
        for (const auto &entry : s.registrations) {
            if (provider == nullptr || entry.second.provider == *provider) {
                providers.push_back(entry.second.provider);
            }
        }
    }
    for (const GUID &registered : providers) {
        notify(s, registered, false);
    }
}

trace_capture::~trace_capture()
{
    trace_session_stop(m_handle, std::wstring());
}

std::vector<trace_record> trace_capture::records() const
{
    trace_state &s = state();
    std::lock_guard<std::mutex> data(s.data);
    const session *found = find_session(s, m_handle, std::wstring());
    return found != nullptr ? found->records : std::vector<trace_record>();
}

trace_provider_state trace_provider(const GUID &provider)
{
    trace_state &s = state();
    std::lock_guard<std::mutex> data(s.data);
    auto it = s.history.find(provider);
    return it != s.history.end() ? it->second : trace_provider_state();
}

ULONG trace_live_registrations(const std::string &module_path)
{
    if (module_path.empty()) {
        return 0;
    }
    const std::string wanted = canonical_path(module_path.c_str());
    trace_state &s = state();
    std::lock_guard<std::mutex> data(s.data);
    ULONG live = 0;
    for (const auto &entry : s.registrations) {
        live += entry.second.module_path == wanted ? 1 : 0;
    }
    return live;
}

void trace_forget_module(const std::string &module_path)
{
    if (module_path.empty()) {
        return;
    }
    const std::string wanted = canonical_path(module_path.c_str());
    trace_state &s = state();
    std::lock_guard<std::recursive_mutex> control(s.control);
    std::lock_guard<std::mutex> data(s.data);
    for (auto it = s.registrations.begin(); it != s.registrations.end();) {
        if (it->second.module_path == wanted) {
            s.history[it->second.provider].live -= 1;
            it = s.registrations.erase(it);
        } else {
            ++it;
        }
    }
}

std::string trace_level_name(UCHAR level)
{
    switch (level) {
    case TRACE_LEVEL_CRITICAL: return "CRITICAL";
    case TRACE_LEVEL_ERROR: return "ERROR";
    case TRACE_LEVEL_WARNING: return "WARNING";
    case TRACE_LEVEL_INFORMATION: return "INFORMATION";
    case TRACE_LEVEL_VERBOSE: return "VERBOSE";
    default: return std::to_string(level);
    }
}

} // namespace platform
