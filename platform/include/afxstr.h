// CString: the dialog framework's wide string, a value type over std::wstring with the
// operations the framework's programs use. Format takes Windows printf conventions (%s is a
// wide string, %hs a narrow one, l and I32 are 32-bit, I64 and ll 64-bit).
#pragma once
#include <windows.h>
#include <cstdarg>
#include <string>

#ifndef _T
typedef WCHAR TCHAR;
typedef LPCWSTR LPCTSTR;
typedef LPWSTR LPTSTR;
#define _T(x) L##x
#endif
#ifndef TEXT
#define TEXT(x) L##x
#endif

class CString {
public:
    CString() = default;
    CString(const CString &) = default;
    CString(CString &&) noexcept = default;
    CString(LPCWSTR text) : m_text(text != nullptr ? text : L"") {}
    CString(LPCWSTR text, int length) : m_text(text != nullptr && length > 0 ? std::wstring(text, (size_t)length) : L"") {}
    CString(WCHAR ch, int repeat = 1) : m_text(repeat > 0 ? (size_t)repeat : 0, ch) {}
    explicit CString(const std::wstring &text) : m_text(text) {}

    CString &operator=(const CString &) = default;
    CString &operator=(CString &&) noexcept = default;
    CString &operator=(LPCWSTR text)
    {
        m_text = text != nullptr ? text : L"";
        return *this;
    }

    operator LPCWSTR() const { return m_text.c_str(); }
    LPCWSTR GetString() const { return m_text.c_str(); }
    const std::wstring &str() const { return m_text; }
    int GetLength() const { return (int)m_text.size(); }
    BOOL IsEmpty() const { return m_text.empty(); }
    void Empty() { m_text.clear(); }
    WCHAR GetAt(int index) const { return m_text.at((size_t)index); }
    void SetAt(int index, WCHAR ch) { m_text.at((size_t)index) = ch; }
    WCHAR operator[](int index) const { return GetAt(index); }

    CString &operator+=(const CString &other)
    {
        m_text += other.m_text;
        return *this;
    }
    CString &operator+=(LPCWSTR text)
    {
        m_text += text != nullptr ? text : L"";
        return *this;
    }
    CString &operator+=(WCHAR ch)
    {
        m_text += ch;
        return *this;
    }
    friend CString operator+(const CString &a, const CString &b) { return CString(a.m_text + b.m_text); }
    friend CString operator+(const CString &a, LPCWSTR b) { return a + CString(b); }
    friend CString operator+(LPCWSTR a, const CString &b) { return CString(a) + b; }
    friend bool operator==(const CString &a, const CString &b) { return a.m_text == b.m_text; }
    friend bool operator==(const CString &a, LPCWSTR b) { return a.m_text == (b != nullptr ? b : L""); }
    friend bool operator!=(const CString &a, const CString &b) { return !(a == b); }
    friend bool operator!=(const CString &a, LPCWSTR b) { return !(a == b); }

    // Ordinal comparisons: negative, zero or positive.
    int Compare(LPCWSTR other) const;
    int CompareNoCase(LPCWSTR other) const;

    int Find(LPCWSTR sub, int start = 0) const;
    int Find(WCHAR ch, int start = 0) const;
    int ReverseFind(WCHAR ch) const;
    CString Left(int count) const;
    CString Right(int count) const;
    CString Mid(int first) const;
    CString Mid(int first, int count) const;
    // Number of replacements made; an empty old text replaces nothing.
    int Replace(LPCWSTR oldText, LPCWSTR newText);
    int Replace(WCHAR oldCh, WCHAR newCh);
    CString &MakeLower();
    CString &MakeUpper();
    CString &Trim();
    CString &TrimLeft();
    CString &TrimRight();

    // Formats with Windows printf conventions (see the file comment). A format that cannot be
    // expanded leaves the string empty.
    void Format(LPCWSTR format, ...);
    void FormatV(LPCWSTR format, va_list args);
    void AppendFormat(LPCWSTR format, ...);

    // Loads string resource id of the framework's resource tables (afxres.h); FALSE and an
    // unchanged string when there is none.
    BOOL LoadString(UINT id);

    // A writable buffer of at least minLength characters plus a terminator; ReleaseBuffer takes
    // back the text up to newLength characters or, with -1, up to the first null.
    LPWSTR GetBuffer(int minLength = 0);
    LPWSTR GetBufferSetLength(int length);
    void ReleaseBuffer(int newLength = -1);

private:
    std::wstring m_text;
};

typedef CString CStringW;
