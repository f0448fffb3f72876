// State shared by the I/O manager's sources: the per-device extension, the accounting of IRPs,
// MDLs and work items by the module that allocated them, and the hooks between the parts.
#pragma once
#include <wdm.h>
#include <platform/verifier.h>
#include <functional>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

// Hangs off DEVICE_OBJECT::DeviceObjectExtension.
struct io_device_state {
    std::wstring name;                   // "\Device\X", empty when unnamed
    PDEVICE_OBJECT lower = nullptr;      // the device this one is attached to
    std::atomic<LONG> references{0};     // beyond the creator's own
    std::atomic<LONG> queued_work{0};    // work items queued or running for this device
    bool delete_pending = false;         // IoDeleteDevice called; freed at the last reference
};

io_device_state *io_state(PDEVICE_OBJECT device);

// The lock of device lists, stacks, names and links.
std::recursive_mutex &io_device_lock();

// Looks up a named device object ("\Device\X") or a symbolic link ("\DosDevices\X", "\??\X",
// "\GLOBAL??\X") that leads to one; case-insensitive. Null when unknown.
PDEVICE_OBJECT io_find_named_device(const std::wstring &name);

// The module that code at address belongs to (its path as dladdr reports it).
std::string io_module_of(const void *address);

// Waits until no work item is queued or running for device.
void io_wait_device_work(PDEVICE_OBJECT device);

// While paused, queued work items and jobs stay queued (for tests of the queued state).
void io_work_pause(bool paused);

// No work item or job is queued or running.
bool io_work_idle();

// Runs job on a worker thread at PASSIVE_LEVEL (the I/O manager's own deferred work).
void io_queue_job(std::function<void()> job);

// Drops a reference taken on a device; frees a deleted device at its last reference.
void io_device_reference(PDEVICE_OBJECT device);
void io_device_dereference(PDEVICE_OBJECT device);

// Buffers of a request that the I/O manager builds: sets up SystemBuffer / MdlAddress /
// UserBuffer for the major function (and control code) on the IRP's next stack location's
// device flags, and at completion copies buffered output back and frees what it set up.
NTSTATUS io_prepare_buffers(PIRP irp, PDEVICE_OBJECT target, UCHAR major, ULONG code, KPROCESSOR_MODE mode,
                            const void *in, ULONG in_len, void *out, ULONG out_len);
void io_finish_buffers(PIRP irp);

// Boot and shutdown of the parts (called from the one machine hook of the I/O manager).
void io_devices_reset();
void io_irps_reset();
void io_work_start();
void io_work_stop();
void io_pnp_reset();

// Final completion of IRPs that the I/O manager built itself (IoBuildDeviceIoControlRequest,
// user-mode requests): routine runs when the completion walk reaches the top of the stack and
// owns the IRP from then on.
using io_top_completion = void (*)(PIRP irp, void *context);
void io_set_top_completion(PIRP irp, io_top_completion routine, void *context);

// An IRP allocated for the I/O manager itself, charged to no driver.
PIRP io_allocate_irp(CCHAR stack_size);

// Constructs a pool tag from its four characters as they read in a pool dump.
constexpr ULONG io_tag(char a, char b, char c, char d)
{
    return (ULONG)(UCHAR)a | ((ULONG)(UCHAR)b << 8) | ((ULONG)(UCHAR)c << 16) | ((ULONG)(UCHAR)d << 24);
}

} // namespace platform
