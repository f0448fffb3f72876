// A small program module for the CreateProcessW tests: signals a named event with its command
// line's length, then waits for the test to let it end, and returns 3.
#include <windows.h>

extern "C" __attribute__((visibility("default"))) int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR command_line,
                                                                     int)
{
    HANDLE started = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"k32testprogram-started");
    HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, L"k32testprogram-release");
    HANDLE owned = CreateMutexW(nullptr, TRUE, L"Global\\k32testprogram-owned");
    const bool right_module = GetModuleHandleW(nullptr) == instance;
    const bool right_arguments = lstrlenW(command_line) == 5; // "-tray"
    if (started != nullptr && right_module && right_arguments) {
        SetEvent(started);
    }
    if (release != nullptr) {
        WaitForSingleObject(release, INFINITE);
    }
    CloseHandle(owned);
    CloseHandle(release);
    CloseHandle(started);
    return 3;
}
