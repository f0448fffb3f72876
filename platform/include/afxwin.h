// The headless dialog framework: command targets with message maps, windows, modal dialogs,
// dialog data exchange, the application object and its entry. Windows are the user32
// stand-in's windows; nothing is drawn. Controls are in afxctrls.h, drawing in afxgdi.h.
//
// A program module runs as a process of the machine by exporting wWinMain and returning
// AfxWinMain(hInstance, hPrevInstance, lpCmdLine, nCmdShow) from it; AfxWinMain runs the
// program's one global CWinApp object as the Windows library's own WinMain does.
//
// Message-map entries name their handlers as pointers to members (&CMyDlg::OnFoo) where the
// entry takes one; the ON_WM_* entries call the fixed handler names (OnPaint, OnHScroll ...).
// DECLARE_MESSAGE_MAP marks its functions override, so a class that uses it marks its other
// overrides too.
#pragma once
#include <windows.h>
#include <wingdi.h>
#include <commctrl.h>
#include <afxstr.h>
#include <afxres.h>
#include <atomic>

#define AFXAPI
#define PASCAL
#define afx_msg

class CCmdTarget;
class CWnd;
class CDC;
class CScrollBar;
class CDataExchange;

typedef CREATESTRUCTW CREATESTRUCT;
typedef CREATESTRUCTW *LPCREATESTRUCT;

// One message-map entry: message, notification code and control-ID range (WM_COMMAND) and the
// handler, a function that casts the target to the map's class and calls its member.
typedef LRESULT (*AFX_PMSG)(CCmdTarget *target, WPARAM wParam, LPARAM lParam);
struct AFX_MSGMAP_ENTRY {
    UINT nMessage;
    UINT nCode;
    UINT nID;
    UINT nLastID;
    AFX_PMSG pfn;
};
struct AFX_MSGMAP {
    const AFX_MSGMAP *(PASCAL *pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY *lpEntries;
};

#define DECLARE_MESSAGE_MAP()                                                                                      \
protected:                                                                                                         \
    static const AFX_MSGMAP *PASCAL GetThisMessageMap();                                                           \
    const AFX_MSGMAP *GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                                                     \
    const AFX_MSGMAP *theClass::GetMessageMap() const { return GetThisMessageMap(); }                              \
    const AFX_MSGMAP *PASCAL theClass::GetThisMessageMap()                                                         \
    {                                                                                                              \
        typedef theClass ThisClass;                                                                                \
        typedef baseClass TheBaseClass;                                                                            \
        static const AFX_MSGMAP_ENTRY _messageEntries[] = {

#define END_MESSAGE_MAP()                                                                                          \
    {0, 0, 0, 0, nullptr}};                                                                                        \
    static_assert(sizeof(ThisClass) > 0, "message map of a complete class");                                       \
    static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap, &_messageEntries[0]};                  \
    return &messageMap;                                                                                            \
    }

#define AFX_MSG_THUNK(body) [](CCmdTarget *afx_target, WPARAM wParam, LPARAM lParam) -> LRESULT {                 \
    ThisClass *afx_this = static_cast<ThisClass *>(afx_target);                                                    \
    (void)wParam;                                                                                                  \
    (void)lParam;                                                                                                  \
    body                                                                                                           \
}

// WM_COMMAND entries: the control's notification code and ID.
#define ON_COMMAND(id, memberFxn)                                                                                  \
    {WM_COMMAND, 0, (UINT)(id), (UINT)(id), AFX_MSG_THUNK((afx_this->*(memberFxn))(); return 0;)},
#define ON_CONTROL(code, id, memberFxn)                                                                            \
    {WM_COMMAND, (UINT)(code), (UINT)(id), (UINT)(id), AFX_MSG_THUNK((afx_this->*(memberFxn))(); return 0;)},
#define ON_BN_CLICKED(id, memberFxn) ON_CONTROL(BN_CLICKED, id, memberFxn)
#define ON_LBN_SELCHANGE(id, memberFxn) ON_CONTROL(LBN_SELCHANGE, id, memberFxn)
#define ON_LBN_DBLCLK(id, memberFxn) ON_CONTROL(LBN_DBLCLK, id, memberFxn)
#define ON_CBN_SELCHANGE(id, memberFxn) ON_CONTROL(CBN_SELCHANGE, id, memberFxn)
#define ON_CBN_SELENDOK(id, memberFxn) ON_CONTROL(CBN_SELENDOK, id, memberFxn)
#define ON_CBN_DROPDOWN(id, memberFxn) ON_CONTROL(CBN_DROPDOWN, id, memberFxn)

// LRESULT memberFxn(WPARAM, LPARAM).
#define ON_MESSAGE(message, memberFxn)                                                                             \
    {(UINT)(message), 0, 0, 0, AFX_MSG_THUNK(return (afx_this->*(memberFxn))(wParam, lParam);)},

#define ON_WM_CREATE()                                                                                             \
    {WM_CREATE, 0, 0, 0, AFX_MSG_THUNK(return (LRESULT)afx_this->OnCreate((LPCREATESTRUCT)lParam);)},
#define ON_WM_DESTROY() {WM_DESTROY, 0, 0, 0, AFX_MSG_THUNK(afx_this->OnDestroy(); return 0;)},
#define ON_WM_CLOSE() {WM_CLOSE, 0, 0, 0, AFX_MSG_THUNK(afx_this->OnClose(); return 0;)},
#define ON_WM_PAINT() {WM_PAINT, 0, 0, 0, AFX_MSG_THUNK(afx_this->OnPaint(); return 0;)},
#define ON_WM_TIMER() {WM_TIMER, 0, 0, 0, AFX_MSG_THUNK(afx_this->OnTimer((UINT_PTR)wParam); return 0;)},
#define ON_WM_SYSCOMMAND()                                                                                         \
    {WM_SYSCOMMAND, 0, 0, 0, AFX_MSG_THUNK(afx_this->OnSysCommand((UINT)wParam, lParam); return 0;)},
#define ON_WM_QUERYDRAGICON()                                                                                      \
    {WM_QUERYDRAGICON, 0, 0, 0, AFX_MSG_THUNK(return (LRESULT)afx_this->OnQueryDragIcon();)},
#define ON_WM_HSCROLL()                                                                                            \
    {WM_HSCROLL, 0, 0, 0,                                                                                          \
     AFX_MSG_THUNK(afx_this->OnHScroll(LOWORD(wParam), HIWORD(wParam),                                             \
                                       reinterpret_cast<CScrollBar *>(CWnd::FromHandle((HWND)lParam)));            \
                   return 0;)},
#define ON_WM_VSCROLL()                                                                                            \
    {WM_VSCROLL, 0, 0, 0,                                                                                          \
     AFX_MSG_THUNK(afx_this->OnVScroll(LOWORD(wParam), HIWORD(wParam),                                             \
                                       reinterpret_cast<CScrollBar *>(CWnd::FromHandle((HWND)lParam)));            \
                   return 0;)},
#define ON_WM_DEVICECHANGE()                                                                                       \
    {WM_DEVICECHANGE, 0, 0, 0, AFX_MSG_THUNK(return (LRESULT)afx_this->OnDeviceChange((UINT)wParam, (DWORD_PTR)lParam);)},
#define ON_WM_DRAWITEM()                                                                                           \
    {WM_DRAWITEM, 0, 0, 0, AFX_MSG_THUNK(afx_this->OnDrawItem((int)wParam, (LPDRAWITEMSTRUCT)lParam); return TRUE;)},

class CObject {
public:
    virtual ~CObject() = default;
};

class CCmdTarget : public CObject {
public:
    virtual const AFX_MSGMAP *GetMessageMap() const;

protected:
    static const AFX_MSGMAP *PASCAL GetThisMessageMap();
};

// The window procedure of every window a CWnd is attached to: routes messages to
// CWnd::WindowProc of the window's object.
LRESULT CALLBACK AfxWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

class CWnd : public CCmdTarget {
public:
    CWnd();
    ~CWnd() override;
    CWnd(const CWnd &) = delete;
    CWnd &operator=(const CWnd &) = delete;

    HWND m_hWnd;

    operator HWND() const { return m_hWnd; }
    HWND GetSafeHwnd() const { return m_hWnd; }

    // The object attached to hWnd, or a temporary one that lives until the current message
    // of the calling thread's modal loop is done. Null for a null handle.
    static CWnd *PASCAL FromHandle(HWND hWnd);
    // The attached object only, or null.
    static CWnd *PASCAL FromHandlePermanent(HWND hWnd);

    BOOL Attach(HWND hWndNew);
    HWND Detach();
    // Routes the window's messages through this object; its previous procedure handles what
    // the object leaves to Default(). FALSE when already attached or hWnd is no window.
    BOOL SubclassWindow(HWND hWnd);
    BOOL SubclassDlgItem(UINT nID, CWnd *pParent);
    HWND UnsubclassWindow();
    virtual BOOL DestroyWindow();

    BOOL SetWindowText(LPCWSTR lpszString);
    int GetWindowText(LPWSTR lpszStringBuf, int nMaxCount) const;
    void GetWindowText(CString &rString) const;
    int GetWindowTextLength() const;
    BOOL EnableWindow(BOOL bEnable = TRUE);
    BOOL IsWindowEnabled() const;
    BOOL ShowWindow(int nCmdShow);
    BOOL IsWindowVisible() const;
    BOOL IsIconic() const;
    DWORD GetStyle() const;
    DWORD GetExStyle() const;
    int GetDlgCtrlID() const;
    CWnd *GetDlgItem(int nID) const;
    void GetDlgItem(int nID, HWND *phWnd) const;
    void SetDlgItemText(int nID, LPCWSTR lpszString);
    int GetDlgItemText(int nID, CString &rString) const;
    CWnd *GetParent() const;
    HICON SetIcon(HICON hIcon, BOOL bBigIcon);
    HICON GetIcon(BOOL bBigIcon) const;
    CWnd *SetFocus();
    static CWnd *PASCAL GetFocus();
    BOOL SetForegroundWindow();

    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    UINT_PTR SetTimer(UINT_PTR nIDEvent, UINT nElapse, TIMERPROC lpfnTimer = nullptr);
    BOOL KillTimer(UINT_PTR nIDEvent);

    void Invalidate(BOOL bErase = TRUE);
    void UpdateWindow();
    BOOL RedrawWindow(LPCRECT lpRectUpdate = nullptr, HANDLE prgnUpdate = nullptr,
                      UINT flags = RDW_INVALIDATE | RDW_UPDATENOW | RDW_ERASE);
    void SetRedraw(BOOL bRedraw = TRUE);
    void GetClientRect(LPRECT lpRect) const;
    void GetWindowRect(LPRECT lpRect) const;
    void ScreenToClient(LPRECT lpRect) const;
    CDC *GetDC();
    int ReleaseDC(CDC *pDC);

    int MessageBox(LPCWSTR lpszText, LPCWSTR lpszCaption = nullptr, UINT nType = MB_OK);

    // Moves data between the controls and the object through DoDataExchange; FALSE when an
    // exchange failed.
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // Looks the message up in the message maps from the object's class to CCmdTarget; TRUE
    // with *pResult set when an entry handled it.
    virtual BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *pResult);
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // Called on a control's object for the notifications its parent reflects to it
    // (WM_DRAWITEM); TRUE when the control handled it.
    virtual BOOL OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *pResult);
    virtual BOOL PreTranslateMessage(MSG *pMsg);
    virtual void DoDataExchange(CDataExchange *pDX);
    // Called after the window's last message; the object is detached by then.
    virtual void PostNcDestroy();

    // Default handling of the message being processed on this thread.
    LRESULT Default();

protected:
    afx_msg int OnCreate(LPCREATESTRUCT lpCreateStruct);
    afx_msg void OnDestroy();
    afx_msg void OnClose();
    afx_msg void OnPaint();
    afx_msg void OnTimer(UINT_PTR nIDEvent);
    afx_msg void OnSysCommand(UINT nID, LPARAM lParam);
    afx_msg HCURSOR OnQueryDragIcon();
    afx_msg void OnHScroll(UINT nSBCode, UINT nPos, CScrollBar *pScrollBar);
    afx_msg void OnVScroll(UINT nSBCode, UINT nPos, CScrollBar *pScrollBar);
    afx_msg BOOL OnDeviceChange(UINT nEventType, DWORD_PTR dwData);
    // Reflects the drawing request to the control's object (OnChildNotify).
    afx_msg void OnDrawItem(int nIDCtl, LPDRAWITEMSTRUCT lpDrawItemStruct);

    WNDPROC m_pfnSuper;

    friend LRESULT CALLBACK AfxWndProc(HWND, UINT, WPARAM, LPARAM);
    DECLARE_MESSAGE_MAP()
};

class CScrollBar : public CWnd {
};

class CDataExchange {
public:
    CDataExchange(CWnd *pDlgWnd, BOOL bSaveAndValidate);
    BOOL m_bSaveAndValidate;
    CWnd *m_pDlgWnd;
    // The dialog's control nIDC; a missing control fails the exchange (verifier stop, since
    // the program and its template disagree).
    HWND PrepareCtrl(int nIDC);
};

// Attaches control nIDC to rControl on the first exchange.
void AFXAPI DDX_Control(CDataExchange *pDX, int nIDC, CWnd &rControl);
void AFXAPI DDX_Text(CDataExchange *pDX, int nIDC, CString &value);

class CDialog : public CWnd {
public:
    CDialog();
    explicit CDialog(UINT nIDTemplate, CWnd *pParentWnd = nullptr);
    ~CDialog() override;

    // Uses pTemplate instead of a registered one; it must outlive the dialog.
    BOOL InitModalIndirect(const AFX_DIALOG_TEMPLATE *pTemplate, CWnd *pParentWnd = nullptr);

    // Builds the dialog on the calling thread, runs its messages until EndDialog and destroys
    // it. Returns the EndDialog result, or -1 when the dialog could not be created (no
    // template, a control class that does not exist).
    virtual INT_PTR DoModal();
    // Ends the modal loop with nResult once the current message is done. Any thread may call
    // it; the dialog is destroyed on its own thread.
    void EndDialog(int nResult);

    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();
    void GotoDlgCtrl(CWnd *pWndCtrl);
    // Escape and Enter of the dialog's windows become IDCANCEL and IDOK.
    BOOL PreTranslateMessage(MSG *pMsg) override;

protected:
    UINT m_nIDHelp;
    const AFX_DIALOG_TEMPLATE *m_lpDialogTemplate;
    CWnd *m_pParentWnd;

    afx_msg LRESULT HandleInitDialog(WPARAM wParam, LPARAM lParam);
    DECLARE_MESSAGE_MAP()

private:
    std::atomic<bool> m_bModalEnded;
    std::atomic<INT_PTR> m_nModalResult;
    BOOL CreateDialogWindow(const AFX_DIALOG_TEMPLATE *pTemplate);
    void RunModalLoop();
};

class CWinThread : public CCmdTarget {
public:
    CWinThread();
    CWnd *m_pMainWnd;
    DWORD m_nThreadID;

    virtual BOOL InitInstance();
    virtual int ExitInstance();
    // Runs the thread's messages until WM_QUIT; returns its exit code.
    virtual int Run();

protected:
    int m_nExitCode;
    DECLARE_MESSAGE_MAP()
};

class CWinApp : public CWinThread {
public:
    explicit CWinApp(LPCWSTR lpszAppName = nullptr);
    ~CWinApp() override;

    LPCWSTR m_pszAppName;
    HINSTANCE m_hInstance;
    LPWSTR m_lpCmdLine;
    int m_nCmdShow;

    virtual BOOL InitApplication();
    BOOL InitInstance() override;
    HICON LoadIcon(UINT nIDResource) const;
    HICON LoadStandardIcon(LPCWSTR lpszIconName) const;

protected:
    DECLARE_MESSAGE_MAP()

private:
    std::wstring m_strAppName;
    friend int AFXAPI AfxWinMain(HINSTANCE, HINSTANCE, LPWSTR, int);
};

// The application of the calling thread's process: the one AfxWinMain runs there, else the
// most recently constructed application object.
CWinApp *AFXAPI AfxGetApp();
CWinThread *AFXAPI AfxGetThread();
CWnd *AFXAPI AfxGetMainWnd();
HINSTANCE AFXAPI AfxGetInstanceHandle();
HINSTANCE AFXAPI AfxGetResourceHandle();
LPCWSTR AFXAPI AfxGetAppName();
void AFXAPI AfxEnableControlContainer();

// Runs the application: InitApplication and InitInstance; when both succeed, Run, otherwise
// ExitInstance. Returns the exit code (-1 without an application object).
int AFXAPI AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nCmdShow);

// Message boxes owned by the main window, captioned with the application name.
int AFXAPI AfxMessageBox(LPCWSTR lpszText, UINT nType = MB_OK, UINT nIDHelp = 0);
int AFXAPI AfxMessageBox(UINT nIDPrompt, UINT nType = MB_OK, UINT nIDHelp = (UINT)-1);

#include <afxgdi.h>
#include <afxctrls.h>
