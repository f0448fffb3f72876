// Message boxes (recorded and answered at once, never blocking), stock cursors, and
// the character-case helpers.
#include "window_manager.h"
#include <platform/machine_state.h>
#include <platform/window_station.h>
#include <cwctype>

using namespace platform::user32;

namespace {

struct message_boxes {
    std::mutex lock;
    int answer = IDOK;
    std::vector<platform::message_box_record> history;
};

message_boxes &boxes()
{
    static message_boxes instance;
    return instance;
}

void reset_boxes()
{
    std::lock_guard<std::mutex> guard(boxes().lock);
    boxes().answer = IDOK;
    boxes().history.clear();
}

platform::machine_hooks g_hooks("user32 message boxes", reset_boxes, reset_boxes);

// Stand-in handles for stock cursors; nothing is drawn with them.
constexpr ULONG_PTR resource_handle_base = 0x20000;

} // namespace

namespace platform {

void message_box_set_answer(int answer)
{
    std::lock_guard<std::mutex> guard(boxes().lock);
    boxes().answer = answer;
}

std::vector<message_box_record> message_box_history()
{
    std::lock_guard<std::mutex> guard(boxes().lock);
    return boxes().history;
}

} // namespace platform

extern "C" int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType)
{
    std::lock_guard<std::mutex> guard(boxes().lock);
    boxes().history.push_back(platform::message_box_record{hWnd, text_or_empty(lpText),
                                                           lpCaption == nullptr ? L"Error" : lpCaption, uType,
                                                           platform::current_thread()->id});
    return boxes().answer;
}

extern "C" HCURSOR WINAPI LoadCursorW(HINSTANCE hInstance, LPCWSTR lpCursorName)
{
    if (lpCursorName == nullptr) {
        set_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return (HCURSOR)(resource_handle_base + (IS_INTRESOURCE(lpCursorName) ? (ULONG_PTR)lpCursorName : 0xFFFF));
}

// With a high word of zero the argument is one character, converted and returned in place.
extern "C" LPWSTR WINAPI CharLowerW(LPWSTR lpsz)
{
    if (IS_INTRESOURCE(lpsz)) {
        return (LPWSTR)(ULONG_PTR)(WORD)std::towlower((wint_t)(WORD)(ULONG_PTR)lpsz);
    }
    for (LPWSTR p = lpsz; *p != L'\0'; ++p) {
        *p = (WCHAR)std::towlower((wint_t)*p);
    }
    return lpsz;
}

extern "C" LPWSTR WINAPI CharUpperW(LPWSTR lpsz)
{
    if (IS_INTRESOURCE(lpsz)) {
        return (LPWSTR)(ULONG_PTR)(WORD)std::towupper((wint_t)(WORD)(ULONG_PTR)lpsz);
    }
    for (LPWSTR p = lpsz; *p != L'\0'; ++p) {
        *p = (WCHAR)std::towupper((wint_t)*p);
    }
    return lpsz;
}
