// CAsioControlPanelApp: the control-panel program's application object. One panel runs per
// machine; a second start brings the running one to the front and ends.
#pragma once
#include <afxwin.h>

class CAsioControlPanelApp : public CWinApp {
public:
    CAsioControlPanelApp();
    ~CAsioControlPanelApp() override;

    // Runs the dialog when this is the only panel; always FALSE, so the program ends with it.
    BOOL InitInstance() override;

    DECLARE_MESSAGE_MAP()

private:
    static BOOL CALLBACK ActivateRunningPanel(HWND Window, LPARAM Param);
};
