// The machine's file store: the files and folders tests and device setup declare present and
// the files programs create through CreateFileW, with their contents. Emptied at each boot.
#include "file_store.h"
#include "current_directory.h"
#include <platform/device_install.h>
#include <platform/machine_state.h>
#include <algorithm>
#include <cstring>
#include <cwctype>
#include <map>
#include <mutex>
#include <vector>

namespace platform {

struct store_node {
    ULONG attributes = FILE_ATTRIBUTE_ARCHIVE;
    std::vector<BYTE> data;
    // Every open of the file, for the sharing checks: {readable, writable, share}.
    struct open_entry {
        const store_open_file *file;
        bool readable;
        bool writable;
        DWORD share;
    };
    std::vector<open_entry> opens;
};

namespace {

#ifndef FILE_READ_DATA
#define FILE_READ_DATA 0x0001
#endif
#ifndef FILE_WRITE_DATA
#define FILE_WRITE_DATA 0x0002
#endif
#ifndef FILE_APPEND_DATA
#define FILE_APPEND_DATA 0x0004
#endif

// Attribute bits a created file takes from CreateFileW's flags and attributes.
const DWORD CreatableAttributes = FILE_ATTRIBUTE_READONLY | 0x2 /* hidden */ | 0x4 /* system */ |
                                  FILE_ATTRIBUTE_ARCHIVE | 0x100 /* temporary */ | 0x2000 /* not indexed */;

std::mutex g_lock;
std::map<std::wstring, std::shared_ptr<store_node>> g_files; // lower-case full path -> file

void reset()
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_files.clear();
}

machine_hooks g_hooks("kernel32.file_store", reset, reset);

std::wstring lower(std::wstring text)
{
    for (WCHAR &c : text) {
        c = (WCHAR)std::towlower((wint_t)c);
    }
    return text;
}

bool has_drive(const std::wstring &path)
{
    return path.size() >= 2 && path[1] == L':' && std::iswalpha((wint_t)path[0]);
}

bool starts_with_no_case(const std::wstring &text, const WCHAR *prefix)
{
    const size_t length = std::wcslen(prefix);
    return text.size() >= length && lower(text.substr(0, length)) == lower(prefix);
}

std::wstring store_key(const std::wstring &path)
{
    std::wstring full = lower(full_path_of(path));
    if (full.size() > 3 && full.back() == L'\\') {
        full.pop_back();
    }
    return full;
}

// g_lock held.
ULONG attributes_locked(const std::wstring &key)
{
    if (key.size() == 3 && has_drive(key)) {
        return FILE_ATTRIBUTE_DIRECTORY;
    }
    auto found = g_files.find(key);
    if (found != g_files.end()) {
        return found->second->attributes;
    }
    const std::wstring folder = key + L"\\";
    auto below = g_files.lower_bound(folder);
    if (below != g_files.end() && below->first.compare(0, folder.size(), folder) == 0) {
        return FILE_ATTRIBUTE_DIRECTORY;
    }
    return INVALID_FILE_ATTRIBUTES;
}

// Windows' sharing rule: each side's access must be allowed by the other side's share mode.
bool shares_with(const store_node &node, bool readable, bool writable, DWORD share)
{
    for (const store_node::open_entry &open : node.opens) {
        if ((readable && (open.share & FILE_SHARE_READ) == 0) || (writable && (open.share & FILE_SHARE_WRITE) == 0) ||
            (open.readable && (share & FILE_SHARE_READ) == 0) || (open.writable && (share & FILE_SHARE_WRITE) == 0)) {
            return false;
        }
    }
    return true;
}

} // namespace

std::wstring store_parent_of(const std::wstring &full_path)
{
    const size_t slash = full_path.rfind(L'\\');
    if (slash == std::wstring::npos || slash < 3) {
        return {};
    }
    return full_path.substr(0, slash);
}

bool store_is_file_path(const std::wstring &path)
{
    if (starts_with_no_case(path, L"\\\\?\\") || starts_with_no_case(path, L"\\??\\")) {
        return has_drive(path.substr(4));
    }
    return !starts_with_no_case(path, L"\\\\.\\") && !starts_with_no_case(path, L"\\Device\\");
}

store_open_file::store_open_file(std::shared_ptr<store_node> n, bool can_read, bool can_write, DWORD share_mode)
    : node(std::move(n)), readable(can_read), writable(can_write), share(share_mode)
{
}

store_open_file::~store_open_file()
{
    std::lock_guard<std::mutex> guard(g_lock);
    auto &opens = node->opens;
    opens.erase(std::remove_if(opens.begin(), opens.end(),
                               [this](const store_node::open_entry &open) { return open.file == this; }),
                opens.end());
}

DWORD store_open_file::read(void *buffer, DWORD length, const ULONGLONG *offset, DWORD *transferred)
{
    *transferred = 0;
    if (!readable) {
        return ERROR_ACCESS_DENIED;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    const ULONGLONG at = offset != nullptr ? *offset : m_position;
    const ULONGLONG size = node->data.size();
    const DWORD count = at >= size ? 0 : (DWORD)std::min<ULONGLONG>(length, size - at);
    if (count > 0) {
        std::memcpy(buffer, node->data.data() + at, count);
    }
    if (offset == nullptr) {
        m_position = at + count;
    }
    *transferred = count;
    return ERROR_SUCCESS;
}

DWORD store_open_file::write(const void *buffer, DWORD length, const ULONGLONG *offset, DWORD *transferred)
{
    *transferred = 0;
    if (!writable) {
        return ERROR_ACCESS_DENIED;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    const ULONGLONG at = offset != nullptr ? *offset : m_position;
    if (node->data.size() < at + length) {
        node->data.resize((size_t)(at + length), 0);
    }
    if (length > 0) {
        std::memcpy(node->data.data() + at, buffer, length);
    }
    if (offset == nullptr) {
        m_position = at + length;
    }
    *transferred = length;
    return ERROR_SUCCESS;
}

DWORD store_open(const std::wstring &given, DWORD access, DWORD share, DWORD disposition, DWORD attributes,
                 std::unique_ptr<store_open_file> *opened)
{
    const std::wstring path =
        starts_with_no_case(given, L"\\\\?\\") || starts_with_no_case(given, L"\\??\\") ? given.substr(4) : given;
    const bool readable = (access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0;
    const bool writable = (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    if (disposition == TRUNCATE_EXISTING && !writable) {
        return ERROR_INVALID_PARAMETER;
    }
    const std::wstring key = store_key(path);
    const std::wstring folder = store_parent_of(key);
    std::lock_guard<std::mutex> guard(g_lock);
    const ULONG folder_attributes = folder.empty() ? FILE_ATTRIBUTE_DIRECTORY : attributes_locked(folder);
    if (folder_attributes == INVALID_FILE_ATTRIBUTES || (folder_attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return ERROR_PATH_NOT_FOUND; // a missing folder, or a file where a folder should be
    }
    const ULONG existing = attributes_locked(key);
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return ERROR_ACCESS_DENIED;
    }
    std::shared_ptr<store_node> node;
    DWORD result = ERROR_SUCCESS;
    if (existing == INVALID_FILE_ATTRIBUTES) {
        if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
            return ERROR_FILE_NOT_FOUND;
        }
        node = std::make_shared<store_node>();
        node->attributes = (attributes & CreatableAttributes) | FILE_ATTRIBUTE_ARCHIVE;
        g_files[key] = node;
    } else {
        if (disposition == CREATE_NEW) {
            return ERROR_FILE_EXISTS;
        }
        node = g_files[key];
        const bool truncates = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
        if ((node->attributes & FILE_ATTRIBUTE_READONLY) != 0 && (writable || truncates)) {
            return ERROR_ACCESS_DENIED;
        }
        if (!shares_with(*node, readable, writable, share)) {
            return ERROR_SHARING_VIOLATION;
        }
        if (truncates) {
            node->data.clear();
        }
        if (disposition == CREATE_ALWAYS) {
            node->attributes = (attributes & CreatableAttributes) | FILE_ATTRIBUTE_ARCHIVE;
        }
        if (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) {
            result = ERROR_ALREADY_EXISTS;
        }
    }
    *opened = std::make_unique<store_open_file>(node, readable, writable, share);
    node->opens.push_back({opened->get(), readable, writable, share});
    return result;
}

void file_store_add(const std::wstring &path, ULONG attributes)
{
    const std::wstring key = store_key(path);
    std::lock_guard<std::mutex> guard(g_lock);
    std::shared_ptr<store_node> &node = g_files[key];
    if (node == nullptr) {
        node = std::make_shared<store_node>();
    }
    node->attributes = attributes;
}

void file_store_remove(const std::wstring &path)
{
    const std::wstring key = store_key(path);
    std::lock_guard<std::mutex> guard(g_lock);
    g_files.erase(key);
}

ULONG file_store_attributes(const std::wstring &path)
{
    const std::wstring key = store_key(path);
    std::lock_guard<std::mutex> guard(g_lock);
    return attributes_locked(key);
}

bool file_store_contents(const std::wstring &path, std::string *bytes)
{
    const std::wstring key = store_key(path);
    std::lock_guard<std::mutex> guard(g_lock);
    auto found = g_files.find(key);
    if (found == g_files.end() || (found->second->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;
    }
    if (bytes != nullptr) {
        bytes->assign(found->second->data.begin(), found->second->data.end());
    }
    return true;
}

} // namespace platform
