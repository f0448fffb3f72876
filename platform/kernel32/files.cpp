// Files and device I/O routed to the simulated kernel: CreateFileW opens a device through the
// I/O manager, and each read, write or control request becomes one IRP. As the I/O manager
// does, an overlapped request resets its event at issue and sets it at completion, with the
// status in Internal and the byte count in InternalHigh; a synchronous handle waits for the
// IRP; a ReadFileEx/WriteFileEx routine is queued as a user APC to the issuing thread.
// A drive, relative or UNC path opens a file of the machine's file store instead: its reads
// and writes complete at once, at the file pointer or, on an overlapped handle, at the
// OVERLAPPED's offset; control requests and completion routines are refused on it.
#include "kernel32_private.h"
#include "device_power.h"
#include "file_store.h"
#include <platform/user_io.h>
#include <memory>
#include <set>
#include <vector>

namespace platform {
namespace {

// Set at every completion on a file; GetOverlappedResult waits on it when the OVERLAPPED has
// no event. Shared with the requests, which may complete after the handle has closed.
struct file_signal {
    file_signal() { dispatcher_init(&completion, notification_event, 0); }
    DISPATCHER_HEADER completion;
};

struct win32_file : win32_object {
    win32_file(user_file *f, bool is_overlapped)
        : win32_object(win32_object_type::file), file(f), overlapped(is_overlapped),
          signal(std::make_shared<file_signal>())
    {
    }
    win32_file(std::unique_ptr<store_open_file> s, bool is_overlapped)
        : win32_object(win32_object_type::file), file(nullptr), store(std::move(s)), overlapped(is_overlapped),
          signal(std::make_shared<file_signal>())
    {
    }
    ~win32_file() override
    {
        if (file != nullptr) {
            user_io_close(file);
        }
        for (thread *t : issuers) {
            thread_dereference(t);
        }
    }

    void note_issuer(thread *t)
    {
        std::lock_guard<std::mutex> guard(lock);
        if (issuers.insert(t).second) {
            thread_reference(t);
        }
    }

    user_file *const file;                  // a device's file object, or null for a stored file
    const std::unique_ptr<store_open_file> store; // a stored file, or null for a device
    const bool overlapped;
    const std::shared_ptr<file_signal> signal;
    std::mutex lock;
    std::set<thread *> issuers; // referenced; guarded by lock
};

enum class request_kind { read, write, control };

struct request {
    request_kind kind;
    void *buffer = nullptr; // read or control output
    const void *input = nullptr; // write or control input
    ULONG length = 0;       // read/write length, control output length
    ULONG input_length = 0;
    ULONG code = 0;
};

// Completion of a synchronous request, shared with the callback that may outlive the call.
struct sync_completion {
    sync_completion() { dispatcher_init(&done, notification_event, 0); }
    DISPATCHER_HEADER done;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

// A ReadFileEx/WriteFileEx routine; suppressed when the call itself failed at once.
struct apc_completion {
    std::atomic<bool> suppressed{false};
};

NTSTATUS send(win32_file *file, const request &r, io_completion done)
{
    file->note_issuer(current_thread());
    switch (r.kind) {
    case request_kind::read:
        return user_io_read(file->file, r.buffer, r.length, std::move(done));
    case request_kind::write:
        return user_io_write(file->file, r.input, r.length, std::move(done));
    default:
        return user_io_ioctl(file->file, r.code, r.input, r.input_length, r.buffer, r.length, std::move(done));
    }
}

win32_file *reference_file(HANDLE handle)
{
    auto *file = static_cast<win32_file *>(win32_handle_reference(handle, win32_object_type::file));
    if (file == nullptr) {
        win32_set_last_error(ERROR_INVALID_HANDLE);
    }
    return file;
}

// Finishes a call whose final status is known: TRUE for success (last error untouched),
// FALSE with the mapped error otherwise. Warnings fail the call too.
BOOL finish(NTSTATUS status, ULONG_PTR information, LPDWORD transferred)
{
    if (transferred != nullptr) {
        *transferred = NT_ERROR(status) ? 0 : (DWORD)information;
    }
    if (!NT_SUCCESS(status)) {
        win32_set_last_error(win32_error_from_status(status));
        return FALSE;
    }
    return TRUE;
}

// Takes over the caller's reference to file.
BOOL issue_synchronous(win32_file *file, const request &r, LPDWORD transferred)
{
    auto state = std::make_shared<sync_completion>();
    send(file, r, [state](NTSTATUS status, ULONG_PTR information) {
        state->status = status;
        state->information = information;
        dispatcher_set_event(&state->done);
    });
    std::vector<DISPATCHER_HEADER *> waits{&state->done};
    if (win32_thread *self = win32_current_thread()) {
        waits.push_back(&self->kill_request);
    }
    if (process *owner = current_thread()->owner_process) {
        waits.push_back(&owner->terminated);
    }
    if (dispatcher_wait((ULONG)waits.size(), waits.data(), false, nullptr, false) != STATUS_WAIT_0) {
        // The thread is being ended. The IRP may still write into the caller's buffer, so the
        // thread waits for it; dropping the file lets the handle's close send the CLEANUP that
        // ends requests a driver keeps pending.
        user_io_cancel(file->file, current_thread());
        win32_object_dereference(file);
        file = nullptr;
        DISPATCHER_HEADER *done = &state->done;
        dispatcher_wait(1, &done, false, nullptr, false);
        win32_check_killed();
    }
    if (file != nullptr) {
        win32_object_dereference(file);
    }
    return finish(state->status, state->information, transferred);
}

BOOL issue_overlapped(win32_file *file, const request &r, LPDWORD transferred, LPOVERLAPPED ov,
                      LPOVERLAPPED_COMPLETION_ROUTINE routine)
{
    if (ov == nullptr) {
        win32_set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    win32_sync_object *event = nullptr;
    if (routine == nullptr && ov->hEvent != nullptr) {
        event = static_cast<win32_sync_object *>(win32_handle_reference(ov->hEvent, win32_object_type::event));
        if (event == nullptr) {
            win32_set_last_error(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        dispatcher_reset_event(&event->header);
    }
    ov->InternalHigh = 0;
    std::atomic_ref<ULONG_PTR>(ov->Internal).store((ULONG_PTR)(LONG_PTR)STATUS_PENDING);
    auto apc = std::make_shared<apc_completion>();
    thread *issuer = current_thread();
    thread_reference(issuer);
    process *owner = process_current();
    process_reference(owner);
    // The request holds no reference to the file: closing the handle must send CLEANUP, which
    // is what ends requests that a driver keeps pending.
    const NTSTATUS returned = send(
        file, r,
        [ov, event, routine, apc, issuer, owner, signal = file->signal](NTSTATUS status, ULONG_PTR information) {
            // A process that has been ended has no memory left to write into.
            if (dispatcher_read_state(&owner->terminated) == 0) {
                ov->InternalHigh = information;
                std::atomic_ref<ULONG_PTR>(ov->Internal).store((ULONG_PTR)(LONG_PTR)status);
            }
            if (event != nullptr) {
                dispatcher_set_event(&event->header);
                win32_object_dereference(event);
            }
            dispatcher_set_event(&signal->completion);
            if (routine != nullptr) {
                const DWORD error = win32_error_from_status(status);
                thread_queue_user_apc(issuer, [routine, apc, error, information, ov]() {
                    if (!apc->suppressed.load()) {
                        routine(error, (DWORD)information, ov);
                    }
                });
            }
            thread_dereference(issuer);
            process_dereference(owner);
        });
    if (returned == STATUS_PENDING) {
        if (routine != nullptr) {
            return TRUE;
        }
        win32_set_last_error(ERROR_IO_PENDING);
        return FALSE;
    }
    if (!NT_SUCCESS(returned)) {
        apc->suppressed = true;
    }
    // Completed at once: the completion has run and filled the OVERLAPPED.
    return finish(returned, ov->InternalHigh, transferred);
}

// A read or write of a stored file completes before the call returns; on an overlapped handle
// the OVERLAPPED names the offset and reports the completion as the I/O manager would.
BOOL issue_stored(win32_file *file, const request &r, LPDWORD transferred, LPOVERLAPPED ov,
                  LPOVERLAPPED_COMPLETION_ROUTINE routine)
{
    if (r.kind == request_kind::control || routine != nullptr) {
        win32_set_last_error(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    if (file->overlapped && ov == nullptr) {
        win32_set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ULONGLONG offset = 0;
    if (ov != nullptr && file->overlapped) {
        offset = ((ULONGLONG)ov->OffsetHigh << 32) | ov->Offset;
    }
    const ULONGLONG *at = file->overlapped ? &offset : nullptr;
    DWORD done = 0;
    const DWORD error = r.kind == request_kind::read ? file->store->read(r.buffer, r.length, at, &done)
                                                     : file->store->write(r.input, r.length, at, &done);
    if (transferred != nullptr) {
        *transferred = done;
    }
    if (file->overlapped) {
        ov->InternalHigh = done;
        std::atomic_ref<ULONG_PTR>(ov->Internal).store(error == ERROR_SUCCESS ? STATUS_SUCCESS : STATUS_ACCESS_DENIED);
        if (ov->hEvent != nullptr) {
            SetEvent(ov->hEvent);
        }
        dispatcher_set_event(&file->signal->completion);
    }
    if (error != ERROR_SUCCESS) {
        win32_set_last_error(error);
        return FALSE;
    }
    return TRUE;
}

BOOL issue(HANDLE handle, const request &r, LPDWORD transferred, LPOVERLAPPED ov,
           LPOVERLAPPED_COMPLETION_ROUTINE routine = nullptr)
{
    // A thread of an ended process stops at its next request, as it would at a wait: its
    // handles are gone, and a loop that only issues requests would otherwise never end.
    win32_check_killed();
    win32_file *file = reference_file(handle);
    if (file == nullptr) {
        return FALSE;
    }
    if (file->store != nullptr) {
        const BOOL result = issue_stored(file, r, transferred, ov, routine);
        win32_object_dereference(file);
        return result;
    }
    if (!file->overlapped && routine == nullptr) {
        return issue_synchronous(file, r, transferred);
    }
    BOOL result = FALSE;
    if (routine != nullptr && !file->overlapped) {
        win32_set_last_error(ERROR_INVALID_PARAMETER);
    } else {
        result = issue_overlapped(file, r, transferred, ov, routine);
    }
    win32_object_dereference(file);
    return result;
}

} // namespace

DWORD win32_error_from_status(NTSTATUS status)
{
    struct mapping {
        NTSTATUS status;
        DWORD error;
    };
    static constexpr mapping table[] = {
        {STATUS_SUCCESS, ERROR_SUCCESS},
        {STATUS_PENDING, ERROR_IO_PENDING},
        {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
        {STATUS_DEVICE_BUSY, ERROR_BUSY},
        {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
        {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
        {STATUS_INVALID_BUFFER_SIZE, ERROR_INVALID_PARAMETER},
        {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
        {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
        {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
        {STATUS_INVALID_DEVICE_STATE, ERROR_GEN_FAILURE},
        {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
        {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
        {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
        {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
        {STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
        {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
        {STATUS_OBJECT_NAME_INVALID, ERROR_INVALID_NAME},
        {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
        {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
        {STATUS_NO_SUCH_FILE, ERROR_FILE_NOT_FOUND},
        {STATUS_DEVICE_DOES_NOT_EXIST, ERROR_DEV_NOT_EXIST},
        {STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
        {STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED},
        {STATUS_DEVICE_NOT_READY, ERROR_NOT_READY},
        {STATUS_IO_TIMEOUT, ERROR_TIMEOUT},
        {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
        {STATUS_FILE_CLOSED, ERROR_INVALID_HANDLE},
        {STATUS_END_OF_FILE, ERROR_HANDLE_EOF},
        {STATUS_NOT_FOUND, ERROR_NOT_FOUND},
        {STATUS_REQUEST_ABORTED, ERROR_OPERATION_ABORTED},
        {STATUS_REINITIALIZATION_NEEDED, ERROR_DEVICE_REINITIALIZATION_NEEDED},
        {STATUS_NO_MATCH, ERROR_NO_MATCH},
    };
    for (const mapping &entry : table) {
        if (entry.status == status) {
            return entry.error;
        }
    }
    return NT_SUCCESS(status) ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
}

} // namespace platform

using namespace platform;

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    UNREFERENCED_PARAMETER(lpSecurityAttributes);
    UNREFERENCED_PARAMETER(hTemplateFile);
    if (lpFileName == nullptr || lpFileName[0] == L'\0') {
        win32_set_last_error(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
        win32_set_last_error(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const bool overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    win32_file *file = nullptr;
    DWORD opened_error = ERROR_SUCCESS;
    if (store_is_file_path(lpFileName)) {
        std::unique_ptr<store_open_file> stored;
        opened_error = store_open(lpFileName, dwDesiredAccess, dwShareMode, dwCreationDisposition,
                                  dwFlagsAndAttributes, &stored);
        if (stored == nullptr) {
            win32_set_last_error(opened_error);
            return INVALID_HANDLE_VALUE;
        }
        file = new win32_file(std::move(stored), overlapped);
    } else {
        user_file *opened = nullptr;
        const NTSTATUS status = user_io_open(lpFileName, dwDesiredAccess, &opened);
        if (!NT_SUCCESS(status)) {
            win32_set_last_error(win32_error_from_status(status));
            return INVALID_HANDLE_VALUE;
        }
        file = new win32_file(opened, overlapped);
    }
    HANDLE handle = win32_handle_insert(process_current(), file);
    win32_object_dereference(file);
    if (handle == nullptr) {
        win32_set_last_error(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    win32_set_last_error(opened_error);
    return handle;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped)
{
    request r{request_kind::read};
    r.buffer = lpBuffer;
    r.length = nNumberOfBytesToRead;
    if (lpNumberOfBytesRead != nullptr) {
        *lpNumberOfBytesRead = 0;
    }
    return issue(hFile, r, lpNumberOfBytesRead, lpOverlapped);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped)
{
    request r{request_kind::write};
    r.input = lpBuffer;
    r.length = nNumberOfBytesToWrite;
    if (lpNumberOfBytesWritten != nullptr) {
        *lpNumberOfBytesWritten = 0;
    }
    return issue(hFile, r, lpNumberOfBytesWritten, lpOverlapped);
}

BOOL WINAPI ReadFileEx(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPOVERLAPPED lpOverlapped,
                       LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine)
{
    if (lpCompletionRoutine == nullptr) {
        win32_set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    request r{request_kind::read};
    r.buffer = lpBuffer;
    r.length = nNumberOfBytesToRead;
    return issue(hFile, r, nullptr, lpOverlapped, lpCompletionRoutine);
}

BOOL WINAPI WriteFileEx(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPOVERLAPPED lpOverlapped,
                        LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine)
{
    if (lpCompletionRoutine == nullptr) {
        win32_set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    request r{request_kind::write};
    r.input = lpBuffer;
    r.length = nNumberOfBytesToWrite;
    return issue(hFile, r, nullptr, lpOverlapped, lpCompletionRoutine);
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped)
{
    request r{request_kind::control};
    r.code = dwIoControlCode;
    r.input = lpInBuffer;
    r.input_length = lpInBuffer != nullptr ? nInBufferSize : 0;
    r.buffer = lpOutBuffer;
    r.length = lpOutBuffer != nullptr ? nOutBufferSize : 0;
    if (lpBytesReturned != nullptr) {
        *lpBytesReturned = 0;
    }
    return issue(hDevice, r, lpBytesReturned, lpOverlapped);
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait)
{
    win32_file *file = reference_file(hFile);
    if (file == nullptr) {
        return FALSE;
    }
    if (lpOverlapped == nullptr) {
        win32_object_dereference(file);
        win32_set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto pending = [lpOverlapped] {
        return std::atomic_ref<ULONG_PTR>(lpOverlapped->Internal).load() == (ULONG_PTR)(LONG_PTR)STATUS_PENDING;
    };
    bool waited_on_event = false;
    while (pending()) {
        if (!bWait) {
            win32_object_dereference(file);
            win32_set_last_error(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        if (lpOverlapped->hEvent != nullptr && !waited_on_event) {
            // As on Windows, the event says the request is done.
            waited_on_event = true;
            if (WaitForSingleObject(lpOverlapped->hEvent, INFINITE) == WAIT_FAILED) {
                win32_object_dereference(file);
                return FALSE;
            }
            continue;
        }
        dispatcher_reset_event(&file->signal->completion);
        if (pending()) {
            DISPATCHER_HEADER *completion = &file->signal->completion;
            win32_wait(1, &completion, false, INFINITE, false);
        }
    }
    win32_object_dereference(file);
    const NTSTATUS status = (NTSTATUS)(LONG_PTR)std::atomic_ref<ULONG_PTR>(lpOverlapped->Internal).load();
    return finish(status, lpOverlapped->InternalHigh, lpNumberOfBytesTransferred);
}

BOOL WINAPI CancelIo(HANDLE hFile)
{
    win32_file *file = reference_file(hFile);
    if (file == nullptr) {
        return FALSE;
    }
    if (file->file != nullptr) {
        user_io_cancel(file->file, current_thread());
    }
    win32_object_dereference(file);
    return TRUE;
}

BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped)
{
    // Cancels every request on the handle, whichever thread issued it; one request cannot be
    // picked out by its OVERLAPPED here.
    UNREFERENCED_PARAMETER(lpOverlapped);
    win32_file *file = reference_file(hFile);
    if (file == nullptr) {
        return FALSE;
    }
    // A stored file's requests complete at once: none is ever outstanding.
    const bool any = file->file != nullptr && user_io_outstanding(file->file) > 0;
    std::set<thread *> issuers;
    {
        std::lock_guard<std::mutex> guard(file->lock);
        issuers = file->issuers;
    }
    for (thread *t : any ? issuers : std::set<thread *>{}) {
        user_io_cancel(file->file, t);
    }
    win32_object_dereference(file);
    if (!any) {
        win32_set_last_error(ERROR_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI GetDevicePowerState(HANDLE hDevice, BOOL *pfOn)
{
    win32_file *file = reference_file(hDevice);
    if (file == nullptr) {
        return FALSE;
    }
    if (file->file == nullptr) {
        win32_object_dereference(file);
        win32_set_last_error(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    const device_power_answer answer = device_power_of(file->file);
    win32_object_dereference(file);
    if (answer == device_power_answer::removed) {
        win32_set_last_error(ERROR_DEVICE_REMOVED);
        return FALSE;
    }
    if (pfOn != nullptr) {
        *pfOn = answer == device_power_answer::on ? TRUE : FALSE;
    }
    return TRUE;
}
