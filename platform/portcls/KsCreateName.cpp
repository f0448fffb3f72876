// Create names of KS objects on a subdevice: "\<subdevice>" opens the filter,
// "\<subdevice>\{KSNAME_Pin}\<hex connect request>" creates a pin.
#include <cwchar>
#include <cwctype>
#include "portcls_internal.h"
#include <platform/ks_client.h>

namespace platform {

std::wstring ks_guid_text(const GUID &guid)
{
    WCHAR text[40];
    std::swprintf(text, 40, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2,
                  guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                  guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

std::wstring ks_pin_create_name(const KSPIN_CONNECT *connect, ULONG connect_size)
{
    static const WCHAR digits[] = L"0123456789ABCDEF";
    std::wstring name = L"\\" + ks_guid_text(KSNAME_Pin) + L"\\";
    const UCHAR *bytes = reinterpret_cast<const UCHAR *>(connect);
    for (ULONG i = 0; i < connect_size; ++i) {
        name.push_back(digits[bytes[i] >> 4]);
        name.push_back(digits[bytes[i] & 15]);
    }
    return name;
}

namespace {

int hex_value(WCHAR c)
{
    if (c >= L'0' && c <= L'9') {
        return c - L'0';
    }
    c = (WCHAR)std::towupper(c);
    if (c >= L'A' && c <= L'F') {
        return c - L'A' + 10;
    }
    return -1;
}

bool equal_no_case(const std::wstring &a, const std::wstring &b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::towupper(a[i]) != std::towupper(b[i])) {
            return false;
        }
    }
    return true;
}

} // namespace

bool ks_parse_create_name(const WCHAR *name, ULONG name_chars, std::wstring *subdevice, bool *is_pin,
                          std::vector<UCHAR> *connect)
{
    std::wstring text(name, name_chars);
    if (!text.empty() && text[0] == L'\\') {
        text.erase(0, 1);
    }
    size_t slash = text.find(L'\\');
    *subdevice = text.substr(0, slash);
    *is_pin = false;
    connect->clear();
    if (subdevice->empty()) {
        return false;
    }
    if (slash == std::wstring::npos) {
        return true;
    }
    std::wstring rest = text.substr(slash + 1);
    std::wstring pin_name = ks_guid_text(KSNAME_Pin);
    if (rest.size() < pin_name.size() + 1 || !equal_no_case(rest.substr(0, pin_name.size()), pin_name) ||
        rest[pin_name.size()] != L'\\') {
        return false;
    }
    std::wstring hex = rest.substr(pin_name.size() + 1);
    if (hex.empty() || hex.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < hex.size(); i += 2) {
        int high = hex_value(hex[i]);
        int low = hex_value(hex[i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        connect->push_back((UCHAR)(high * 16 + low));
    }
    *is_pin = true;
    return true;
}

LONG portcls_live_objects() { return pc_live_objects().load(); }

std::atomic<LONG> &pc_live_objects()
{
    static std::atomic<LONG> count{0};
    return count;
}

} // namespace platform
