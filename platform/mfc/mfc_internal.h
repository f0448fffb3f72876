// Internal to the dialog framework: the map from windows to their objects, the window being
// created on this thread, temporary wrapper objects, the message being handled and the signal
// that the set of shown dialogs changed.
#pragma once
#include <afxwin.h>

namespace platform::mfc {

// The permanent map: HWND -> the CWnd attached to it (any thread).
void map_attach(HWND hwnd, CWnd *wnd);
void map_detach(HWND hwnd, CWnd *wnd);
CWnd *map_find(HWND hwnd);

// The object that the next window created on this thread belongs to: AfxWndProc attaches it
// at that window's first message.
void hook_window_create(CWnd *wnd);
void unhook_window_create();

// Temporary objects of this thread (FromHandle); deleted when the thread's outermost message
// is done, when its modal loop ends, and when the thread ends.
CWnd *temporary_window(HWND hwnd);
CDC *temporary_dc(HDC hdc);
CFont *temporary_font(HFONT font);
void delete_temporaries();

// The message AfxWndProc is handling on this thread, for CWnd::Default.
struct handled_message {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
const handled_message &current_message();

// A window that is destroyed, or whose object goes, stops being its application's main window.
void forget_main_window(CWnd *wnd);

// Shown or destroyed dialogs: wakes those waiting for a window (ui_automation).
void ui_changed();
// Waits up to wait_ms for ui_changed; returns at once when it happened since generation.
unsigned long ui_generation();
void ui_wait(unsigned long generation, DWORD wait_ms);

// The class of dialog windows, registered in the calling process; its procedure is
// AfxWndProc and the dialog's default handling is dialog_default_proc.
LPCWSTR dialog_class();
LRESULT CALLBACK dialog_default_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

} // namespace platform::mfc
