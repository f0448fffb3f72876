// The kernel handle table and the registry of referenceable kernel objects.
#include <platform/kernel_handles.h>
#include <platform/verifier.h>
#include <ntstatus.h>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>
#include "kernel_internal.h"

namespace platform {
namespace {

struct handle_entry {
    void *object;
    kernel_handle_type type;
    void (*close)(void *object);
};

struct handle_table {
    std::mutex lock;
    std::unordered_map<ULONG_PTR, handle_entry> open;
    std::unordered_set<ULONG_PTR> closed; // closed this boot, to tell a double close from a bad handle
    ULONG_PTR next = 0;
};

handle_table &table()
{
    static auto *t = new handle_table();
    return *t;
}

struct object_registry {
    std::mutex lock;
    std::unordered_map<void *, const object_ops *> objects;
};

object_registry &registry()
{
    static auto *r = new object_registry();
    return *r;
}

// Kernel handles carry the high bits that mark them apart from process handles.
constexpr ULONG_PTR kernel_handle_base = 0xFFFFFFFF80000000ull;

const object_ops *ops_of(void *object)
{
    object_registry &r = registry();
    std::lock_guard<std::mutex> lock(r.lock);
    auto it = r.objects.find(object);
    return it == r.objects.end() ? nullptr : it->second;
}

} // namespace

HANDLE kernel_handle_insert(void *object, kernel_handle_type type, void (*close)(void *object))
{
    handle_table &t = table();
    std::lock_guard<std::mutex> lock(t.lock);
    t.next += 4;
    const ULONG_PTR value = kernel_handle_base + t.next;
    t.open[value] = handle_entry{object, type, close};
    return reinterpret_cast<HANDLE>(value);
}

void *kernel_handle_lookup(HANDLE handle, kernel_handle_type type)
{
    handle_table &t = table();
    std::lock_guard<std::mutex> lock(t.lock);
    auto it = t.open.find(reinterpret_cast<ULONG_PTR>(handle));
    if (it == t.open.end() || it->second.type != type) {
        return nullptr;
    }
    return it->second.object;
}

NTSTATUS kernel_handle_close(HANDLE handle)
{
    const ULONG_PTR value = reinterpret_cast<ULONG_PTR>(handle);
    handle_entry entry{};
    {
        handle_table &t = table();
        std::lock_guard<std::mutex> lock(t.lock);
        auto it = t.open.find(value);
        if (it == t.open.end()) {
            if (t.closed.count(value) != 0) {
                verifier_stop("INVALID_KERNEL_HANDLE", "kernel handle %p closed twice", handle);
            }
            return STATUS_INVALID_HANDLE;
        }
        entry = it->second;
        t.open.erase(it);
        t.closed.insert(value);
    }
    if (entry.close != nullptr) {
        entry.close(entry.object);
    }
    return STATUS_SUCCESS;
}

void handles_boot()
{
    handle_table &t = table();
    std::lock_guard<std::mutex> lock(t.lock);
    t.closed.clear();
}

// Handles still open when the machine stops are closed, as the objects' owners would be.
void handles_shutdown()
{
    std::vector<handle_entry> remaining;
    {
        handle_table &t = table();
        std::lock_guard<std::mutex> lock(t.lock);
        for (auto &entry : t.open) {
            remaining.push_back(entry.second);
        }
        t.open.clear();
        t.closed.clear();
    }
    for (handle_entry &entry : remaining) {
        if (entry.close != nullptr) {
            entry.close(entry.object);
        }
    }
}

void object_register(void *object, const object_ops *ops)
{
    object_registry &r = registry();
    std::lock_guard<std::mutex> lock(r.lock);
    r.objects[object] = ops;
}

void object_unregister(void *object)
{
    object_registry &r = registry();
    std::lock_guard<std::mutex> lock(r.lock);
    r.objects.erase(object);
}

bool object_reference(void *object)
{
    const object_ops *ops = ops_of(object);
    if (ops == nullptr) {
        return false;
    }
    ops->reference(object);
    return true;
}

bool object_dereference(void *object)
{
    const object_ops *ops = ops_of(object);
    if (ops == nullptr) {
        return false;
    }
    ops->dereference(object);
    return true;
}

} // namespace platform
