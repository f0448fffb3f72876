// The control-panel program's application object: common controls and COM, the single-
// instance check, the dialog, and the activation of a panel that runs already.
#include "AsioControlPanelApp.h"
#include "ControlPanelTrace.h"
#include <objbase.h>
#include <psapi.h>
#include <cwchar>
#include "AsioControlPanelDlg.h"
#include "ControlPanelResources.h"
#include "NamedObjects.h"

namespace {

const DWORD TitleChars = 33;
const DWORD ImageNameChars = 261;
const DWORD AllControlClasses = 0xFF;

// The file-name part of an image path.
LPCWSTR FileNamePart(LPCWSTR path)
{
    LPCWSTR name = path;
    for (LPCWSTR p = path; *p != L'\0'; ++p) {
        if (*p == L'\\' || *p == L'/') {
            name = p + 1;
        }
    }
    return name;
}

} // namespace

BEGIN_MESSAGE_MAP(CAsioControlPanelApp, CWinApp)
END_MESSAGE_MAP()

CAsioControlPanelApp::CAsioControlPanelApp() : CWinApp(PANEL_APP_NAME) {}

CAsioControlPanelApp::~CAsioControlPanelApp() = default;

BOOL CAsioControlPanelApp::InitInstance()
{
    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = sizeof(controls);
    controls.dwICC = AllControlClasses;
    InitCommonControlsEx(&controls);
    CWinApp::InitInstance();
    WPP_INIT_TRACING(PANEL_APP_NAME);

    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(com)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "CoInitializeEx failed: 0x%08X", (unsigned)com);
        WPP_CLEANUP();
        return FALSE;
    }
    // Held until the process ends: it marks the one running panel.
    const HANDLE instance = CreateMutexW(nullptr, TRUE, OVM_PANEL_INSTANCE_MUTEX_NAME);
    if (instance != nullptr && GetLastError() != ERROR_ALREADY_EXISTS) {
        CAsioControlPanelDlg *dialog = new CAsioControlPanelDlg();
        m_pMainWnd = dialog;
        dialog->DoModal();
        m_pMainWnd = nullptr;
        delete dialog;
    } else {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "a panel runs already: it is brought to the front");
        EnumWindows(ActivateRunningPanel, 0);
    }
    WPP_CLEANUP();
    CoUninitialize();
    return FALSE;
}

BOOL CALLBACK CAsioControlPanelApp::ActivateRunningPanel(HWND Window, LPARAM Param)
{
    UNREFERENCED_PARAMETER(Param);
    WCHAR title[TitleChars] = {};
    GetWindowTextW(Window, title, (int)TitleChars);
    if (std::wcscmp(title, PANEL_WINDOW_TITLE) != 0) {
        return TRUE;
    }
    DWORD processId = 0;
    GetWindowThreadProcessId(Window, &processId);
    const HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (process == nullptr) {
        return TRUE;
    }
    WCHAR theirs[ImageNameChars] = {};
    WCHAR ours[ImageNameChars] = {};
    const DWORD theirLength = GetProcessImageFileNameW(process, theirs, ImageNameChars);
    CloseHandle(process);
    const DWORD ourLength = GetProcessImageFileNameW(GetCurrentProcess(), ours, ImageNameChars);
    if (theirLength == 0 || ourLength == 0 || std::wcscmp(FileNamePart(theirs), FileNamePart(ours)) != 0) {
        return TRUE;
    }
    ShowWindow(Window, SW_SHOWNORMAL);
    SetForegroundWindow(Window);
    return FALSE;
}
