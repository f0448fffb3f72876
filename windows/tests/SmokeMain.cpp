// ovmsmoke: the Windows test host. "ovmsmoke asio <driver path>" runs an ASIO driver's smoke
// test; "ovmsmoke coinstallers|applets|updatetool <module folder>" the setup tools'; "ovmsmoke
// win32" the Win32 conformance checks. Exit code 0 when every check passed, 1 when one failed,
// 2 for a bad command line.
#include <windows.h>
#include <cstdio>
#include <cwchar>
#include "SmokeCheck.h"
#include "SmokeTests.h"

namespace {

int RunWin32(LPCWSTR)
{
    return RunWin32Conformance();
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    const struct {
        LPCWSTR name;
        int (*run)(LPCWSTR);
    } tests[] = {
        {L"asio", RunAsioDriverSmoke},
        {L"coinstallers", RunCoInstallerSmoke},
        {L"applets", RunAppletSmoke},
        {L"updatetool", RunUpdateToolSmoke},
        {L"win32", RunWin32},
    };
    if (argc == 2 || argc == 3) {
        for (const auto &test : tests) {
            if (std::wcscmp(argv[1], test.name) == 0 && (argc == 3) == (test.run != RunWin32)) {
                const int failures = test.run(argc == 3 ? argv[2] : nullptr);
                std::printf("%ls: %d checks, %d failed\n", test.name, smoke::CheckCount(), failures);
                return failures == 0 ? 0 : 1;
            }
        }
    }
    std::printf("usage: ovmsmoke asio <driver path> | coinstallers|applets|updatetool <module folder> | win32\n");
    return 2;
}
