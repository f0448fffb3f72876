// The driver-update tool: forces the standard stack's INF onto the devices with a hardware ID.
// Command line: tool path, INF path, hardware ID. Exit code 0 on success, 1 on any failure;
// it shows no window and reports nothing else.
#include <windows.h>
#include <shellapi.h>
#include <newdev.h>

namespace {

constexpr int ExitSuccess = 0;
constexpr int ExitFailure = 1;

int UpdateDevice(LPCWSTR infArgument, LPCWSTR hardwareId)
{
    WCHAR infPath[MAX_PATH];
    const DWORD length = GetFullPathNameW(infArgument, MAX_PATH, infPath, nullptr);
    if (length == 0 || length >= MAX_PATH) {
        return ExitFailure;
    }
    if (GetFileAttributesW(infPath) == INVALID_FILE_ATTRIBUTES) {
        return ExitFailure;
    }
    BOOL rebootRequired = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, hardwareId, infPath, INSTALLFLAG_FORCE, &rebootRequired)) {
        return ExitFailure;
    }
    return ExitSuccess;
}

} // namespace

extern "C" __attribute__((visibility("default"))) int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance,
                                                                     LPWSTR lpCmdLine, int nShowCmd)
{
    UNREFERENCED_PARAMETER(hInstance);
    UNREFERENCED_PARAMETER(hPrevInstance);
    UNREFERENCED_PARAMETER(lpCmdLine);
    UNREFERENCED_PARAMETER(nShowCmd);
    int argumentCount = 0;
    LPWSTR *arguments = CommandLineToArgvW(GetCommandLineW(), &argumentCount);
    if (arguments == nullptr) {
        return ExitFailure;
    }
    const int result = argumentCount < 3 ? ExitFailure : UpdateDevice(arguments[1], arguments[2]);
    LocalFree(arguments);
    return result;
}
