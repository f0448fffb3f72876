// The fuzz targets' process: flags a target runs with unless its command line says otherwise,
// and its end. State kept from input to input (a machine, devices, drivers, open handles) is
// taken down when libFuzzer exits, on a thread of its own, because the exiting thread's kernel
// identity is already gone when exit handlers run; then the leak check runs over what is left
// and the process ends with libFuzzer's status (or the leak check's), without the other exit
// handlers of a machine already shut down.
#pragma once
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <stdlib.h>
#include <thread>
#include <utility>
#include <vector>
#include <sanitizer/lsan_interface.h>

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

} // namespace usbaudio_test
