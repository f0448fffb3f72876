// Test stand-in for the standard control-panel program: a top-level window with its title on
// its own thread, recording every registered message it receives.
#pragma once
#include <windows.h>
#include <mutex>
#include <vector>
#include "Settings.h"

namespace notify_test {

struct PanelMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

inline std::mutex g_panelLock;
inline std::vector<PanelMessage> g_panelMessages;

inline LRESULT CALLBACK PanelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message >= 0xC000 && message <= 0xFFFF) {
        std::lock_guard<std::mutex> guard(g_panelLock);
        g_panelMessages.push_back({message, wParam, lParam});
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// A stand-in for the control panel: a top-level window with its title, on its own thread.
class PanelWindow {
public:
    PanelWindow()
    {
        m_ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_thread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
        WaitForSingleObject(m_ready, 10000);
    }
    ~PanelWindow()
    {
        if (m_window != nullptr) {
            PostMessageW(m_window, WM_QUIT, 0, 0);
        }
        WaitForSingleObject(m_thread, 10000);
        CloseHandle(m_thread);
        CloseHandle(m_ready);
    }
    HWND window() const { return m_window; }

private:
    static DWORD WINAPI Run(LPVOID context)
    {
        PanelWindow *self = static_cast<PanelWindow *>(context);
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = PanelProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"OvPanelTestWindow";
        RegisterClassW(&windowClass);
        self->m_window = CreateWindowExW(0, L"OvPanelTestWindow", OvControlPanelTitle, WS_OVERLAPPEDWINDOW, 0, 0, 0,
                                         0, nullptr, nullptr, windowClass.hInstance, nullptr);
        SetEvent(self->m_ready);
        MSG message;
        while (self->m_window != nullptr && GetMessageW(&message, nullptr, 0, 0) > 0) {
            DispatchMessageW(&message);
        }
        if (self->m_window != nullptr) {
            DestroyWindow(self->m_window);
        }
        UnregisterClassW(L"OvPanelTestWindow", windowClass.hInstance);
        return 0;
    }

    HANDLE m_ready = nullptr;
    HANDLE m_thread = nullptr;
    HWND volatile m_window = nullptr;
};

inline std::vector<PanelMessage> PanelMessages()
{
    std::lock_guard<std::mutex> guard(g_panelLock);
    return g_panelMessages;
}

inline void ClearPanelMessages()
{
    std::lock_guard<std::mutex> guard(g_panelLock);
    g_panelMessages.clear();
}

} // namespace notify_test
