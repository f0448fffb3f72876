// Resource identifiers and texts of the Control Panel applet, and the setup key each build
// reads its program path from. OVM_APPLET_STANDARD selects the standard stack's build.
#pragma once
#include <windows.h>

#define IDI_APPLET 101

#define IDS_ASYNC_NAME 102
#define IDS_ASYNC_INFO 103
#define IDS_SIBLING_NAME 104
#define IDS_SIBLING_INFO 105
#define IDS_STANDARD_NAME 106
#define IDS_STANDARD_INFO 107

#if defined(OVM_APPLET_STANDARD)
#define IDS_APPLET_NAME IDS_STANDARD_NAME
#define IDS_APPLET_INFO IDS_STANDARD_INFO
#define APPLET_SETUP_KEY L"SOFTWARE\\Orvan\\Marla Series Setup"
#else
#define IDS_APPLET_NAME IDS_ASYNC_NAME
#define IDS_APPLET_INFO IDS_ASYNC_INFO
#define APPLET_SETUP_KEY L"SOFTWARE\\Orvan\\{08E5CF00-6FA5-4F62-AD3A-51A60F25EE79}"
#endif

#define APPLET_PROGRAM_VALUE L"ControlPanel"

// The string table as the shell would load it by identifier.
struct AppletString {
    int id;
    const WCHAR *text;
};

#if defined(OVM_APPLET_STANDARD)
inline constexpr AppletString AppletStrings[] = {
    {IDS_ASYNC_NAME, L"Orvan Marla Series Audio"},
    {IDS_ASYNC_INFO, L"Orvan Marla Series Audio Driver Control Panel"},
    {IDS_SIBLING_NAME, L"Orvan Marla Series Audio"},
    {IDS_SIBLING_INFO, L"Orvan Marla Series Audio Driver Control Panel"},
    {IDS_STANDARD_NAME, L"Orvan Marla Series Audio"},
    {IDS_STANDARD_INFO, L"Orvan Marla Series Audio Driver Control Panel"},
};
#else
inline constexpr AppletString AppletStrings[] = {
    {IDS_ASYNC_NAME, L"Orvan Marla Series Async Audio"},
    {IDS_ASYNC_INFO, L"Orvan Marla Series Async Audio Driver Control Panel"},
};
#endif
