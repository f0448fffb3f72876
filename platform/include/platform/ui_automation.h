// The simulated user of the machine's dialogs: finds a dialog by its title, reads its controls
// and acts on them as a person at the screen would (the control changes, then its parent gets
// the notification a real click or drag sends). Every action runs on the dialog's own thread
// and returns once the dialog has handled it. Message boxes never block; their texts and the
// answer given are in platform/window_station.h and repeated here. System code never
// includes this header.
#pragma once
#include <windows.h>
#include <platform/window_station.h>
#include <string>
#include <vector>

namespace platform::ui {

// Waits up to timeout_ms (real time) for a visible top-level window whose whole title equals
// title (case-sensitive). Null when none appeared.
HWND find_window_by_title(const std::wstring &title, DWORD timeout_ms = 10000);

// Waits up to timeout_ms for hwnd to be destroyed; true when it is gone.
bool wait_window_gone(HWND hwnd, DWORD timeout_ms = 10000);

struct control_state {
    bool exists = false;
    bool enabled = false;
    bool visible = false;
    int id = 0;
    DWORD style = 0;
    std::wstring class_name;
    std::wstring text;
};

// The control of dialog with the given ID, or the dialog itself for id 0.
control_state read_control(HWND dialog, int id);

// The rows of a list box or combo box (empty for any other control, and for a control whose
// thread did not answer) and its selection (-1 for none or for another kind of control). The
// rows are read in one request handled on the control's thread, so they are always one whole
// filling of the list, even while its dialog refills it. Rows of an owner-drawn control that
// keeps no strings read as empty text.
std::vector<std::wstring> list_items(HWND dialog, int id);
int current_selection(HWND dialog, int id);

struct slider_state {
    bool exists = false;
    int position = 0;
    int range_min = 0;
    int range_max = 0;
};
slider_state read_slider(HWND dialog, int id);

// User actions. Each returns false, changing nothing, when the dialog or control does not
// exist, either is disabled or hidden, an argument is out of range, or the dialog's thread did
// not answer within timeout_ms.
//
// select_item: clicks row index of a list box (LBN_SELCHANGE when the list has LBS_NOTIFY) or
// picks it in a combo box's drop-down (CBN_SELCHANGE).
bool select_item(HWND dialog, int id, int index, DWORD timeout_ms = 10000);
// Drags a slider's thumb to position (clamped into its range): WM_HSCROLL (WM_VSCROLL for a
// vertical one) with TB_THUMBTRACK, TB_THUMBPOSITION, then TB_ENDTRACK.
bool move_slider(HWND dialog, int id, int position, DWORD timeout_ms = 10000);
// A key on a focused slider: code is one of TB_LINEUP, TB_LINEDOWN, TB_PAGEUP, TB_PAGEDOWN,
// TB_TOP, TB_BOTTOM; the thumb moves, then the code and TB_ENDTRACK are sent.
bool press_slider_key(HWND dialog, int id, UINT code, DWORD timeout_ms = 10000);
// Clicks a push button, check box or radio button: BN_CLICKED to the parent.
bool click_button(HWND dialog, int id, DWORD timeout_ms = 10000);
// Clicks the window's close box (WM_SYSCOMMAND SC_CLOSE).
bool close_window(HWND window, DWORD timeout_ms = 10000);

// What one owner-drawn item drew into its device context.
struct drawing {
    enum class kind { text, fill, focus_rect, icon, image };
    kind what = kind::text;
    RECT rect{};
    std::wstring text;    // kind::text
    UINT format = 0;      // DrawTextW format of kind::text
    LONG font_weight = 0; // of the font selected while drawing text
    COLORREF text_color = 0;
    COLORREF back_color = 0; // background colour of text; the colour of a fill
    int back_mode = 0;
    HICON icon = nullptr; // kind::icon
    // kind::image (AlphaBlend): rect is the destination; the source rectangle, the blend
    // function's constant alpha and alpha format, and the source pixels of that rectangle
    // row by row from the top, each as 0xAARRGGBB.
    RECT source{};
    BYTE constant_alpha = 0;
    BYTE alpha_format = 0;
    std::vector<DWORD> pixels;
};
struct drawn_item {
    int index = -1;
    UINT state = 0; // ODS_ flags the control passed
    std::vector<drawing> drawings;
    bool dc_restored = false; // font and colours back as the control set them up
};

// Paints an owner-drawn list box as the screen would and returns what each item drew, in row
// order. Empty when the control is not an owner-drawn list box.
std::vector<drawn_item> paint_list_box(HWND dialog, int id, DWORD timeout_ms = 10000);

// Sends WM_PAINT to a window on its own thread and returns what the window drew into the
// device contexts it took for itself while handling it (BeginPaint's and GetDC's), in order.
// Empty when the window does not exist or its thread did not answer.
std::vector<drawing> paint_window(HWND window, DWORD timeout_ms = 10000);

// Message boxes shown so far since boot, and the answer the next ones get.
inline std::vector<message_box_record> message_boxes() { return message_box_history(); }
inline void answer_message_boxes(int answer) { message_box_set_answer(answer); }

} // namespace platform::ui
