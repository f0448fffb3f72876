// The control-panel program's entry: its resources, its one application object, and the
// WinMain the machine starts it through.
#include <afxwin.h>
#include "AsioControlPanelApp.h"
#include "ControlPanelResources.h"

namespace {

CAfxResourceRegistration g_Resources(g_PanelResources);

} // namespace

CAsioControlPanelApp theApp;

extern "C" __attribute__((visibility("default"))) int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance,
                                                                     LPWSTR lpCmdLine, int nShowCmd)
{
    return AfxWinMain(hInstance, hPrevInstance, lpCmdLine, nShowCmd);
}
