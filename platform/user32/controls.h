// Internal to the stand-in: the control window classes (Button, Static, ListBox, ComboBox and
// the trackbar), the headless device contexts that record drawing, and the window geometry
// and focus that the window manager does not keep itself.
#pragma once
#include "window_manager.h"
#include <wingdi.h>
#include <commctrl.h>
#include <platform/ui_automation.h>

namespace platform::user32 {

// Registers the standard control classes (Button, Static, ListBox, ComboBox) when standard is
// set, and the trackbar when icc holds ICC_BAR_CLASSES, in the calling process. Classes the
// process already has are kept.
void register_control_classes(bool standard, DWORD icc);

// The message by which the simulated user acts on a control (ui_automation.h). wParam is an
// input_action, lParam its argument; handled on the control's own thread, it returns TRUE
// when the action applied.
UINT user_input_message();
enum input_action : WPARAM {
    input_select = 1, // lParam: row index
    input_thumb = 2,  // lParam: slider position
    input_key = 3,    // lParam: TB_ code
    input_click = 4,
    input_paint = 5,  // lParam: std::vector<ui::drawn_item>* to fill
    input_read_rows = 6, // lParam: std::vector<std::wstring>* to fill with every row's text at once
};

// Window rectangles in the parent's client coordinates (screen coordinates for top-level
// windows), recorded when a window of the stand-in's classes or of the dialog framework is
// created; a window without a record has an empty rectangle.
void geometry_set(HWND hwnd, const RECT &rect);
bool geometry_get(HWND hwnd, RECT *rect);
void geometry_forget(HWND hwnd);
// Records the CREATESTRUCTW geometry of WM_NCCREATE.
void geometry_created(HWND hwnd, const CREATESTRUCTW *cs);

// Device contexts. dc_create starts with the window's colours, the default GUI font, and an
// empty record of drawing.
HDC dc_create(HWND hwnd);
BOOL dc_destroy(HDC hdc);
bool dc_exists(HDC hdc);
// The state as it is now becomes the one dc_is_restored compares with.
void dc_mark_initial(HDC hdc);
bool dc_is_restored(HDC hdc);
std::vector<ui::drawing> dc_take_drawings(HDC hdc);
void dc_record(HDC hdc, ui::drawing d);
// While a capture of a window runs, its device contexts add what was drawn into them to the
// capture when they are released; dc_capture_end returns it all and ends the capture.
void dc_capture_begin(HWND hwnd);
std::vector<ui::drawing> dc_capture_end(HWND hwnd);
// Fills in the colours, mode and font weight of the DC's current state.
void dc_fill_state(HDC hdc, ui::drawing *d);
COLORREF brush_color(HBRUSH brush, bool *known);
// The stock brush of a system colour.
HBRUSH sys_color_brush(int index);

// The size of a loaded icon; false for a handle that is no icon.
bool icon_size(HICON icon, int *width, int *height);

// Focus of the calling thread's windows.
void focus_forget(HWND hwnd);

// Sends a control's notification to its parent as WM_COMMAND.
void notify_parent(HWND control, WORD code);

} // namespace platform::user32
