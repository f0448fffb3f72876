// CommandLineToArgvW: splits a command line into arguments with the C runtime's rules and
// returns them in one LocalAlloc block (pointer array, null entry, then the strings).
#include <windows.h>
#include <shellapi.h>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool is_blank(WCHAR c)
{
    return c == L' ' || c == L'\t';
}

// The program name: up to the closing quote when quoted, else up to the first blank; no
// escapes. A line that starts with a blank has an empty program name.
size_t split_program(const WCHAR *line, std::wstring *program)
{
    size_t i = 0;
    if (line[0] == L'"') {
        for (i = 1; line[i] != L'\0' && line[i] != L'"'; ++i) {
            program->push_back(line[i]);
        }
        if (line[i] == L'"') {
            ++i;
        }
    } else {
        for (; line[i] != L'\0' && !is_blank(line[i]); ++i) {
            program->push_back(line[i]);
        }
    }
    return i;
}

// The remaining arguments: 2n backslashes before a quote give n backslashes and the quote
// opens or closes a quoted part; 2n+1 give n backslashes and a literal quote; other
// backslashes are literal; inside a quoted part "" is a literal quote.
void split_arguments(const WCHAR *line, std::vector<std::wstring> *arguments)
{
    size_t i = 0;
    for (;;) {
        while (is_blank(line[i])) {
            ++i;
        }
        if (line[i] == L'\0') {
            return;
        }
        std::wstring argument;
        bool quoted = false;
        while (line[i] != L'\0' && (quoted || !is_blank(line[i]))) {
            if (line[i] == L'\\') {
                size_t count = 0;
                while (line[i] == L'\\') {
                    ++count;
                    ++i;
                }
                if (line[i] == L'"') {
                    argument.append(count / 2, L'\\');
                    if (count % 2 == 1) {
                        argument.push_back(L'"');
                        ++i;
                    }
                } else {
                    argument.append(count, L'\\');
                }
            } else if (line[i] == L'"') {
                if (quoted && line[i + 1] == L'"') {
                    argument.push_back(L'"');
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                argument.push_back(line[i++]);
            }
        }
        arguments->push_back(argument);
    }
}

} // namespace

LPWSTR *WINAPI CommandLineToArgvW(LPCWSTR lpCmdLine, int *pNumArgs)
{
    if (pNumArgs == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::vector<std::wstring> arguments;
    if (lpCmdLine == nullptr || lpCmdLine[0] == L'\0') {
        WCHAR path[MAX_PATH];
        const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
        arguments.emplace_back(path, length < MAX_PATH ? length : 0);
    } else {
        std::wstring program;
        const size_t end = split_program(lpCmdLine, &program);
        arguments.push_back(program);
        split_arguments(lpCmdLine + end, &arguments);
    }
    size_t bytes = (arguments.size() + 1) * sizeof(LPWSTR);
    for (const std::wstring &argument : arguments) {
        bytes += (argument.size() + 1) * sizeof(WCHAR);
    }
    auto *block = static_cast<BYTE *>(LocalAlloc(LMEM_FIXED, bytes));
    if (block == nullptr) {
        return nullptr;
    }
    auto *pointers = reinterpret_cast<LPWSTR *>(block);
    auto *text = reinterpret_cast<WCHAR *>(block + (arguments.size() + 1) * sizeof(LPWSTR));
    for (size_t n = 0; n < arguments.size(); ++n) {
        pointers[n] = text;
        std::memcpy(text, arguments[n].c_str(), (arguments[n].size() + 1) * sizeof(WCHAR));
        text += arguments[n].size() + 1;
    }
    pointers[arguments.size()] = nullptr;
    *pNumArgs = (int)arguments.size();
    return pointers;
}
