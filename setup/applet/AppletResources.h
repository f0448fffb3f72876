// Resource identifiers of the Control Panel applet, shared by its resource script and its
// code, and the setup key each build reads its program path from. OVM_APPLET_STANDARD selects
// the standard stack's build.
#pragma once

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
