// The smoke tests' one check: a failed condition prints where it failed and why. Checks and
// failures are counted; a test's result is the number of failed checks.
#pragma once
#include <cstdio>

namespace smoke {

inline int &CheckCount()
{
    static int checks = 0;
    return checks;
}

inline int &FailureCount()
{
    static int failures = 0;
    return failures;
}

} // namespace smoke

#define SMOKE_CHECK(condition, ...)                                                                  \
    do {                                                                                             \
        ++smoke::CheckCount();                                                                       \
        if (!(condition)) {                                                                          \
            std::printf("%s:%d: failed: %s: ", __FILE__, __LINE__, #condition);                      \
            std::printf(__VA_ARGS__);                                                                \
            std::printf("\n");                                                                       \
            std::fflush(stdout);                                                                     \
            ++smoke::FailureCount();                                                                 \
        }                                                                                            \
    } while (0)
