// The Win32 conformance checks of the Windows test host on the stand-in, in a freshly booted
// machine; each failed check is printed with what the stand-in answered.
#include <gtest/gtest.h>
#include <platform/machine_state.h>
#include "SmokeTests.h"

TEST(Win32Conformance, TheStandInAnswersTheChecksAsWindowsDocumentsThem)
{
    platform::machine_boot();
    EXPECT_EQ(0, RunWin32Conformance());
    platform::machine_shutdown();
}
