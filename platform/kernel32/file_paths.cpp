// Paths and file attributes: each process's current directory, GetFullPathNameW, and
// GetFileAttributesW over the machine's file store; LocalAlloc and LocalFree.
#include "kernel32_private.h"
#include "current_directory.h"
#include "file_store.h"
#include <platform/device_install.h>
#include <platform/machine_state.h>
#include <cstdlib>
#include <cwctype>
#include <map>
#include <vector>

namespace platform {
namespace {

std::mutex g_lock;
std::map<ULONG, std::wstring> g_directories; // process id -> current directory

void reset()
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_directories.clear();
}

machine_hooks g_hooks("kernel32.file_paths", reset, reset);

bool has_drive(const std::wstring &path)
{
    return path.size() >= 2 && path[1] == L':' && std::iswalpha((wint_t)path[0]);
}

// Resolves "." and ".." in the part after the root; ".." never climbs above the root.
std::wstring normalise(const std::wstring &root, const std::wstring &rest)
{
    std::vector<std::wstring> parts;
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find(L'\\', start);
        if (end == std::wstring::npos) {
            end = rest.size();
        }
        const std::wstring part = rest.substr(start, end - start);
        if (part == L"..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != L".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::wstring result = root;
    for (size_t i = 0; i < parts.size(); ++i) {
        result += parts[i];
        if (i + 1 < parts.size()) {
            result += L'\\';
        }
    }
    const bool trailing = !rest.empty() && rest.back() == L'\\' && !parts.empty();
    if (trailing) {
        result += L'\\';
    }
    return result;
}

} // namespace

std::wstring current_directory_of(ULONG process_id)
{
    std::lock_guard<std::mutex> guard(g_lock);
    auto found = g_directories.find(process_id);
    return found != g_directories.end() ? found->second : std::wstring(L"C:\\");
}

void current_directory_set(ULONG process_id, const std::wstring &directory)
{
    std::wstring full = full_path_of(directory);
    if (!full.empty() && full.back() != L'\\') {
        full += L'\\';
    }
    std::lock_guard<std::mutex> guard(g_lock);
    g_directories[process_id] = full;
}

std::wstring full_path_of(const std::wstring &given)
{
    std::wstring path = given;
    for (WCHAR &c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    if (path.empty()) {
        return {};
    }
    if (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') {
        const size_t share = path.find(L'\\', 2);
        const size_t root_end = share == std::wstring::npos ? path.size() : path.find(L'\\', share + 1);
        if (root_end == std::wstring::npos) {
            return path;
        }
        return normalise(path.substr(0, root_end + 1), path.substr(root_end + 1));
    }
    const std::wstring current = current_directory_of(process_current()->id);
    if (has_drive(path)) {
        const std::wstring rest = path.size() > 2 && path[2] == L'\\' ? path.substr(3) : path.substr(2);
        std::wstring root = path.substr(0, 2) + L"\\";
        root[0] = (WCHAR)std::towupper((wint_t)root[0]);
        return normalise(root, rest);
    }
    if (path[0] == L'\\') {
        return normalise(current.substr(0, 3), path.substr(1));
    }
    return normalise(current.substr(0, 3), current.substr(3) + path);
}

} // namespace platform

using namespace platform;

DWORD WINAPI GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer)
{
    std::wstring directory = current_directory_of(process_current()->id);
    if (directory.size() > 3) {
        directory.pop_back();
    }
    if (lpBuffer == nullptr || nBufferLength <= directory.size()) {
        return (DWORD)directory.size() + 1;
    }
    directory.copy(lpBuffer, directory.size());
    lpBuffer[directory.size()] = L'\0';
    return (DWORD)directory.size();
}

DWORD WINAPI GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer, LPWSTR *lpFilePart)
{
    if (lpFileName == nullptr || lpFileName[0] == L'\0') {
        win32_set_last_error(ERROR_INVALID_NAME);
        return 0;
    }
    const std::wstring full = full_path_of(lpFileName);
    if (lpBuffer == nullptr || nBufferLength <= full.size()) {
        return (DWORD)full.size() + 1;
    }
    full.copy(lpBuffer, full.size());
    lpBuffer[full.size()] = L'\0';
    if (lpFilePart != nullptr) {
        const size_t slash = full.rfind(L'\\');
        *lpFilePart = slash + 1 < full.size() ? lpBuffer + slash + 1 : nullptr;
    }
    return (DWORD)full.size();
}

DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName)
{
    if (lpFileName == nullptr || lpFileName[0] == L'\0') {
        win32_set_last_error(ERROR_INVALID_NAME);
        return INVALID_FILE_ATTRIBUTES;
    }
    const ULONG attributes = file_store_attributes(lpFileName);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const std::wstring folder = store_parent_of(full_path_of(lpFileName));
        const bool folder_exists = folder.empty() || file_store_attributes(folder) != INVALID_FILE_ATTRIBUTES;
        win32_set_last_error(folder_exists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    }
    return attributes;
}

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes)
{
    void *memory = (uFlags & LMEM_ZEROINIT) != 0 ? std::calloc(1, uBytes != 0 ? uBytes : 1)
                                                  : std::malloc(uBytes != 0 ? uBytes : 1);
    if (memory == nullptr) {
        win32_set_last_error(ERROR_NOT_ENOUGH_MEMORY);
    }
    return memory;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem)
{
    std::free(hMem);
    return nullptr;
}
