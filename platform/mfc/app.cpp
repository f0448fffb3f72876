// The application object and its entry: CWinThread and CWinApp, AfxWinMain, the AfxGet*
// accessors and AfxMessageBox. A program's CWinApp is a global object, constructed when its
// module is loaded; AfxWinMain binds it to the process it runs in.
#include "mfc_internal.h"
#include <platform/machine_state.h>
#include <platform/process.h>
#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

using namespace platform;

namespace {

struct application_registry {
    std::mutex lock;
    std::vector<CWinApp *> constructed;
    std::map<process *, CWinApp *> running;
};

application_registry &registry()
{
    static application_registry instance;
    return instance;
}

void reset()
{
    std::lock_guard<std::mutex> guard(registry().lock);
    registry().running.clear();
}

machine_hooks g_hooks("mfc applications", reset, reset);

// "ovmfoo.exe" -> "ovmfoo"; the name under which an unnamed application shows its boxes.
std::wstring name_from_image(const std::wstring &image)
{
    const size_t slash = image.find_last_of(L"\\/");
    std::wstring name = slash == std::wstring::npos ? image : image.substr(slash + 1);
    const size_t dot = name.rfind(L'.');
    return dot == std::wstring::npos ? name : name.substr(0, dot);
}

} // namespace

namespace platform::mfc {

void forget_main_window(CWnd *wnd)
{
    std::lock_guard<std::mutex> guard(registry().lock);
    for (CWinApp *app : registry().constructed) {
        if (app->m_pMainWnd == wnd) {
            app->m_pMainWnd = nullptr;
        }
    }
}

} // namespace platform::mfc

BEGIN_MESSAGE_MAP(CWinThread, CCmdTarget)
END_MESSAGE_MAP()

BEGIN_MESSAGE_MAP(CWinApp, CWinThread)
END_MESSAGE_MAP()

CWinThread::CWinThread() : m_pMainWnd(nullptr), m_nThreadID(0), m_nExitCode(0) {}

BOOL CWinThread::InitInstance() { return FALSE; }

int CWinThread::ExitInstance() { return m_nExitCode; }

int CWinThread::Run()
{
    MSG msg;
    BOOL got;
    while ((got = GetMessageW(&msg, nullptr, 0, 0)) != 0) {
        if (got == -1) {
            m_nExitCode = -1;
            break;
        }
        CWnd *target = CWnd::FromHandlePermanent(msg.hwnd);
        if (target == nullptr || !target->PreTranslateMessage(&msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        mfc::delete_temporaries();
    }
    if (got == 0) {
        m_nExitCode = (int)msg.wParam;
    }
    return ExitInstance();
}

CWinApp::CWinApp(LPCWSTR lpszAppName)
    : m_pszAppName(nullptr), m_hInstance(nullptr), m_lpCmdLine(nullptr), m_nCmdShow(SW_SHOWNORMAL)
{
    if (lpszAppName != nullptr) {
        m_strAppName = lpszAppName;
        m_pszAppName = m_strAppName.c_str();
    }
    std::lock_guard<std::mutex> guard(registry().lock);
    registry().constructed.push_back(this);
}

CWinApp::~CWinApp()
{
    std::lock_guard<std::mutex> guard(registry().lock);
    std::erase(registry().constructed, this);
    std::erase_if(registry().running, [this](const auto &entry) { return entry.second == this; });
}

BOOL CWinApp::InitApplication() { return TRUE; }

BOOL CWinApp::InitInstance() { return TRUE; }

HICON CWinApp::LoadIcon(UINT nIDResource) const { return ::LoadIconW(m_hInstance, MAKEINTRESOURCEW(nIDResource)); }

HICON CWinApp::LoadStandardIcon(LPCWSTR lpszIconName) const { return ::LoadIconW(nullptr, lpszIconName); }

CWinApp *AFXAPI AfxGetApp()
{
    std::lock_guard<std::mutex> guard(registry().lock);
    auto it = registry().running.find(process_current());
    if (it != registry().running.end()) {
        return it->second;
    }
    return registry().constructed.empty() ? nullptr : registry().constructed.back();
}

CWinThread *AFXAPI AfxGetThread() { return AfxGetApp(); }

CWnd *AFXAPI AfxGetMainWnd()
{
    CWinApp *app = AfxGetApp();
    return app != nullptr ? app->m_pMainWnd : nullptr;
}

HINSTANCE AFXAPI AfxGetInstanceHandle()
{
    CWinApp *app = AfxGetApp();
    return app != nullptr && app->m_hInstance != nullptr ? app->m_hInstance : GetModuleHandleW(nullptr);
}

HINSTANCE AFXAPI AfxGetResourceHandle() { return AfxGetInstanceHandle(); }

LPCWSTR AFXAPI AfxGetAppName()
{
    CWinApp *app = AfxGetApp();
    return app != nullptr && app->m_pszAppName != nullptr ? app->m_pszAppName : L"";
}

void AFXAPI AfxEnableControlContainer() {}

int AFXAPI AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nCmdShow)
{
    CWinApp *app;
    process *self = process_current();
    {
        std::lock_guard<std::mutex> guard(registry().lock);
        if (registry().constructed.empty()) {
            return -1;
        }
        app = registry().constructed.back();
        registry().running[self] = app;
        if (app->m_pszAppName == nullptr) {
            app->m_strAppName = name_from_image(self->image_name);
            app->m_pszAppName = app->m_strAppName.c_str();
        }
    }
    app->m_hInstance = hInstance;
    app->m_lpCmdLine = lpCmdLine;
    app->m_nCmdShow = nCmdShow;
    app->m_nThreadID = GetCurrentThreadId();
    int code;
    if (!app->InitApplication() || !app->InitInstance()) {
        if (app->m_pMainWnd != nullptr && app->m_pMainWnd->m_hWnd != nullptr) {
            app->m_pMainWnd->DestroyWindow();
        }
        code = app->ExitInstance();
    } else {
        code = app->Run();
    }
    std::lock_guard<std::mutex> guard(registry().lock);
    registry().running.erase(self);
    return code;
}

int AFXAPI AfxMessageBox(LPCWSTR lpszText, UINT nType, UINT nIDHelp)
{
    CWnd *main = AfxGetMainWnd();
    HWND owner = main != nullptr && ::IsWindow(main->m_hWnd) ? main->m_hWnd : nullptr;
    return MessageBoxW(owner, lpszText, AfxGetAppName(), nType);
}

int AFXAPI AfxMessageBox(UINT nIDPrompt, UINT nType, UINT nIDHelp)
{
    CString text;
    text.LoadString(nIDPrompt);
    return AfxMessageBox(text, nType, nIDHelp == (UINT)-1 ? nIDPrompt : nIDHelp);
}
