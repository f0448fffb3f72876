// Work items and the system worker threads that run them at PASSIVE_LEVEL. The pool of workers
// grows while every worker is busy, so a work item that blocks on another does not stall the
// queue. A queued item holds a reference on its device object.
#include "io_internal.h"
#include <platform/io_driver.h>
#include <platform/pool.h>
#include <platform/thread.h>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>

struct _IO_WORKITEM {
    PVOID io_object;
    PDEVICE_OBJECT device; // null when the object is a driver object
    PIO_WORKITEM_ROUTINE routine;
    PIO_WORKITEM_ROUTINE_EX routine_ex;
    PVOID context;
    bool queued;
    bool from_pool; // IoAllocateWorkItem rather than caller memory
};

namespace platform {
namespace {

constexpr ULONG work_item_tag = io_tag('I', 'o', 'W', 'i');
constexpr ULONG max_workers = 32;

struct job {
    PIO_WORKITEM item = nullptr;     // a driver's work item, or
    std::function<void()> function; // the I/O manager's own work
};

std::mutex g_lock;
std::condition_variable g_wake;
std::condition_variable g_idle_changed;
std::deque<job> g_queue;
ULONG g_workers = 0;
ULONG g_busy = 0;
bool g_stopping = false;
bool g_paused = false; // tests hold queued items back to observe the queued state
std::map<PIO_WORKITEM, std::string> g_items; // live work items from IoAllocateWorkItem, by module

bool device_of(PVOID io_object, PDEVICE_OBJECT *device)
{
    auto header = static_cast<const DEVICE_OBJECT *>(io_object);
    *device = header->Type == IO_TYPE_DEVICE ? static_cast<PDEVICE_OBJECT>(io_object) : nullptr;
    return true;
}

void run(job &work)
{
    if (work.item == nullptr) {
        work.function();
        return;
    }
    PIO_WORKITEM item = work.item;
    PDEVICE_OBJECT device = item->device;
    PIO_WORKITEM_ROUTINE routine = item->routine;
    PIO_WORKITEM_ROUTINE_EX routine_ex = item->routine_ex;
    PVOID io_object = item->io_object;
    PVOID context = item->context;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        item->queued = false; // the routine may queue the item again or free it
    }
    if (routine_ex != nullptr) {
        routine_ex(io_object, context, item);
    } else {
        routine(device, context);
    }
    std::string why;
    if (!verifier_thread_clean(&why)) {
        verifier_stop("WORK_ITEM_RETURNED_AT_RAISED_IRQL", "work item routine %p returned with %s",
                      routine_ex != nullptr ? (void *)routine_ex : (void *)routine, why.c_str());
    }
    if (device != nullptr) {
        io_state(device)->queued_work.fetch_sub(1);
        io_device_dereference(device);
    }
}

void worker_main()
{
    current_thread()->service = true;
    std::unique_lock<std::mutex> lock(g_lock);
    for (;;) {
        g_wake.wait(lock, [] { return g_stopping || (!g_paused && !g_queue.empty()); });
        if (g_stopping && (g_paused || g_queue.empty())) {
            break;
        }
        job work = std::move(g_queue.front());
        g_queue.pop_front();
        ++g_busy;
        lock.unlock();
        run(work);
        lock.lock();
        --g_busy;
        g_idle_changed.notify_all();
    }
    --g_workers;
    g_idle_changed.notify_all();
}

// Called with g_lock held.
void push(job work)
{
    g_queue.push_back(std::move(work));
    if (g_workers - g_busy < g_queue.size() && g_workers < max_workers) {
        ++g_workers;
        thread_dereference(thread_start(worker_main, nullptr, true));
    }
    g_wake.notify_one();
}

void queue_item(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, PIO_WORKITEM_ROUTINE_EX routine_ex, PVOID context)
{
    verifier_check_irql(DISPATCH_LEVEL, "IoQueueWorkItem");
    std::lock_guard<std::mutex> lock(g_lock);
    if (item->queued) {
        verifier_stop("WORK_ITEM_QUEUED_TWICE", "IoQueueWorkItem(%p) while the item is still queued", (void *)item);
    }
    item->queued = true;
    item->routine = routine;
    item->routine_ex = routine_ex;
    item->context = context;
    if (item->device != nullptr) {
        io_device_reference(item->device);
        io_state(item->device)->queued_work.fetch_add(1);
    }
    job work;
    work.item = item;
    push(std::move(work));
}

} // namespace

void io_queue_job(std::function<void()> function)
{
    std::lock_guard<std::mutex> lock(g_lock);
    job work;
    work.function = std::move(function);
    push(std::move(work));
}

bool io_work_idle()
{
    std::lock_guard<std::mutex> lock(g_lock);
    return g_queue.empty() && g_busy == 0;
}

void io_work_pause(bool paused)
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_paused = paused;
    g_wake.notify_all();
}

void io_wait_device_work(PDEVICE_OBJECT device)
{
    std::unique_lock<std::mutex> lock(g_lock);
    if (!g_idle_changed.wait_for(lock, std::chrono::seconds(60),
                                 [device] { return io_state(device)->queued_work.load() == 0; })) {
        verifier_stop("WORK_ITEM_NEVER_FINISHED", "work items of device %p still queued or running after 60 s",
                      (void *)device);
    }
}

void io_work_start()
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_stopping = false;
    g_items.clear();
}

void io_work_stop()
{
    std::unique_lock<std::mutex> lock(g_lock);
    g_stopping = true;
    g_wake.notify_all();
    g_idle_changed.wait(lock, [] { return g_workers == 0; });
    g_queue.clear();
    g_stopping = false;
    g_paused = false;
}

ULONG io_live_work_items(const std::string &module_path)
{
    std::lock_guard<std::mutex> lock(g_lock);
    ULONG count = 0;
    for (auto &entry : g_items) {
        count += entry.second == module_path ? 1 : 0;
    }
    return count;
}

} // namespace platform

using namespace platform;

extern "C" {

ULONG IoSizeofWorkItem(VOID)
{
    return sizeof(IO_WORKITEM);
}

VOID IoInitializeWorkItem(PVOID IoObject, PIO_WORKITEM IoWorkItem)
{
    *IoWorkItem = IO_WORKITEM{};
    IoWorkItem->io_object = IoObject;
    device_of(IoObject, &IoWorkItem->device);
}

VOID IoUninitializeWorkItem(PIO_WORKITEM IoWorkItem)
{
    std::lock_guard<std::mutex> lock(g_lock);
    if (IoWorkItem->queued) {
        verifier_stop("WORK_ITEM_FREED_WHILE_QUEUED", "IoUninitializeWorkItem(%p) while the item is queued",
                      (void *)IoWorkItem);
    }
}

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    verifier_check_irql(DISPATCH_LEVEL, "IoAllocateWorkItem");
    void *caller = __builtin_return_address(0);
    auto item = static_cast<PIO_WORKITEM>(pool_allocate(NonPagedPoolNx, sizeof(IO_WORKITEM), work_item_tag, caller));
    if (item == nullptr) {
        return nullptr;
    }
    IoInitializeWorkItem(DeviceObject, item);
    item->from_pool = true;
    std::lock_guard<std::mutex> lock(g_lock);
    g_items[item] = io_module_of(caller);
    return item;
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    verifier_check_irql(DISPATCH_LEVEL, "IoFreeWorkItem");
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (g_items.erase(IoWorkItem) == 0) {
            verifier_stop("WORK_ITEM_NOT_ALLOCATED", "IoFreeWorkItem(%p): not allocated by IoAllocateWorkItem",
                          (void *)IoWorkItem);
        }
        if (IoWorkItem->queued) {
            verifier_stop("WORK_ITEM_FREED_WHILE_QUEUED", "IoFreeWorkItem(%p) while the item is queued",
                          (void *)IoWorkItem);
        }
    }
    ExFreePoolWithTag(IoWorkItem, work_item_tag);
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context)
{
    queue_item(IoWorkItem, WorkerRoutine, nullptr, Context);
}

VOID IoQueueWorkItemEx(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE_EX WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                       PVOID Context)
{
    queue_item(IoWorkItem, nullptr, WorkerRoutine, Context);
}

} // extern "C"
