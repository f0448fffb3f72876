// A small DLL for the loader tests: counts its process attach and detach calls in a named
// semaphore-free way, through exported counters the test reads with GetProcAddress.
#include <windows.h>

namespace {
LONG g_attached = 0;
LONG g_detached = 0;
} // namespace

extern "C" __attribute__((visibility("default"))) BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        ++g_attached;
    } else if (reason == DLL_PROCESS_DETACH) {
        ++g_detached;
        // A detach is visible after unload through the event the test created.
        HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"k32testlib-detached");
        if (event != nullptr) {
            SetEvent(event);
            CloseHandle(event);
        }
    }
    return TRUE;
}

extern "C" __attribute__((visibility("default"))) LONG WINAPI TestLibraryAttachCount()
{
    return g_attached;
}
