// OpenProcess and the image file name of a process (psapi), over the machine's process list.
#include "kernel32_private.h"
#include <psapi.h>
#include <platform/process.h>

using namespace platform;

namespace {

const WCHAR VolumeDevice[] = L"\\Device\\HarddiskVolume1";

// The NT form of the image path: the drive becomes the volume device; a bare file name sits
// at the volume's root.
std::wstring image_device_path(const std::wstring &image_name)
{
    if (image_name.size() >= 2 && image_name[1] == L':') {
        return VolumeDevice + image_name.substr(2);
    }
    return std::wstring(VolumeDevice) + L"\\" + image_name;
}

} // namespace

HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId)
{
    UNREFERENCED_PARAMETER(dwDesiredAccess);
    UNREFERENCED_PARAMETER(bInheritHandle);
    process *target = process_find(dwProcessId);
    if (target == nullptr) {
        win32_set_last_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto *object = new win32_process(target);
    process_dereference(target);
    HANDLE handle = win32_handle_insert(process_current(), object);
    win32_object_dereference(object);
    if (handle == nullptr) {
        win32_set_last_error(ERROR_INVALID_PARAMETER);
    }
    return handle;
}

DWORD WINAPI GetProcessImageFileNameW(HANDLE hProcess, LPWSTR lpImageFileName, DWORD nSize)
{
    auto *object = static_cast<win32_process *>(win32_handle_reference(hProcess, win32_object_type::process));
    if (object == nullptr) {
        win32_set_last_error(ERROR_INVALID_HANDLE);
        return 0;
    }
    const std::wstring image = object->p->image_name;
    win32_object_dereference(object);
    if (image.empty()) {
        win32_set_last_error(ERROR_GEN_FAILURE);
        return 0;
    }
    const std::wstring path = image_device_path(image);
    if (lpImageFileName == nullptr || nSize <= path.size()) {
        win32_set_last_error(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    path.copy(lpImageFileName, path.size());
    lpImageFileName[path.size()] = L'\0';
    return (DWORD)path.size();
}
