// Resource IDs and fixed texts of the control-panel program, shared by its resource script,
// and the dialog framework's table that holds its dialog template (registered at start-up).
#pragma once

#define IDD_CONTROL_PANEL 102
#define IDI_PANEL_ICON 128
#define IDB_PANEL_LOGO 133
#define IDS_DEVICE_IN_USE 134

#define IDC_DEVICE_LIST 1000
#define IDC_BUFFER_SLIDER 1001
#define IDC_SETTING_GROUP 1002
#define IDC_BUFFER_LABEL 1004
#define IDC_BUFFER_TEXT 1005
#define IDC_RATE_COMBO 1006
#define IDC_VERSION_TEXT 1009
#define IDC_RATE_LABEL 1010
#define IDC_LOGO_FRAME 1016

// The window title; a second start finds the running panel by it.
#define PANEL_WINDOW_TITLE L"Orvan Marla Series Async Audio"
#define PANEL_APP_NAME L"OVMLSAACPL"
#define PANEL_VERSION L"4.1.0.65"
#define PANEL_BUILD_MONTH 5
#define PANEL_BUILD_DAY 24
#define PANEL_BUILD_YEAR 2023

#ifndef RC_INVOKED
#include <afxres.h>

extern const AFX_RESOURCE_TABLE g_PanelResources;
#endif
