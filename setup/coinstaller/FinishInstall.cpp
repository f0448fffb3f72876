// The standard stack's finish-install co-installer: asks setup for a finish-install action
// and, in it, starts the driver-update tool for a supported device whose installed driver
// comes from another manufacturer. Every failure ends the action silently; device setup
// always gets NO_ERROR.
#include <windows.h>
#include <setupapi.h>
#include <cstdio>
#include <cstring>
#include "SupportedDeviceIds.h"

namespace {

const PCSTR OwnManufacturer = "Orvan";
const PCSTR SetupKey = "SOFTWARE\\Orvan\\Marla Series Setup";
const PCSTR InstallPathValue = "InstallPath";
const PCSTR UpdateToolName = "ovmupddev.exe";
const PCSTR InfName = "ovmlsau.inf";

constexpr DWORD HardwareIdBytes = 1024;
constexpr DWORD FirstIdBytes = 256;
constexpr DWORD ManufacturerBytes = 1024;
constexpr DWORD InstallPathBytes = 128;
constexpr DWORD ToolPathBytes = 256;
constexpr DWORD CommandLineBytes = 512;

// The next token of text at *cursor, delimited by any of delimiters (leading delimiters are
// skipped, as strtok does); null when none is left. Writes a terminator after the token.
PSTR NextToken(PSTR *cursor, PCSTR delimiters)
{
    PSTR text = *cursor + std::strspn(*cursor, delimiters);
    if (*text == '\0') {
        *cursor = text;
        return nullptr;
    }
    PSTR end = text + std::strcspn(text, delimiters);
    if (*end != '\0') {
        *end++ = '\0';
    }
    *cursor = end;
    return text;
}

// True when the hardware ID is "USB\<vendor token>&<product token>..." of the row.
bool MatchesRow(PCSTR hardwareId, const SupportedDeviceId &row)
{
    CHAR copy[FirstIdBytes];
    size_t length = 0;
    for (; length + 1 < sizeof(copy) && hardwareId[length] != '\0'; ++length) {
        copy[length] = hardwareId[length];
    }
    copy[length] = '\0';
    PSTR cursor = copy;
    PCSTR bus = NextToken(&cursor, "\\");
    if (bus == nullptr || std::strncmp(bus, "USB", 3) != 0) {
        return false;
    }
    PCSTR vendor = NextToken(&cursor, "&\\");
    if (vendor == nullptr || std::strcmp(vendor, row.VendorToken) != 0) {
        return false;
    }
    PCSTR product = NextToken(&cursor, "&\\");
    return product != nullptr && std::strcmp(product, row.ProductToken) == 0;
}

bool IsSupportedDevice(PCSTR hardwareId)
{
    for (const SupportedDeviceId &row : SupportedDeviceIds) {
        if (MatchesRow(hardwareId, row)) {
            return true;
        }
    }
    return false;
}

// The first hardware ID of the device into id (capacity HardwareIdBytes); the list is
// queried with two bytes less than the buffer so that both terminators always fit.
bool ReadFirstHardwareId(HDEVINFO set, PSP_DEVINFO_DATA device, CHAR (&ids)[HardwareIdBytes])
{
    DWORD length = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, device, SPDRP_HARDWAREID, nullptr, (PBYTE)ids, sizeof(ids) - 2,
                                           &length) ||
        length > sizeof(ids) - 2) {
        return false;
    }
    ids[length] = '\0';
    ids[length + 1] = '\0';
    return ids[0] != '\0';
}

// True when the device's installed driver is this package's (manufacturer exactly "Orvan"),
// and also when the manufacturer cannot be read: then nothing is to be done either.
bool HasOwnDriverOrUnknown(HDEVINFO set, PSP_DEVINFO_DATA device)
{
    CHAR manufacturer[ManufacturerBytes];
    DWORD length = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, device, SPDRP_MFG, nullptr, (PBYTE)manufacturer,
                                           sizeof(manufacturer) - 1, &length) ||
        length > sizeof(manufacturer) - 1) {
        return true;
    }
    manufacturer[length] = '\0';
    return std::strcmp(manufacturer, OwnManufacturer) == 0;
}

// The installation folder (ending in a backslash) from the setup key; false when the key or
// value is missing, not REG_SZ, empty, or too long for its buffer with a terminator.
bool ReadInstallPath(CHAR (&path)[InstallPathBytes])
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SetupKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        return false;
    }
    DWORD type = REG_NONE;
    DWORD size = sizeof(path);
    const LSTATUS status = RegQueryValueExA(key, InstallPathValue, nullptr, &type, (LPBYTE)path, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ) {
        return false;
    }
    if (size > 0 && path[size - 1] == '\0') {
        --size;
    } else if (size == sizeof(path)) {
        return false;
    }
    path[size] = '\0';
    return size > 0;
}

void StartUpdateTool(HDEVINFO set, PSP_DEVINFO_DATA device)
{
    CHAR ids[HardwareIdBytes];
    if (!ReadFirstHardwareId(set, device, ids) || !IsSupportedDevice(ids) || HasOwnDriverOrUnknown(set, device)) {
        return;
    }
    CHAR folder[InstallPathBytes];
    if (!ReadInstallPath(folder)) {
        return;
    }
    CHAR toolPath[ToolPathBytes];
    const int toolLength = std::snprintf(toolPath, sizeof(toolPath), "\"%s%s\"", folder, UpdateToolName);
    if (toolLength < 0 || (DWORD)toolLength >= sizeof(toolPath)) {
        return;
    }
    CHAR commandLine[CommandLineBytes];
    const int lineLength =
        std::snprintf(commandLine, sizeof(commandLine), "%s \"%s%s\" \"%s\"", toolPath, folder, InfName, ids);
    if (lineLength < 0 || (DWORD)lineLength >= sizeof(commandLine)) {
        return;
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE,
                       CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS | CREATE_NEW_CONSOLE, nullptr, folder, &startup,
                       &info)) {
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
}

void RequestFinishInstallAction(HDEVINFO set, PSP_DEVINFO_DATA device)
{
    SP_DEVINSTALL_PARAMS_A params = {};
    params.cbSize = sizeof(params);
    if (SetupDiGetDeviceInstallParamsA(set, device, &params)) {
        params.FlagsEx |= DI_FLAGSEX_FINISHINSTALL_ACTION;
        SetupDiSetDeviceInstallParamsA(set, device, &params);
    }
}

} // namespace

extern "C" __attribute__((visibility("default"))) DWORD CALLBACK ovmsCoInstaller(DI_FUNCTION InstallFunction,
                                                                                HDEVINFO DeviceInfoSet,
                                                                                PSP_DEVINFO_DATA DeviceInfoData,
                                                                                PCOINSTALLER_CONTEXT_DATA Context)
{
    UNREFERENCED_PARAMETER(Context);
    switch (InstallFunction) {
    case DIF_NEWDEVICEWIZARD_FINISHINSTALL:
        RequestFinishInstallAction(DeviceInfoSet, DeviceInfoData);
        break;
    case DIF_FINISHINSTALL_ACTION:
        StartUpdateTool(DeviceInfoSet, DeviceInfoData);
        break;
    default:
        break;
    }
    return NO_ERROR;
}
