// The control panel's dialog template, as a resource script would declare it.
#include "ControlPanelResources.h"
#include <commctrl.h>

namespace {

const AFX_DLGITEM_TEMPLATE PanelControls[] = {
    {IDC_DEVICE_LIST, WC_LISTBOXW, L"",
     WS_VISIBLE | LBS_OWNERDRAWFIXED | LBS_HASSTRINGS | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_BORDER |
         WS_TABSTOP,
     0, 6, 6, 114, 84},
    {IDC_SETTING_GROUP, WC_BUTTONW, L"Setting", WS_VISIBLE | BS_GROUPBOX, 0, 132, 6, 192, 84},
    {IDC_BUFFER_LABEL, WC_STATICW, L"Buffer Size:", WS_VISIBLE | SS_LEFT, 0, 162, 18, 38, 8},
    {IDC_BUFFER_TEXT, WC_STATICW, L"---- Samples", WS_VISIBLE | SS_LEFT, 0, 207, 18, 71, 8},
    {IDC_BUFFER_SLIDER, TRACKBAR_CLASSW, L"", WS_VISIBLE | TBS_BOTH | TBS_NOTICKS | WS_TABSTOP, 0, 138, 30, 180, 15},
    {IDC_RATE_LABEL, WC_STATICW, L"Sampling Rate", WS_VISIBLE | SS_LEFT | WS_DISABLED, 0, 150, 54, 46, 8},
    {IDC_RATE_COMBO, WC_COMBOBOXW, L"", WS_VISIBLE | CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP | WS_DISABLED, 0, 207,
     52, 66, 66},
    {IDC_VERSION_TEXT, WC_STATICW, L"", WS_VISIBLE | SS_RIGHT | SS_SUNKEN, 0, 132, 96, 192, 42},
    {IDC_LOGO_FRAME, WC_STATICW, L"", SS_BLACKFRAME, 0, 6, 96, 114, 42},
};

const AFX_DIALOG_TEMPLATE PanelDialogs[] = {
    {IDD_CONTROL_PANEL, DS_SETFONT | DS_MODALFRAME | DS_FIXEDSYS | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
     WS_EX_APPWINDOW, 0, 0, 334, 143, L"Qel-ASIO Control Panel", L"MS Shell Dlg", 8, PanelControls,
     (UINT)(sizeof(PanelControls) / sizeof(PanelControls[0]))},
};

} // namespace

const AFX_RESOURCE_TABLE g_PanelResources = {PanelDialogs, 1, nullptr, 0};
