// GUIDs as text, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}": formatting in upper case and
// strict parsing, and the task memory that returned strings live in.
#include <objbase.h>
#include <cstdlib>
#include <cwchar>

namespace {

constexpr int guid_chars = CHARS_IN_GUID - 1; // without the NUL

void format_guid(const GUID &g, WCHAR *out)
{
    static const WCHAR digits[] = L"0123456789ABCDEF";
    int pos = 0;
    auto put_hex = [&](std::uint64_t value, int count) {
        for (int i = count - 1; i >= 0; --i) {
            out[pos++] = digits[(value >> (i * 4)) & 0xF];
        }
    };
    out[pos++] = L'{';
    put_hex(g.Data1, 8);
    out[pos++] = L'-';
    put_hex(g.Data2, 4);
    out[pos++] = L'-';
    put_hex(g.Data3, 4);
    out[pos++] = L'-';
    put_hex(g.Data4[0], 2);
    put_hex(g.Data4[1], 2);
    out[pos++] = L'-';
    for (int i = 2; i < 8; ++i) {
        put_hex(g.Data4[i], 2);
    }
    out[pos++] = L'}';
    out[pos] = L'\0';
}

int hex_value(WCHAR c)
{
    if (c >= L'0' && c <= L'9') {
        return c - L'0';
    }
    if (c >= L'a' && c <= L'f') {
        return c - L'a' + 10;
    }
    if (c >= L'A' && c <= L'F') {
        return c - L'A' + 10;
    }
    return -1;
}

// Accepts exactly the braced form, digits of either case; nothing may follow the brace.
bool parse_guid(LPCOLESTR text, GUID *out)
{
    if (text == nullptr || std::wcslen(text) != (size_t)guid_chars || text[0] != L'{' || text[37] != L'}') {
        return false;
    }
    int pos = 1;
    auto read_hex = [&](int count, std::uint64_t *value) {
        *value = 0;
        for (int i = 0; i < count; ++i) {
            const int v = hex_value(text[pos++]);
            if (v < 0) {
                return false;
            }
            *value = (*value << 4) | (std::uint64_t)v;
        }
        return true;
    };
    auto dash = [&]() { return text[pos++] == L'-'; };
    std::uint64_t v = 0;
    GUID g{};
    if (!read_hex(8, &v)) {
        return false;
    }
    g.Data1 = (std::uint32_t)v;
    if (!dash() || !read_hex(4, &v)) {
        return false;
    }
    g.Data2 = (std::uint16_t)v;
    if (!dash() || !read_hex(4, &v)) {
        return false;
    }
    g.Data3 = (std::uint16_t)v;
    if (!dash()) {
        return false;
    }
    for (int i = 0; i < 8; ++i) {
        if (i == 2 && !dash()) {
            return false;
        }
        if (!read_hex(2, &v)) {
            return false;
        }
        g.Data4[i] = (std::uint8_t)v;
    }
    *out = g;
    return true;
}

} // namespace

extern "C" LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb)
{
    return std::malloc(cb == 0 ? 1 : cb);
}

extern "C" LPVOID WINAPI CoTaskMemRealloc(LPVOID pv, SIZE_T cb)
{
    return std::realloc(pv, cb == 0 ? 1 : cb);
}

extern "C" void WINAPI CoTaskMemFree(LPVOID pv)
{
    std::free(pv);
}

extern "C" int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax)
{
    if (lpsz == nullptr || cchMax < CHARS_IN_GUID) {
        return 0;
    }
    format_guid(rguid, lpsz);
    return CHARS_IN_GUID;
}

extern "C" HRESULT WINAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR *lplpsz)
{
    if (lplpsz == nullptr) {
        return E_INVALIDARG;
    }
    *lplpsz = nullptr;
    auto *text = static_cast<LPOLESTR>(CoTaskMemAlloc(CHARS_IN_GUID * sizeof(WCHAR)));
    if (text == nullptr) {
        return E_OUTOFMEMORY;
    }
    format_guid(rclsid, text);
    *lplpsz = text;
    return S_OK;
}

extern "C" HRESULT WINAPI StringFromIID(REFIID rclsid, LPOLESTR *lplpsz)
{
    return StringFromCLSID(rclsid, lplpsz);
}

// A malformed text yields CO_E_CLASSSTRING and leaves GUID_NULL in *pclsid.
extern "C" HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid)
{
    if (pclsid == nullptr) {
        return E_INVALIDARG;
    }
    if (lpsz == nullptr) {
        *pclsid = GUID_NULL;
        return S_OK; // a null text stands for the null class identifier
    }
    if (!parse_guid(lpsz, pclsid)) {
        *pclsid = GUID_NULL;
        return CO_E_CLASSSTRING;
    }
    return S_OK;
}

// IIDFromString leaves *lpiid as it was on a malformed text and reports E_INVALIDARG.
extern "C" HRESULT WINAPI IIDFromString(LPCOLESTR lpsz, LPIID lpiid)
{
    if (lpiid == nullptr) {
        return E_INVALIDARG;
    }
    if (lpsz == nullptr) {
        *lpiid = GUID_NULL;
        return S_OK;
    }
    return parse_guid(lpsz, lpiid) ? S_OK : E_INVALIDARG;
}
