// Window classes (per process, looked up by name or atom) and the atom table that class names
// and registered window messages share.
#include "window_manager.h"

namespace platform::user32 {
namespace {

// Expects the lock. Names compare without case; the same name always yields the same atom.
ATOM atom_for_locked(const std::wstring &name)
{
    window_manager &m = manager();
    const std::wstring key = lower(name);
    auto it = m.atoms.find(key);
    if (it != m.atoms.end()) {
        return it->second;
    }
    if (m.next_atom == 0xFFFF) {
        return 0;
    }
    const ATOM atom = m.next_atom++;
    m.atoms.emplace(key, atom);
    return atom;
}

bool class_matches(const window_class &c, LPCWSTR name)
{
    if (IS_INTRESOURCE(name)) {
        return c.atom == (ATOM)(ULONG_PTR)name;
    }
    return equal_no_case(c.name, name);
}

} // namespace

std::shared_ptr<window_class> find_class_locked(LPCWSTR name, HINSTANCE instance, bool exact_instance)
{
    // A class registered with the same instance wins; window creation also accepts one of the
    // process's classes of that name registered under another instance.
    process *self = current_process();
    std::shared_ptr<window_class> other_instance;
    for (auto &c : manager().classes) {
        if (c->owner != self || !class_matches(*c, name)) {
            continue;
        }
        if (c->info.hInstance == instance) {
            return c;
        }
        if (!exact_instance && other_instance == nullptr) {
            other_instance = c;
        }
    }
    return other_instance;
}

bool class_name_matches(const window_class &c, LPCWSTR name)
{
    return class_matches(c, name);
}

} // namespace platform::user32

using namespace platform::user32;

extern "C" ATOM WINAPI RegisterClassExW(const WNDCLASSEXW *lpwcx)
{
    if (lpwcx == nullptr || lpwcx->cbSize != sizeof(WNDCLASSEXW) || lpwcx->lpszClassName == nullptr ||
        lpwcx->lpfnWndProc == nullptr || lpwcx->cbWndExtra < 0 || lpwcx->cbClsExtra < 0) {
        set_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    window_manager &m = manager();
    std::lock_guard<std::mutex> guard(m.lock);
    if (find_class_locked(lpwcx->lpszClassName, lpwcx->hInstance, true) != nullptr) {
        set_error(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    auto c = std::make_shared<window_class>();
    if (IS_INTRESOURCE(lpwcx->lpszClassName)) {
        c->atom = (ATOM)(ULONG_PTR)lpwcx->lpszClassName;
    } else {
        c->name = lpwcx->lpszClassName;
        c->atom = atom_for_locked(c->name);
    }
    if (c->atom == 0) {
        set_error(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    c->owner = current_process();
    c->info = *lpwcx;
    c->info.lpszClassName = nullptr; // the caller's strings need not outlive the call
    c->info.lpszMenuName = nullptr;
    m.classes.push_back(c);
    return c->atom;
}

extern "C" ATOM WINAPI RegisterClassW(const WNDCLASSW *lpWndClass)
{
    if (lpWndClass == nullptr) {
        set_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    WNDCLASSEXW ex{};
    ex.cbSize = sizeof(ex);
    ex.style = lpWndClass->style;
    ex.lpfnWndProc = lpWndClass->lpfnWndProc;
    ex.cbClsExtra = lpWndClass->cbClsExtra;
    ex.cbWndExtra = lpWndClass->cbWndExtra;
    ex.hInstance = lpWndClass->hInstance;
    ex.hIcon = lpWndClass->hIcon;
    ex.hCursor = lpWndClass->hCursor;
    ex.hbrBackground = lpWndClass->hbrBackground;
    ex.lpszMenuName = lpWndClass->lpszMenuName;
    ex.lpszClassName = lpWndClass->lpszClassName;
    return RegisterClassExW(&ex);
}

extern "C" BOOL WINAPI UnregisterClassW(LPCWSTR lpClassName, HINSTANCE hInstance)
{
    if (lpClassName == nullptr) {
        set_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    window_manager &m = manager();
    std::lock_guard<std::mutex> guard(m.lock);
    auto c = find_class_locked(lpClassName, hInstance, true);
    if (c == nullptr) {
        set_error(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    if (c->window_count > 0) {
        set_error(ERROR_CLASS_HAS_WINDOWS);
        return FALSE;
    }
    std::erase(m.classes, c);
    return TRUE;
}

extern "C" BOOL WINAPI GetClassInfoExW(HINSTANCE hInstance, LPCWSTR lpszClass, LPWNDCLASSEXW lpwcx)
{
    if (lpszClass == nullptr || lpwcx == nullptr) {
        set_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(manager().lock);
    auto c = find_class_locked(lpszClass, hInstance, false);
    if (c == nullptr) {
        set_error(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    *lpwcx = c->info;
    lpwcx->cbSize = sizeof(WNDCLASSEXW);
    lpwcx->lpszClassName = lpszClass;
    return c->atom;
}

extern "C" UINT WINAPI RegisterWindowMessageW(LPCWSTR lpString)
{
    if (lpString == nullptr || *lpString == L'\0') {
        set_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::lock_guard<std::mutex> guard(manager().lock);
    const ATOM atom = atom_for_locked(lpString);
    if (atom == 0) {
        set_error(ERROR_NOT_ENOUGH_MEMORY);
    }
    return atom;
}
