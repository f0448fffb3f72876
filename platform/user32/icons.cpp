// Icons: LoadIconW of a module's icon group (the image closest to the system icon size, as
// the shell displays it) and of the stock icons, each loaded once and shared, and the sizes
// DrawIcon draws them at.
#include "controls.h"
#include <platform/machine_state.h>
#include <map>

using namespace platform;
using namespace platform::user32;

namespace {

struct icon_object {
    int width = 0;
    int height = 0;
    int bits = 0;
};

struct icon_table {
    std::mutex lock;
    std::map<ULONG_PTR, icon_object> icons;
    // (module, group) -> handle; a named group is keyed by its upper-case name.
    std::map<std::pair<HMODULE, std::wstring>, HICON> shared;
    ULONG_PTR next = 0x30000;
};

icon_table &table()
{
    static icon_table instance;
    return instance;
}

void reset()
{
    std::lock_guard<std::mutex> guard(table().lock);
    table().icons.clear();
    table().shared.clear();
    table().next = 0x30000;
}

machine_hooks g_hooks("user32 icons", reset, reset);

constexpr WORD first_stock_icon = 32512; // IDI_APPLICATION .. IDI_SHIELD
constexpr WORD last_stock_icon = 32518;
constexpr size_t group_header_bytes = 6;
constexpr size_t group_entry_bytes = 14;
constexpr size_t bitmap_header_bytes = 40;

WORD read_u16(const BYTE *p) { return (WORD)(p[0] | (p[1] << 8)); }
DWORD read_u32(const BYTE *p) { return (DWORD)p[0] | ((DWORD)p[1] << 8) | ((DWORD)p[2] << 16) | ((DWORD)p[3] << 24); }
DWORD read_u32_be(const BYTE *p) { return ((DWORD)p[0] << 24) | ((DWORD)p[1] << 16) | ((DWORD)p[2] << 8) | p[3]; }

std::wstring key_of(LPCWSTR name)
{
    if (IS_INTRESOURCE(name)) {
        return L"#" + std::to_wstring((WORD)(ULONG_PTR)name);
    }
    std::wstring key;
    for (const WCHAR *p = name; *p != L'\0'; ++p) {
        key.push_back(*p >= L'a' && *p <= L'z' ? (WCHAR)(*p - L'a' + L'A') : *p);
    }
    return key;
}

const BYTE *resource_bytes(HMODULE module, LPCWSTR name, LPCWSTR type, DWORD *size)
{
    const HRSRC found = FindResourceW(module, name, type);
    if (found == nullptr) {
        return nullptr;
    }
    *size = SizeofResource(module, found);
    return static_cast<const BYTE *>(LockResource(LoadResource(module, found)));
}

// Width, height and depth of one RT_ICON image: a PNG image or a bitmap whose height counts
// its colour and mask halves. False when the data is not a whole image.
bool read_image(const BYTE *data, DWORD size, icon_object *icon)
{
    static const BYTE png_signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (size >= 24 && std::equal(png_signature, png_signature + 8, data)) {
        icon->width = (int)read_u32_be(data + 16);
        icon->height = (int)read_u32_be(data + 20);
        icon->bits = 32;
        return icon->width > 0 && icon->height > 0;
    }
    if (size < bitmap_header_bytes || read_u32(data) < bitmap_header_bytes) {
        return false;
    }
    const LONG width = (LONG)read_u32(data + 4);
    const LONG height = (LONG)read_u32(data + 8) / 2;
    const WORD planes = read_u16(data + 12);
    const WORD bits = read_u16(data + 14);
    if (width <= 0 || width > 256 || height <= 0 || height > 256 || planes != 1 ||
        (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32)) {
        return false;
    }
    const DWORD colors = read_u32(data + 32);
    const size_t palette = bits <= 8 ? (colors != 0 ? colors : 1u << bits) * 4 : 0;
    const size_t color_stride = (((size_t)width * bits + 31) / 32) * 4;
    const size_t mask_stride = (((size_t)width + 31) / 32) * 4;
    if (read_u32(data) + palette + (color_stride + mask_stride) * (size_t)height > size) {
        return false;
    }
    icon->width = (int)width;
    icon->height = (int)height;
    icon->bits = bits;
    return true;
}

// The group's image for the system icon size: the smallest size difference, then the deepest
// colours.
HICON load_group(HMODULE module, LPCWSTR name)
{
    DWORD size = 0;
    const BYTE *group = resource_bytes(module, name, RT_GROUP_ICON, &size);
    if (group == nullptr) {
        return nullptr;
    }
    const WORD count = size >= group_header_bytes ? read_u16(group + 4) : 0;
    if (size < group_header_bytes || read_u16(group) != 0 || read_u16(group + 2) != 1 || count == 0 ||
        size < group_header_bytes + group_entry_bytes * count) {
        set_error(ERROR_INVALID_DATA);
        return nullptr;
    }
    const int want_x = GetSystemMetrics(SM_CXICON);
    const int want_y = GetSystemMetrics(SM_CYICON);
    WORD best = 0;
    int best_distance = 0;
    int best_bits = 0;
    for (WORD i = 0; i < count; ++i) {
        const BYTE *entry = group + group_header_bytes + group_entry_bytes * i;
        const int width = entry[0] == 0 ? 256 : entry[0];
        const int height = entry[1] == 0 ? 256 : entry[1];
        const int bits = read_u16(entry + 6);
        const int distance = std::abs(width - want_x) + std::abs(height - want_y);
        if (best == 0 || distance < best_distance || (distance == best_distance && bits > best_bits)) {
            best = read_u16(entry + 12);
            best_distance = distance;
            best_bits = bits;
        }
    }
    DWORD image_size = 0;
    const BYTE *image = resource_bytes(module, MAKEINTRESOURCEW(best), RT_ICON, &image_size);
    icon_object icon;
    if (image == nullptr || !read_image(image, image_size, &icon)) {
        set_error(ERROR_INVALID_DATA);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(table().lock);
    const HICON handle = (HICON)table().next;
    table().next += 4;
    table().icons[(ULONG_PTR)handle] = icon;
    return handle;
}

} // namespace

namespace platform::user32 {

bool icon_size(HICON icon, int *width, int *height)
{
    std::lock_guard<std::mutex> guard(table().lock);
    auto it = table().icons.find((ULONG_PTR)icon);
    if (it == table().icons.end()) {
        return false;
    }
    *width = it->second.width;
    *height = it->second.height;
    return true;
}

} // namespace platform::user32

// A null instance loads a stock icon. Each icon is loaded once: later calls for the same
// module and name return the same handle, which stays valid until the machine shuts down.
extern "C" HICON WINAPI LoadIconW(HINSTANCE hInstance, LPCWSTR lpIconName)
{
    if (lpIconName == nullptr) {
        set_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::pair<HMODULE, std::wstring> key(hInstance, key_of(lpIconName));
    {
        std::lock_guard<std::mutex> guard(table().lock);
        auto it = table().shared.find(key);
        if (it != table().shared.end()) {
            return it->second;
        }
    }
    HICON icon = nullptr;
    if (hInstance != nullptr) {
        icon = load_group(hInstance, lpIconName);
    } else if (IS_INTRESOURCE(lpIconName) && (WORD)(ULONG_PTR)lpIconName >= first_stock_icon &&
               (WORD)(ULONG_PTR)lpIconName <= last_stock_icon) {
        std::lock_guard<std::mutex> guard(table().lock);
        icon = (HICON)table().next;
        table().next += 4;
        table().icons[(ULONG_PTR)icon] = icon_object{GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 32};
    } else {
        set_error(ERROR_RESOURCE_NAME_NOT_FOUND);
    }
    if (icon != nullptr) {
        std::lock_guard<std::mutex> guard(table().lock);
        auto inserted = table().shared.emplace(key, icon);
        icon = inserted.first->second; // a load racing this one keeps the first handle
    }
    return icon;
}
