// The Control Panel applet: one entry that starts the stack's control-panel program from the
// path the installer wrote under the stack's setup key. Built once per stack.
#include <windows.h>
#include <cpl.h>
#include "AppletResources.h"

namespace {

// The registry value is read into 256 bytes of wide text.
constexpr DWORD ProgramPathChars = 256 / 2;

// Reads the program path; false when the key or value is missing, not REG_SZ, empty, or too
// long to fit with its terminator (a value that fills the buffer without one counts as too
// long).
bool ReadProgramPath(WCHAR (&path)[ProgramPathChars])
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, APPLET_SETUP_KEY, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        return false;
    }
    DWORD type = REG_NONE;
    DWORD size = sizeof(path);
    const LSTATUS status = RegQueryValueExW(key, APPLET_PROGRAM_VALUE, nullptr, &type, (LPBYTE)path, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ) {
        return false;
    }
    DWORD length = size / sizeof(WCHAR);
    if (length > 0 && path[length - 1] == L'\0') {
        --length;
    } else if (length == ProgramPathChars) {
        return false;
    }
    path[length] = L'\0';
    return length > 0;
}

void StartControlPanel()
{
    WCHAR path[ProgramPathChars];
    if (!ReadProgramPath(path)) {
        return;
    }
    STARTUPINFOW startup = {};
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(path, nullptr, nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS, nullptr,
                       nullptr, &startup, &info)) {
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
}

} // namespace

extern "C" __attribute__((visibility("default"))) LONG APIENTRY CPlApplet(HWND hwndCpl, UINT msg, LPARAM lParam1,
                                                                          LPARAM lParam2)
{
    UNREFERENCED_PARAMETER(hwndCpl);
    UNREFERENCED_PARAMETER(lParam1);
    LONG result = 0;
    switch (msg) {
    case CPL_INIT:
        result = 1;
        break;
    case CPL_GETCOUNT:
        result = 1;
        break;
    case CPL_INQUIRE: {
        auto *info = reinterpret_cast<LPCPLINFO>(lParam2);
        if (info != nullptr) {
            info->idIcon = IDI_APPLET;
            info->idName = IDS_APPLET_NAME;
            info->idInfo = IDS_APPLET_INFO;
            info->lData = 0;
        }
        break;
    }
    case CPL_DBLCLK:
        StartControlPanel();
        break;
    default:
        break;
    }
    return result;
}
