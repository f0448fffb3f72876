// The fuzz targets' end: state kept from input to input (a machine, devices, drivers, open
// handles) is taken down when libFuzzer exits, on a thread of its own, because the exiting
// thread's kernel identity is already gone when exit handlers run. The process then ends with
// libFuzzer's status, without running the other exit handlers of a machine already shut down.
#pragma once
#include <cstdlib>
#include <functional>
#include <stdlib.h>
#include <thread>
#include <utility>

namespace usbaudio_test {

inline void fuzz_teardown_at_exit(std::function<void()> teardown)
{
    static std::function<void()> registered;
    registered = std::move(teardown);
    on_exit(
        [](int status, void *) {
            std::thread([] { registered(); }).join();
            std::_Exit(status);
        },
        nullptr);
}

} // namespace usbaudio_test
