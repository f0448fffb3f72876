// Files opened from user mode: name resolution to a device, the file object, and one IRP per
// request (CREATE, READ, WRITE, DEVICE_CONTROL, CLEANUP, CLOSE) with its buffers, its issuing
// thread for CancelIo, and the deferred CLOSE once the last request has completed.
#include "io_internal.h"
#include <platform/user_io.h>
#include <platform/pnp.h>
#include <platform/thread.h>
#include <algorithm>
#include <cwctype>
#include <memory>

namespace platform {

struct user_request;

struct user_file {
    FILE_OBJECT object{};
    std::wstring file_name;
    IO_SECURITY_CONTEXT security{};
    PDEVICE_OBJECT device = nullptr; // the device the name resolved to (referenced)
    PDEVICE_OBJECT target = nullptr; // the top of its stack, where requests go (referenced)
    std::mutex lock;
    std::vector<user_request *> outstanding;
    bool close_pending = false; // CLEANUP done: CLOSE goes out when the last request completes
    bool close_sent = false;
};

struct user_request {
    PIRP irp = nullptr;
    user_file *file = nullptr;
    thread *issuer = nullptr;
    io_completion done;
    LONG references = 1; // the completion's own, plus one per canceller; guarded by file->lock
};

namespace {

bool starts_with(const std::wstring &text, const WCHAR *prefix)
{
    const size_t n = std::wcslen(prefix);
    if (text.size() < n) {
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        if (std::towlower((wint_t)text[i]) != std::towlower((wint_t)prefix[i])) {
            return false;
        }
    }
    return true;
}

// Splits "name\rest" at the first backslash: returns the name, leaves "\rest" in remainder.
std::wstring split_first(const std::wstring &text, std::wstring *remainder)
{
    const size_t slash = text.find(L'\\');
    if (slash == std::wstring::npos) {
        remainder->clear();
        return text;
    }
    *remainder = text.substr(slash);
    return text.substr(0, slash);
}

PDEVICE_OBJECT resolve(const std::wstring &path, std::wstring *remainder)
{
    if (starts_with(path, L"\\\\?\\") || starts_with(path, L"\\??\\")) {
        const std::wstring name = split_first(path.substr(4), remainder);
        if (PDEVICE_OBJECT device = pnp_device_for_interface_path(name)) {
            return device;
        }
        return io_find_named_device(L"\\??\\" + name);
    }
    if (starts_with(path, L"\\\\.\\")) {
        return io_find_named_device(L"\\??\\" + split_first(path.substr(4), remainder));
    }
    if (starts_with(path, L"\\Device\\")) {
        return io_find_named_device(L"\\Device\\" + split_first(path.substr(8), remainder));
    }
    return nullptr;
}

void release(user_request *request)
{
    bool last;
    {
        std::lock_guard<std::mutex> lock(request->file->lock);
        last = --request->references == 0;
    }
    if (last) {
        IoFreeIrp(request->irp);
        delete request;
    }
}

void free_file(user_file *file)
{
    io_device_dereference(file->target);
    io_device_dereference(file->device);
    delete file;
}

NTSTATUS send(user_file *file, UCHAR major, ULONG code, const void *in, ULONG in_len, void *out, ULONG out_len,
              io_completion done);

// Sends a request and waits for its completion; returns its final status. The wait is a
// dispatcher wait, so that the waiting thread counts as blocked (machine_quiescent).
NTSTATUS send_and_wait(user_file *file, UCHAR major)
{
    struct waiter {
        DISPATCHER_HEADER done;
        NTSTATUS status = STATUS_SUCCESS;
    };
    auto state = std::make_shared<waiter>();
    dispatcher_init(&state->done, notification_event, 0);
    send(file, major, 0, nullptr, 0, nullptr, 0, [state](NTSTATUS status, ULONG_PTR) {
        state->status = status;
        dispatcher_set_event(&state->done);
    });
    DISPATCHER_HEADER *done = &state->done;
    dispatcher_wait(1, &done, false, nullptr, false);
    return state->status;
}

// CLOSE is a PASSIVE_LEVEL request: from a completion at raised IRQL it goes to a worker.
void send_close(user_file *file)
{
    auto close = [file] {
        send_and_wait(file, IRP_MJ_CLOSE);
        free_file(file);
    };
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        close();
    } else {
        io_queue_job(close);
    }
}

void request_done(PIRP irp, void *context)
{
    auto request = static_cast<user_request *>(context);
    user_file *file = request->file;
    io_finish_buffers(irp);
    const NTSTATUS status = irp->IoStatus.Status;
    const ULONG_PTR information = irp->IoStatus.Information;
    bool close_now = false;
    {
        std::lock_guard<std::mutex> lock(file->lock);
        file->outstanding.erase(std::find(file->outstanding.begin(), file->outstanding.end(), request));
        if (file->close_pending && !file->close_sent && file->outstanding.empty()) {
            file->close_sent = close_now = true;
        }
    }
    io_completion done = std::move(request->done);
    release(request);
    done(status, information);
    if (close_now) {
        send_close(file);
    }
}

NTSTATUS send(user_file *file, UCHAR major, ULONG code, const void *in, ULONG in_len, void *out, ULONG out_len,
              io_completion done)
{
    PDEVICE_OBJECT target = file->target;
    PIRP irp = io_allocate_irp(target->StackSize);
    if (irp == nullptr) {
        done(STATUS_INSUFFICIENT_RESOURCES, 0);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->FileObject = &file->object;
    switch (major) {
    case IRP_MJ_CREATE:
        stack->Parameters.Create.SecurityContext = &file->security;
        stack->Parameters.Create.Options = (ULONG)FILE_OPEN << 24;
        stack->Parameters.Create.ShareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE;
        break;
    case IRP_MJ_READ:
        stack->Parameters.Read.Length = out_len;
        break;
    case IRP_MJ_WRITE:
        stack->Parameters.Write.Length = in_len;
        break;
    case IRP_MJ_DEVICE_CONTROL:
        stack->Parameters.DeviceIoControl.IoControlCode = code;
        stack->Parameters.DeviceIoControl.InputBufferLength = in_len;
        stack->Parameters.DeviceIoControl.OutputBufferLength = out_len;
        break;
    default:
        break;
    }
    if (major == IRP_MJ_READ || major == IRP_MJ_WRITE || major == IRP_MJ_DEVICE_CONTROL) {
        NTSTATUS status = io_prepare_buffers(irp, target, major, code, UserMode, in, in_len, out, out_len);
        if (!NT_SUCCESS(status)) {
            IoFreeIrp(irp);
            done(status, 0);
            return status;
        }
    }
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = &file->object;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    auto request = new user_request;
    request->irp = irp;
    request->file = file;
    request->issuer = current_thread();
    request->done = std::move(done);
    io_set_top_completion(irp, request_done, request);
    {
        std::lock_guard<std::mutex> lock(file->lock);
        file->outstanding.push_back(request);
    }
    return IoCallDriver(target, irp);
}

} // namespace

NTSTATUS user_io_open(const WCHAR *path, ACCESS_MASK access, user_file **file)
{
    verifier_check_irql(PASSIVE_LEVEL, "CreateFile");
    std::wstring remainder;
    PDEVICE_OBJECT device;
    {
        std::lock_guard<std::recursive_mutex> lock(io_device_lock());
        device = path != nullptr ? resolve(path, &remainder) : nullptr;
        if (device == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (device_node *node = pnp_node_of(device); node != nullptr && node->removed) {
            return STATUS_NO_SUCH_DEVICE;
        }
        io_device_reference(device);
    }
    auto opened = new user_file;
    opened->device = device;
    opened->target = IoGetAttachedDeviceReference(device);
    opened->file_name = remainder;
    opened->security.DesiredAccess = access;
    FILE_OBJECT &object = opened->object;
    object.Type = IO_TYPE_FILE;
    object.Size = sizeof(FILE_OBJECT);
    object.DeviceObject = device;
    object.FileName.Buffer = opened->file_name.empty() ? nullptr : opened->file_name.data();
    object.FileName.Length = (USHORT)(opened->file_name.size() * sizeof(WCHAR));
    object.FileName.MaximumLength = object.FileName.Length;
    object.ReadAccess = (access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0;
    object.WriteAccess = (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA)) != 0;
    object.SharedRead = TRUE;
    object.SharedWrite = TRUE;
    const NTSTATUS status = send_and_wait(opened, IRP_MJ_CREATE);
    if (!NT_SUCCESS(status)) {
        free_file(opened);
        return status;
    }
    *file = opened;
    return status;
}

void user_io_close(user_file *file)
{
    verifier_check_irql(PASSIVE_LEVEL, "CloseHandle");
    send_and_wait(file, IRP_MJ_CLEANUP);
    bool close_now = false;
    {
        std::lock_guard<std::mutex> lock(file->lock);
        file->close_pending = true;
        if (!file->close_sent && file->outstanding.empty()) {
            file->close_sent = close_now = true;
        }
    }
    if (close_now) {
        send_close(file);
    }
}

NTSTATUS user_io_read(user_file *file, void *buffer, ULONG length, io_completion done)
{
    return send(file, IRP_MJ_READ, 0, nullptr, 0, buffer, length, std::move(done));
}

NTSTATUS user_io_write(user_file *file, const void *buffer, ULONG length, io_completion done)
{
    return send(file, IRP_MJ_WRITE, 0, buffer, length, nullptr, 0, std::move(done));
}

NTSTATUS user_io_ioctl(user_file *file, ULONG code, const void *in, ULONG in_len, void *out, ULONG out_len,
                       io_completion done)
{
    return send(file, IRP_MJ_DEVICE_CONTROL, code, in, in_len, out, out_len, std::move(done));
}

void user_io_cancel(user_file *file, thread *t)
{
    std::vector<user_request *> targets;
    {
        std::lock_guard<std::mutex> lock(file->lock);
        for (user_request *request : file->outstanding) {
            if (request->issuer == t) {
                request->references++;
                targets.push_back(request);
            }
        }
    }
    for (user_request *request : targets) {
        IoCancelIrp(request->irp);
        release(request);
    }
}

ULONG user_io_outstanding(user_file *file)
{
    std::lock_guard<std::mutex> lock(file->lock);
    return (ULONG)file->outstanding.size();
}

FILE_OBJECT *user_io_file_object(user_file *file)
{
    return &file->object;
}

} // namespace platform
