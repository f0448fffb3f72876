// CString: searching, editing, case, trimming, buffers and formatting with Windows printf
// conventions translated to the C library's wide printf.
#include <afxwin.h>
#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <vector>

namespace {

// Rewrites a Windows wide printf format for the C library: %s and %c take wide arguments
// unless marked h (narrow); %S and %C are the opposite; l on an integer is 32-bit and is
// dropped; I64 becomes ll, I32 nothing, I alone z. %n is refused. Returns false for a format
// that cannot be rewritten.
bool translate_format(const wchar_t *in, std::wstring *out)
{
    while (*in != L'\0') {
        if (*in != L'%') {
            out->push_back(*in++);
            continue;
        }
        out->push_back(*in++);
        if (*in == L'%') {
            out->push_back(*in++);
            continue;
        }
        while (*in != L'\0' && std::wcschr(L"-+ #0", *in) != nullptr) {
            out->push_back(*in++);
        }
        while (*in == L'*' || std::iswdigit((wint_t)*in)) {
            out->push_back(*in++);
        }
        if (*in == L'.') {
            out->push_back(*in++);
            while (*in == L'*' || std::iswdigit((wint_t)*in)) {
                out->push_back(*in++);
            }
        }
        bool narrow = false;
        bool wide = false;
        std::wstring size;
        for (;;) {
            if (*in == L'h') {
                narrow = true;
                size += L'h';
                ++in;
            } else if (in[0] == L'l' && in[1] == L'l') {
                size = L"ll";
                in += 2;
            } else if (*in == L'l' || *in == L'w') {
                wide = true;
                ++in;
            } else if (in[0] == L'I' && in[1] == L'6' && in[2] == L'4') {
                size = L"ll";
                in += 3;
            } else if (in[0] == L'I' && in[1] == L'3' && in[2] == L'2') {
                in += 3;
            } else if (*in == L'I') {
                size = L"z";
                ++in;
            } else if (*in == L'z' || *in == L'j' || *in == L't' || *in == L'L') {
                size = *in++;
            } else {
                break;
            }
        }
        const wchar_t conversion = *in;
        if (conversion == L'\0' || conversion == L'n') {
            return false;
        }
        ++in;
        switch (conversion) {
        case L's':
        case L'c':
            *out += narrow ? L"" : L"l";
            out->push_back(conversion);
            break;
        case L'S':
        case L'C':
            *out += wide ? L"l" : L"";
            out->push_back(conversion == L'S' ? L's' : L'c');
            break;
        case L'd':
        case L'i':
        case L'u':
        case L'x':
        case L'X':
        case L'o':
            *out += size;
            out->push_back(conversion);
            break;
        default:
            *out += size == L"L" ? L"L" : L"";
            out->push_back(conversion);
            break;
        }
    }
    return true;
}

} // namespace

int CString::Compare(LPCWSTR other) const { return m_text.compare(other != nullptr ? other : L""); }

int CString::CompareNoCase(LPCWSTR other) const
{
    const std::wstring b = other != nullptr ? other : L"";
    const size_t n = std::min(m_text.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const wint_t x = std::towlower((wint_t)m_text[i]);
        const wint_t y = std::towlower((wint_t)b[i]);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return m_text.size() == b.size() ? 0 : (m_text.size() < b.size() ? -1 : 1);
}

int CString::Find(LPCWSTR sub, int start) const
{
    if (sub == nullptr || start < 0 || (size_t)start > m_text.size()) {
        return -1;
    }
    const size_t at = m_text.find(sub, (size_t)start);
    return at == std::wstring::npos ? -1 : (int)at;
}

int CString::Find(WCHAR ch, int start) const
{
    if (start < 0 || (size_t)start > m_text.size()) {
        return -1;
    }
    const size_t at = m_text.find(ch, (size_t)start);
    return at == std::wstring::npos ? -1 : (int)at;
}

int CString::ReverseFind(WCHAR ch) const
{
    const size_t at = m_text.rfind(ch);
    return at == std::wstring::npos ? -1 : (int)at;
}

CString CString::Left(int count) const { return CString(m_text.substr(0, (size_t)std::max(count, 0))); }

CString CString::Right(int count) const
{
    const size_t n = std::min((size_t)std::max(count, 0), m_text.size());
    return CString(m_text.substr(m_text.size() - n));
}

CString CString::Mid(int first) const { return Mid(first, GetLength()); }

CString CString::Mid(int first, int count) const
{
    const size_t start = std::min((size_t)std::max(first, 0), m_text.size());
    return CString(m_text.substr(start, (size_t)std::max(count, 0)));
}

int CString::Replace(LPCWSTR oldText, LPCWSTR newText)
{
    if (oldText == nullptr || *oldText == L'\0') {
        return 0;
    }
    const std::wstring from = oldText;
    const std::wstring to = newText != nullptr ? newText : L"";
    int count = 0;
    for (size_t at = m_text.find(from); at != std::wstring::npos; at = m_text.find(from, at + to.size())) {
        m_text.replace(at, from.size(), to);
        ++count;
    }
    return count;
}

int CString::Replace(WCHAR oldCh, WCHAR newCh)
{
    int count = 0;
    for (WCHAR &c : m_text) {
        if (c == oldCh) {
            c = newCh;
            ++count;
        }
    }
    return count;
}

CString &CString::MakeLower()
{
    for (WCHAR &c : m_text) {
        c = (WCHAR)std::towlower((wint_t)c);
    }
    return *this;
}

CString &CString::MakeUpper()
{
    for (WCHAR &c : m_text) {
        c = (WCHAR)std::towupper((wint_t)c);
    }
    return *this;
}

CString &CString::Trim() { return TrimRight().TrimLeft(); }

CString &CString::TrimLeft()
{
    size_t n = 0;
    while (n < m_text.size() && std::iswspace((wint_t)m_text[n])) {
        ++n;
    }
    m_text.erase(0, n);
    return *this;
}

CString &CString::TrimRight()
{
    while (!m_text.empty() && std::iswspace((wint_t)m_text.back())) {
        m_text.pop_back();
    }
    return *this;
}

void CString::Format(LPCWSTR format, ...)
{
    va_list args;
    va_start(args, format);
    FormatV(format, args);
    va_end(args);
}

void CString::FormatV(LPCWSTR format, va_list args)
{
    m_text.clear();
    std::wstring translated;
    if (format == nullptr || !translate_format(format, &translated)) {
        return;
    }
    std::vector<wchar_t> buffer(256);
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        const int written = std::vswprintf(buffer.data(), buffer.size(), translated.c_str(), copy);
        va_end(copy);
        if (written >= 0) {
            m_text.assign(buffer.data(), (size_t)written);
            return;
        }
        if (buffer.size() >= (1u << 20)) {
            return;
        }
        buffer.resize(buffer.size() * 2);
    }
}

void CString::AppendFormat(LPCWSTR format, ...)
{
    CString more;
    va_list args;
    va_start(args, format);
    more.FormatV(format, args);
    va_end(args);
    m_text += more.m_text;
}

BOOL CString::LoadString(UINT id)
{
    LPCWSTR text = nullptr;
    const int length = ::LoadStringW(AfxGetResourceHandle(), id, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || text == nullptr) {
        return FALSE;
    }
    m_text.assign(text, (size_t)length);
    return TRUE;
}

LPWSTR CString::GetBuffer(int minLength)
{
    if ((size_t)std::max(minLength, 0) > m_text.size()) {
        m_text.resize((size_t)minLength);
    }
    return m_text.data();
}

LPWSTR CString::GetBufferSetLength(int length)
{
    m_text.resize((size_t)std::max(length, 0));
    return m_text.data();
}

void CString::ReleaseBuffer(int newLength)
{
    if (newLength < 0) {
        newLength = (int)std::wcslen(m_text.c_str());
    }
    m_text.resize(std::min((size_t)newLength, m_text.size()));
}
