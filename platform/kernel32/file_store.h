// The machine's file store as kernel32 sees it: files by full path with their attributes and
// contents, and the files CreateFileW opens on it, with Windows' creation dispositions,
// sharing rules and a file pointer per open file.
#pragma once
#include <windows.h>
#include <memory>
#include <string>

namespace platform {

struct store_node;

// One CreateFileW open of a stored file. The open counts against the file's sharing until it
// is destroyed (the handle's last reference).
class store_open_file {
public:
    store_open_file(std::shared_ptr<store_node> node, bool readable, bool writable, DWORD share);
    ~store_open_file();
    store_open_file(const store_open_file &) = delete;
    store_open_file &operator=(const store_open_file &) = delete;

    // At the file pointer (offset null) or at *offset; the pointer advances only without an
    // offset. A Win32 error: ERROR_SUCCESS, or ERROR_ACCESS_DENIED without the access.
    DWORD read(void *buffer, DWORD length, const ULONGLONG *offset, DWORD *transferred);
    DWORD write(const void *buffer, DWORD length, const ULONGLONG *offset, DWORD *transferred);

    const std::shared_ptr<store_node> node;
    const bool readable;
    const bool writable;
    const DWORD share;

private:
    ULONGLONG m_position = 0;
};

// True for a path that names a file of the store rather than a device: a drive path, a
// relative path or a UNC path ("\\?\" followed by a drive path is one too).
bool store_is_file_path(const std::wstring &path);

// CreateFileW on the store. Returns ERROR_SUCCESS or ERROR_ALREADY_EXISTS (an existing file
// opened by CREATE_ALWAYS or OPEN_ALWAYS) with *opened set, else the failure's Win32 error.
DWORD store_open(const std::wstring &path, DWORD access, DWORD share, DWORD disposition, DWORD attributes,
                 std::unique_ptr<store_open_file> *opened);

// The folder above a full path ("C:\a\b" -> "C:\a"), or empty at the root.
std::wstring store_parent_of(const std::wstring &full_path);

} // namespace platform
