// A resource-only library for the resource tests: its code is this empty entry, its resources
// come from ResourceLibrary.rc.
#include <windows.h>

extern "C" __attribute__((visibility("default"))) BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
