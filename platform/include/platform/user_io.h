// Files opened from user mode on the simulated kernel: the I/O manager's side of CreateFileW,
// ReadFile, WriteFile, DeviceIoControl and CancelIo. Each request becomes one IRP sent to the
// top of the opened device's stack; its completion is reported through a callback.
#pragma once
#include <functional>
#include <ntdef.h>
#include <ntstatus.h>

typedef struct _FILE_OBJECT FILE_OBJECT;

namespace platform {

struct thread;
struct user_file; // a file object opened from user mode

// Runs exactly once per request, when its IRP has completed, on the thread that completed it
// (possibly before the request call returns, possibly at DISPATCH_LEVEL). information is the
// IRP's IoStatus.Information; output buffers have been filled when it runs.
using io_completion = std::function<void(NTSTATUS status, ULONG_PTR information)>;

// PASSIVE_LEVEL. Opens path and sends IRP_MJ_CREATE; the file object's FileName is what follows
// the device's own name (e.g. "\asio"), empty when nothing follows. Accepted paths, all
// case-insensitive:
//   "\\?\<interface>\rest" or "\??\<interface>\rest": <interface> is the symbolic link of an
//       enabled device interface without its reference string ("usb#vid_..#inst#{guid}"), so a
//       reference string such as "\Wave_48000" arrives as the FileName;
//   "\\.\<name>\rest": a link made with IoCreateSymbolicLink("\DosDevices\<name>" or "\??\<name>");
//   "\Device\<name>\rest": a named device object.
// STATUS_OBJECT_NAME_NOT_FOUND when nothing matches, STATUS_NO_SUCH_DEVICE when the device node
// is removed, else the status of the CREATE. *file is set only on success.
NTSTATUS user_io_open(const WCHAR *path, ACCESS_MASK access, user_file **file);

// PASSIVE_LEVEL. Sends IRP_MJ_CLEANUP, then IRP_MJ_CLOSE once every request on the file has
// completed (at once when none is outstanding), and frees the file then. The handle must not be
// used after this call.
void user_io_close(user_file *file);

// Each request sends one IRP from the calling thread, which is remembered as its issuer, and
// returns the status IoCallDriver returned (STATUS_PENDING when the driver pended it). done runs
// exactly once. READ and WRITE reach the driver's buffer according to the device's flags:
// DO_BUFFERED_IO a system buffer (copied out on a read), DO_DIRECT_IO an MDL of the caller's
// buffer, neither the caller's buffer in Irp->UserBuffer. Control codes use their method:
// METHOD_BUFFERED one system buffer of max(in_len, out_len) bytes, of which at most out_len and
// at most Information bytes are copied back, and only when the status is not an error.
NTSTATUS user_io_read(user_file *file, void *buffer, ULONG length, io_completion done);
NTSTATUS user_io_write(user_file *file, const void *buffer, ULONG length, io_completion done);
NTSTATUS user_io_ioctl(user_file *file, ULONG code, const void *in, ULONG in_len, void *out, ULONG out_len,
                       io_completion done);

// IoCancelIrp on every request issued by thread t on this file that has not completed yet.
// Requests whose driver set no cancel routine stay pending.
void user_io_cancel(user_file *file, thread *t);

// Number of requests on the file that have not completed.
ULONG user_io_outstanding(user_file *file);

// The kernel's file object behind the handle (for the device's power state and for tests).
FILE_OBJECT *user_io_file_object(user_file *file);

} // namespace platform
