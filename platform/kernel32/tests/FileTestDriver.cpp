// The file tests' driver: a device whose control codes complete at once with a configured
// status and whose reads and writes may stay pending. CLEANUP ends what is pending with
// STATUS_CANCELLED, as the system's drivers do.
#include "FileTestDriver.h"
#include <wdm.h>
#include <platform/io_driver.h>
#include <platform/pnp.h>
#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>

namespace file_test_driver {
namespace {

std::mutex g_lock;
PDRIVER_OBJECT g_driver = nullptr;
PDEVICE_OBJECT g_device = nullptr;
NTSTATUS g_control_status = STATUS_SUCCESS;
ULONG_PTR g_control_information = 0;
bool g_pend = false;
std::deque<PIRP> g_pending;
std::vector<UCHAR> g_majors;

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void cancel_all_pending()
{
    std::deque<PIRP> pending;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        pending.swap(g_pending);
    }
    for (PIRP irp : pending) {
        complete(irp, STATUS_CANCELLED, 0);
    }
}

NTSTATUS dispatch(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    std::unique_lock<std::mutex> guard(g_lock);
    g_majors.push_back(stack->MajorFunction);
    switch (stack->MajorFunction) {
    case IRP_MJ_CLEANUP:
        guard.unlock();
        cancel_all_pending();
        return complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL: {
        const NTSTATUS status = g_control_status;
        ULONG_PTR information = g_control_information;
        if (NT_SUCCESS(status) && information == 0) {
            information = std::min(stack->Parameters.DeviceIoControl.InputBufferLength,
                                   stack->Parameters.DeviceIoControl.OutputBufferLength);
        }
        guard.unlock();
        return complete(irp, status, information);
    }
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
        if (g_pend) {
            IoMarkIrpPending(irp);
            g_pending.push_back(irp);
            return STATUS_PENDING;
        }
        guard.unlock();
        return complete(irp, STATUS_SUCCESS,
                        stack->MajorFunction == IRP_MJ_READ ? stack->Parameters.Read.Length : stack->Parameters.Write.Length);
    default:
        guard.unlock();
        return complete(irp, STATUS_SUCCESS, 0);
    }
}

} // namespace

void start()
{
    g_driver = platform::io_create_driver_object(L"k32test", "");
    for (auto &entry : g_driver->MajorFunction) {
        entry = dispatch;
    }
    UNICODE_STRING name{};
    RtlInitUnicodeString(&name, L"\\Device\\K32Test");
    IoCreateDevice(g_driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_device);
    g_device->Flags |= DO_BUFFERED_IO;
    g_device->Flags &= ~DO_DEVICE_INITIALIZING;
    platform::device_node fields;
    fields.instance_id = L"USB\\VID_1234&PID_0001\\K32";
    fields.service = L"K32TEST";
    platform::pnp_create_node(g_device, fields);
    std::lock_guard<std::mutex> guard(g_lock);
    g_control_status = STATUS_SUCCESS;
    g_control_information = 0;
    g_pend = false;
    g_pending.clear();
    g_majors.clear();
}

void stop()
{
    cancel_all_pending();
    IoDeleteDevice(g_device);
    platform::io_discard_driver_object(g_driver);
    g_device = nullptr;
    g_driver = nullptr;
}

void set_control_result(NTSTATUS status, ULONG_PTR information)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_control_status = status;
    g_control_information = information;
}

void set_pend_transfers(bool pend)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_pend = pend;
}

ULONG pending_count()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return (ULONG)g_pending.size();
}

bool complete_oldest(NTSTATUS status, ULONG_PTR information)
{
    PIRP irp = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (g_pending.empty()) {
            return false;
        }
        irp = g_pending.front();
        g_pending.pop_front();
    }
    complete(irp, status, information);
    return true;
}

std::vector<UCHAR> majors()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_majors;
}

void set_power_state(ULONG device_power_state)
{
    platform::pnp_lock();
    platform::pnp_node_of(g_device)->device_power_state = device_power_state;
    platform::pnp_unlock();
}

void mark_removed()
{
    platform::pnp_mark_removed(g_device);
}

} // namespace file_test_driver
