// The setup and shell tools as Windows calls them: the co-installers through Windows' SetupAPI
// with a device information set, the Control Panel applets through their message protocol,
// and the driver-update tool as a process whose exit code is its only report.
#include <windows.h>
#include <setupapi.h>
#include <devguid.h>
#include <cpl.h>
#include <cwchar>
#include "SmokeCheck.h"
#include "SmokeTests.h"

namespace {

typedef DWORD(CALLBACK *CoInstallerEntry)(DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA, PCOINSTALLER_CONTEXT_DATA);

// Install function codes Windows sends, and two past them that a co-installer must take too.
constexpr DI_FUNCTION LastInstallFunction = 0x2A + 2;

// One of the standard stack's supported devices, as device setup would present it.
const WCHAR SupportedHardwareIds[] = L"USB\\VID_3A51&PID_0201&REV_0100\0USB\\VID_3A51&PID_0201\0";

HMODULE LoadModule(LPCWSTR folder, LPCWSTR name)
{
    WCHAR path[MAX_PATH];
    std::swprintf(path, MAX_PATH, L"%ls\\%ls", folder, name);
    HMODULE module = LoadLibraryW(path);
    SMOKE_CHECK(module != nullptr, "LoadLibrary %ls: %lu", path, GetLastError());
    return module;
}

// Calls the entry point with every install function code, for the set alone and for a device
// of the set; every answer must be NO_ERROR.
void SendEveryInstallFunction(LPCSTR entryName, CoInstallerEntry entry, HDEVINFO set, PSP_DEVINFO_DATA device)
{
    const PSP_DEVINFO_DATA devices[] = {nullptr, device};
    for (DI_FUNCTION code = 1; code <= LastInstallFunction; ++code) {
        for (PSP_DEVINFO_DATA data : devices) {
            COINSTALLER_CONTEXT_DATA context = {};
            const DWORD result = entry(code, set, data, &context);
            SMOKE_CHECK(result == NO_ERROR, "%s(0x%02lX, %s) gave %lu", entryName, (unsigned long)code,
                        data != nullptr ? "device" : "no device", result);
        }
    }
}

void RunCoInstaller(LPCWSTR folder, LPCWSTR moduleName, LPCSTR entryName, bool requestsFinishInstall)
{
    HMODULE module = LoadModule(folder, moduleName);
    const auto entry = module != nullptr ? (CoInstallerEntry)(void *)GetProcAddress(module, entryName) : nullptr;
    SMOKE_CHECK(module == nullptr || entry != nullptr, "%ls exports %s", moduleName, entryName);
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_MEDIA, nullptr);
    SMOKE_CHECK(set != INVALID_HANDLE_VALUE, "SetupDiCreateDeviceInfoList: %lu", GetLastError());
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    const bool created = set != INVALID_HANDLE_VALUE &&
                         SetupDiCreateDeviceInfoW(set, L"MEDIA", &GUID_DEVCLASS_MEDIA, nullptr, nullptr,
                                                  DICD_GENERATE_ID, &device) &&
                         SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                                           (const BYTE *)SupportedHardwareIds,
                                                           sizeof(SupportedHardwareIds));
    SMOKE_CHECK(created, "a device of the media class with a supported hardware ID: %lu", GetLastError());
    if (entry != nullptr && created) {
        SendEveryInstallFunction(entryName, entry, set, &device);
        SP_DEVINSTALL_PARAMS_W params = {};
        params.cbSize = sizeof(params);
        SMOKE_CHECK(SetupDiGetDeviceInstallParamsW(set, &device, &params), "SetupDiGetDeviceInstallParamsW");
        const bool requested = (params.FlagsEx & DI_FLAGSEX_FINISHINSTALL_ACTION) != 0;
        SMOKE_CHECK(requested == requestsFinishInstall, "%ls %s a finish-install action", moduleName,
                    requestsFinishInstall ? "requests" : "does not request");
    }
    if (set != INVALID_HANDLE_VALUE) {
        SetupDiDestroyDeviceInfoList(set);
    }
    if (module != nullptr) {
        FreeLibrary(module);
    }
}

struct AppletCase {
    LPCWSTR moduleName;
    int nameId;
    int infoId;
    LPCWSTR name;
    LPCWSTR info;
};

const AppletCase Applets[] = {
    {L"ovmlsaaudio.cpl", 102, 103, L"Orvan Marla Series Async Audio",
     L"Orvan Marla Series Async Audio Driver Control Panel"},
    {L"ovmlsaudio.dll", 106, 107, L"Orvan Marla Series Audio", L"Orvan Marla Series Audio Driver Control Panel"},
};

// The Control Panel shows the entry with the icon and strings CPL_INQUIRE names, loaded from
// the applet's resources; a library also carries its manifest.
void CheckAppletResources(HMODULE module, const AppletCase &applet, const CPLINFO &info)
{
    WCHAR text[128];
    SMOKE_CHECK(LoadStringW(module, info.idName, text, 128) > 0 && std::wcscmp(text, applet.name) == 0,
                "%ls name string %d", applet.moduleName, info.idName);
    SMOKE_CHECK(LoadStringW(module, info.idInfo, text, 128) > 0 && std::wcscmp(text, applet.info) == 0,
                "%ls info string %d", applet.moduleName, info.idInfo);
    SMOKE_CHECK(FindResourceW(module, MAKEINTRESOURCEW(info.idIcon), RT_GROUP_ICON) != nullptr,
                "%ls icon group %d", applet.moduleName, info.idIcon);
    SMOKE_CHECK(FindResourceW(module, MAKEINTRESOURCEW(2), RT_MANIFEST) != nullptr, "%ls manifest",
                applet.moduleName);
}

void RunApplet(LPCWSTR folder, const AppletCase &applet)
{
    HMODULE module = LoadModule(folder, applet.moduleName);
    const auto entry = module != nullptr ? (APPLET_PROC)(void *)GetProcAddress(module, "CPlApplet") : nullptr;
    SMOKE_CHECK(module == nullptr || entry != nullptr, "%ls exports CPlApplet", applet.moduleName);
    if (entry != nullptr) {
        SMOKE_CHECK(entry(nullptr, CPL_INIT, 0, 0) == 1, "%ls CPL_INIT", applet.moduleName);
        SMOKE_CHECK(entry(nullptr, CPL_GETCOUNT, 0, 0) == 1, "%ls CPL_GETCOUNT", applet.moduleName);
        CPLINFO info;
        info.idIcon = info.idName = info.idInfo = -1;
        info.lData = (LONG_PTR)-1;
        SMOKE_CHECK(entry(nullptr, CPL_INQUIRE, 0, (LPARAM)&info) == 0, "%ls CPL_INQUIRE", applet.moduleName);
        SMOKE_CHECK(info.idIcon == 101 && info.idName == applet.nameId && info.idInfo == applet.infoId &&
                        info.lData == 0,
                    "%ls CPLINFO {%d, %d, %d, %ld}", applet.moduleName, info.idIcon, info.idName, info.idInfo,
                    (long)info.lData);
        CheckAppletResources(module, applet, info);
        SMOKE_CHECK(entry(nullptr, CPL_EXIT, 0, 0) == 0, "%ls CPL_EXIT", applet.moduleName);
    }
    if (module != nullptr) {
        FreeLibrary(module);
    }
}

// Runs the tool with the given arguments after its quoted path and returns its exit code.
DWORD RunUpdateTool(LPCWSTR toolPath, LPCWSTR arguments)
{
    WCHAR commandLine[1024];
    std::swprintf(commandLine, 1024, L"\"%ls\"%ls", toolPath, arguments);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(toolPath, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        SMOKE_CHECK(false, "CreateProcess %ls: %lu", toolPath, GetLastError());
        return (DWORD)-1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = (DWORD)-1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode;
}

} // namespace

int RunCoInstallerSmoke(LPCWSTR folder)
{
    RunCoInstaller(folder, L"ovmlsacoinstaller.dll", "CoInstallerEntryPoint", false);
    RunCoInstaller(folder, L"ovmlscoinstaller.dll", "ovmsCoInstaller", true);
    return smoke::FailureCount();
}

int RunAppletSmoke(LPCWSTR folder)
{
    for (const AppletCase &applet : Applets) {
        RunApplet(folder, applet);
    }
    return smoke::FailureCount();
}

int RunUpdateToolSmoke(LPCWSTR folder)
{
    WCHAR toolPath[MAX_PATH];
    std::swprintf(toolPath, MAX_PATH, L"%ls\\ovmupddev.exe", folder);
    const struct {
        LPCWSTR arguments;
        const char *meaning;
    } badCommandLines[] = {
        {L"", "no arguments"},
        {L" \"ovmlsau.inf\"", "no hardware ID"},
        {L" \"Z:\\nonexistent folder\\ovmlsau.inf\" \"USB\\VID_3A51&PID_0201\"", "an INF that does not exist"},
    };
    for (const auto &row : badCommandLines) {
        const DWORD exitCode = RunUpdateTool(toolPath, row.arguments);
        SMOKE_CHECK(exitCode == 1, "ovmupddev.exe with %s exited with %lu", row.meaning, exitCode);
    }
    return smoke::FailureCount();
}
