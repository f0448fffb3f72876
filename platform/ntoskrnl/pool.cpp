// Pool: blocks from the C heap, each recorded with its tag, size, pool type and the module
// that allocated it, so that a driver's leaks can be reported when it unloads; injected
// failures; the verifier's pool rules. A fresh block holds pool_fresh_fill in every byte, as a
// verifier's special pool does, so that code reading memory it never initialised (a member a
// constructor left out) fails loudly instead of finding zeros; the calls that zero on Windows
// zero here too.
#include <platform/pool.h>
#include <platform/thread.h>
#include <platform/verifier.h>
#include <wdm.h>
#include <dlfcn.h>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>
#include "kernel_internal.h"

namespace platform {
namespace {

struct block {
    ULONG tag;
    SIZE_T size;
    LONG type;
    const char *module;
};

struct pool_state {
    std::mutex lock;
    std::unordered_map<const void *, block> blocks;
    std::vector<const void *> retired; // blocks of earlier machines, kept but no longer counted
    std::unordered_map<std::string, std::uint64_t> allocations; // made so far, by module path
    ULONG fail_nth = 0; // allocations left until the injected failure; 0 = none
    ULONG fail_tag = 0;
};

pool_state &state()
{
    static auto *s = new pool_state();
    return *s;
}

struct module_cache {
    std::mutex lock;
    std::set<std::string> names;
    std::unordered_map<const void *, const char *> by_address;
};

module_cache &modules()
{
    static auto *m = new module_cache();
    return *m;
}

bool is_paged(LONG type)
{
    return (type & 1) != 0;
}

bool valid_type(LONG type)
{
    switch (type) {
    case NonPagedPool:
    case PagedPool:
    case NonPagedPoolMustSucceed:
    case NonPagedPoolCacheAligned:
    case PagedPoolCacheAligned:
    case NonPagedPoolCacheAlignedMustS:
    case NonPagedPoolSession:
    case PagedPoolSession:
    case NonPagedPoolNx:
    case NonPagedPoolNxCacheAligned:
    case NonPagedPoolSessionNx:
        return true;
    default:
        return false;
    }
}

void check_irql(LONG type, const char *function)
{
    const KIRQL irql = current_thread()->irql;
    if (irql > DISPATCH_LEVEL || (is_paged(type) && irql > APC_LEVEL)) {
        verifier_stop("IRQL_NOT_LESS_OR_EQUAL", "%s of %s pool at IRQL %u", function,
                      is_paged(type) ? "paged" : "nonpaged", (unsigned)irql);
    }
}

bool injected_failure(ULONG tag)
{
    pool_state &s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    if (s.fail_tag != 0 && s.fail_tag == tag) {
        return true;
    }
    if (s.fail_nth != 0) {
        s.fail_nth -= 1;
        return s.fail_nth == 0;
    }
    return false;
}

} // namespace

std::string canonical_path(const char *path)
{
    if (path == nullptr || *path == '\0') {
        return std::string();
    }
    char resolved[PATH_MAX];
    if (realpath(path, resolved) != nullptr) {
        return resolved;
    }
    return path;
}

const char *module_of_address(const void *address)
{
    module_cache &m = modules();
    {
        std::lock_guard<std::mutex> lock(m.lock);
        auto it = m.by_address.find(address);
        if (it != m.by_address.end()) {
            return it->second;
        }
    }
    Dl_info info{};
    std::string name;
    if (address != nullptr && dladdr(address, &info) != 0) {
        name = canonical_path(info.dli_fname);
    }
    std::lock_guard<std::mutex> lock(m.lock);
    const char *interned = m.names.insert(name).first->c_str();
    m.by_address.emplace(address, interned);
    return interned;
}

std::string pool_tag_text(ULONG tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const char c = (char)((tag >> (8 * i)) & 0xff);
        text += (c >= 0x20 && c < 0x7f) ? c : '.';
    }
    return text;
}

void *pool_allocate(LONG pool_type, SIZE_T size, ULONG tag, void *caller)
{
    if (!valid_type(pool_type)) {
        verifier_stop("BAD_POOL_CALLER", "allocation of unknown pool type %d", (int)pool_type);
    }
    check_irql(pool_type, "pool allocation");
    if (tag == 0) {
        verifier_stop("BAD_POOL_CALLER", "pool allocation of %zu bytes with tag 0", (size_t)size);
    }
    if (injected_failure(tag)) {
        return nullptr;
    }
    const SIZE_T alignment = (pool_type == NonPagedPoolCacheAligned || pool_type == PagedPoolCacheAligned ||
                              pool_type == NonPagedPoolNxCacheAligned)
                                 ? 64
                                 : 16;
    const SIZE_T rounded = ((size == 0 ? 1 : size) + alignment - 1) / alignment * alignment;
    void *p = std::aligned_alloc(alignment, rounded);
    if (p == nullptr) {
        return nullptr;
    }
    std::memset(p, pool_fresh_fill, rounded);
    const char *module = module_of_address(caller);
    pool_state &s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    s.blocks[p] = block{tag, size, pool_type, module};
    ++s.allocations[module != nullptr ? module : ""];
    return p;
}

ULONG pool_outstanding_blocks_of_type(LONG pool_type, ULONG tag)
{
    pool_state &s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    ULONG count = 0;
    for (const auto &entry : s.blocks) {
        count += entry.second.type == pool_type && (tag == 0 || entry.second.tag == tag) ? 1 : 0;
    }
    return count;
}

std::uint64_t pool_allocation_count(const std::string &module_path)
{
    const std::string wanted = canonical_path(module_path.c_str());
    pool_state &s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    std::uint64_t count = 0;
    for (const auto &entry : s.allocations) {
        if (module_path.empty() || entry.first == wanted) {
            count += entry.second;
        }
    }
    return count;
}

bool pool_is_block(const void *p)
{
    pool_state &s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    return s.blocks.count(p) != 0;
}

namespace {

void pool_free(void *p, bool check_tag, ULONG tag, const char *function)
{
    if (p == nullptr) {
        verifier_stop("BAD_POOL_CALLER", "%s of a null pointer", function);
    }
    block info{};
    {
        pool_state &s = state();
        std::lock_guard<std::mutex> lock(s.lock);
        auto it = s.blocks.find(p);
        if (it == s.blocks.end()) {
            verifier_stop("BAD_POOL_CALLER", "%s of %p, which is not an allocated pool block (freed twice, or never "
                          "allocated from pool)", function, p);
        }
        info = it->second;
    }
    if (check_tag && tag != info.tag) {
        verifier_stop("BAD_POOL_CALLER", "%s of %p with tag '%s'; it was allocated with tag '%s'", function, p,
                      pool_tag_text(tag).c_str(), pool_tag_text(info.tag).c_str());
    }
    check_irql(info.type, function);
    timers_check_free(p, info.size);
    dpcs_check_free(p, info.size);
    {
        pool_state &s = state();
        std::lock_guard<std::mutex> lock(s.lock);
        if (s.blocks.erase(p) == 0) {
            verifier_stop("BAD_POOL_CALLER", "%s of %p, freed twice at the same time", function, p);
        }
    }
    std::free(p);
}

} // namespace

std::vector<pool_leak> pool_leaks(const std::string &module_path)
{
    const std::string wanted = canonical_path(module_path.c_str());
    std::map<std::pair<ULONG, SIZE_T>, ULONG> groups;
    {
        pool_state &s = state();
        std::lock_guard<std::mutex> lock(s.lock);
        for (const auto &entry : s.blocks) {
            if (module_path.empty() || wanted == entry.second.module) {
                groups[{entry.second.tag, entry.second.size}] += 1;
            }
        }
    }
    std::vector<pool_leak> leaks;
    for (const auto &group : groups) {
        leaks.push_back(pool_leak{group.first.first, group.first.second, group.second});
    }
    return leaks;
}

std::string pool_leak_report(const std::string &module_path)
{
    std::string report;
    for (const pool_leak &leak : pool_leaks(module_path)) {
        report += "tag '" + pool_tag_text(leak.tag) + "' size " + std::to_string(leak.size) + " count " +
                  std::to_string(leak.count) + "\n";
    }
    return report;
}

void pool_verify_unload(const std::string &module_path)
{
    const std::string report = pool_leak_report(module_path);
    if (!report.empty()) {
        verifier_stop("POOL_LEAK_AT_UNLOAD", "%s unloaded with pool still allocated:\n%s", module_path.c_str(),
                      report.c_str());
    }
}

ULONG pool_outstanding_blocks(ULONG tag)
{
    pool_state &s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    ULONG count = 0;
    for (const auto &entry : s.blocks) {
        count += (tag == 0 || entry.second.tag == tag) ? 1 : 0;
    }
    return count;
}

SIZE_T pool_outstanding_bytes(ULONG tag)
{
    pool_state &s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    SIZE_T bytes = 0;
    for (const auto &entry : s.blocks) {
        bytes += (tag == 0 || entry.second.tag == tag) ? entry.second.size : 0;
    }
    return bytes;
}

void pool_fail_nth(ULONG n)
{
    pool_state &s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    s.fail_nth = n;
}

void pool_fail_tag(ULONG tag)
{
    pool_state &s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    s.fail_tag = tag;
}

void pool_fail_reset()
{
    pool_state &s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    s.fail_nth = 0;
    s.fail_tag = 0;
}

// Blocks left over from an earlier machine were reported when its drivers unloaded; they are
// kept (something may still point at them) but no longer counted.
void pool_boot()
{
    pool_state &s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    for (const auto &entry : s.blocks) {
        s.retired.push_back(entry.first);
    }
    s.blocks.clear();
    s.fail_nth = 0;
    s.fail_tag = 0;
}

} // namespace platform

using namespace platform;

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    return pool_allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return pool_allocate(PoolType, NumberOfBytes, 0x656E6F4E /* "None" */, __builtin_return_address(0));
}

PVOID NTAPI ExAllocatePoolZero(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    void *p = pool_allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
    if (p != nullptr) {
        std::memset(p, 0, NumberOfBytes);
    }
    return p;
}

PVOID NTAPI ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag)
{
    constexpr POOL_FLAGS kind_flags = POOL_FLAG_NON_PAGED | POOL_FLAG_NON_PAGED_EXECUTE | POOL_FLAG_PAGED;
    constexpr POOL_FLAGS known = kind_flags | POOL_FLAG_USE_QUOTA | POOL_FLAG_UNINITIALIZED | POOL_FLAG_SESSION |
                                 POOL_FLAG_CACHE_ALIGNED | POOL_FLAG_RAISE_ON_FAILURE;
    const POOL_FLAGS kind = Flags & kind_flags;
    if ((Flags & ~known) != 0 || (kind != POOL_FLAG_NON_PAGED && kind != POOL_FLAG_NON_PAGED_EXECUTE &&
                                  kind != POOL_FLAG_PAGED)) {
        verifier_stop("BAD_POOL_CALLER", "ExAllocatePool2 with invalid flags 0x%llx", (unsigned long long)Flags);
    }
    const bool aligned = (Flags & POOL_FLAG_CACHE_ALIGNED) != 0;
    LONG type = NonPagedPoolNx;
    if (kind == POOL_FLAG_PAGED) {
        type = aligned ? PagedPoolCacheAligned : PagedPool;
    } else if (kind == POOL_FLAG_NON_PAGED_EXECUTE) {
        type = aligned ? NonPagedPoolCacheAligned : NonPagedPool;
    } else if (aligned) {
        type = NonPagedPoolNxCacheAligned;
    }
    void *p = pool_allocate(type, NumberOfBytes, Tag, __builtin_return_address(0));
    if (p == nullptr && (Flags & POOL_FLAG_RAISE_ON_FAILURE) != 0) {
        verifier_stop("BAD_POOL_CALLER", "ExAllocatePool2 of %zu bytes with POOL_FLAG_RAISE_ON_FAILURE failed; the "
                      "raised exception is not handled", (size_t)NumberOfBytes);
    }
    if (p != nullptr && (Flags & POOL_FLAG_UNINITIALIZED) == 0) {
        std::memset(p, 0, NumberOfBytes);
    }
    return p;
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    pool_free(P, true, Tag, "ExFreePoolWithTag");
}

VOID NTAPI ExFreePool(PVOID P)
{
    pool_free(P, false, 0, "ExFreePool");
}

} // extern "C"
