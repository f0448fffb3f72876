// The fuzz targets' process: flags a target runs with unless its command line says otherwise,
// the state it keeps from input to input, the stop of a check that failed, and its end. The
// state (a machine, devices, drivers, open handles) is taken down when libFuzzer exits, on a
// thread of its own, because the exiting thread's kernel identity is already gone when exit
// handlers run; then the leak check runs over what is left and the process ends with
// libFuzzer's status (or the leak check's), without the other exit handlers of a machine
// already shut down.
#pragma once
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <stdlib.h>
#include <string>
#include <thread>
#include <utility>
#include <vector>
#include <sanitizer/lsan_interface.h>
#include <platform/verifier.h>
#include "FuzzInput.h"

namespace usbaudio_test {

// From LLVMFuzzerInitialize: flags placed before the command line's own, which win.
inline void fuzz_default_flags(int *argc, char ***argv, std::initializer_list<const char *> flags)
{
    static std::vector<char *> arguments;
    arguments.assign(*argv, *argv + *argc);
    arguments.insert(arguments.begin() + 1, flags.size(), nullptr);
    std::size_t at = 1;
    for (const char *flag : flags) {
        arguments[at++] = const_cast<char *>(flag);
    }
    arguments.push_back(nullptr);
    *argc = static_cast<int>(arguments.size() - 1);
    *argv = arguments.data();
}

// Prints "<target>: <what>" and stops the process: libFuzzer counts it as a crash and keeps the
// input.
[[noreturn]] inline __attribute__((format(printf, 2, 3))) void fuzz_stop(const char *target, const char *format, ...)
{
    std::fprintf(stderr, "%s: ", target);
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fprintf(stderr, "\n");
    std::abort();
}

// After an input: the thread is back at PASSIVE_LEVEL and holds no spin lock.
inline void fuzz_check_thread(const char *target)
{
    std::string why;
    if (!platform::verifier_thread_clean(&why)) {
        fuzz_stop(target, "%s", why.c_str());
    }
}

inline void fuzz_teardown_at_exit(std::function<void()> teardown)
{
    static std::function<void()> registered;
    registered = std::move(teardown);
    on_exit(
        [](int status, void *) {
            std::thread([] { registered(); }).join();
            std::_Exit(status != 0 ? status : (__lsan_do_recoverable_leak_check() != 0 ? 1 : 0));
        },
        nullptr);
}

// The target's state, made on the first input and taken down at exit.
template <typename Bench>
Bench &fuzz_bench()
{
    static Bench *bench = [] {
        auto made = new Bench;
        fuzz_teardown_at_exit([made] { delete made; });
        return made;
    }();
    return *bench;
}

// The flags of targets whose drivers stream from input to input: their threads allocate and
// free across inputs, so leaks are looked for once, after the teardown, rather than by a heap
// scan after nearly every input; an input is at most 256 bytes.
inline void fuzz_streaming_flags(int *argc, char ***argv)
{
    fuzz_default_flags(argc, argv, {"-detect_leaks=0", "-max_len=256"});
}

// One input of a target that keeps Bench (made on the first input) and runs each input on it.
template <typename Bench>
int fuzz_run_kept(const char *target, const std::uint8_t *data, std::size_t size)
{
    fuzz_input input(data, size);
    fuzz_bench<Bench>().run(input);
    fuzz_check_thread(target);
    return 0;
}

} // namespace usbaudio_test
