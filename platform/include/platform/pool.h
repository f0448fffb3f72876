// The stand-in's pool accounting: every block by tag and by the module that allocated it, the
// leak report at driver unload and injected allocation failures. Each machine boot starts the
// accounting afresh: blocks of an earlier machine stay allocated but are no longer counted.
#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include <ntdef.h>

namespace platform {

// One group of blocks still allocated: same tag and same size.
struct pool_leak {
    ULONG tag;
    SIZE_T size;  // bytes of each block
    ULONG count;  // blocks of that size
};

// Blocks still allocated by the module at module_path (the path it was loaded from; compared
// after resolving links). An empty path means every module.
std::vector<pool_leak> pool_leaks(const std::string &module_path);

// Human-readable leak report for module_path, one line per group ("tag 'Abcd' size 64 count 2");
// empty when nothing leaked.
std::string pool_leak_report(const std::string &module_path);

// Verifier stop POOL_LEAK_AT_UNLOAD, listing tag, size and count, when module_path still has
// pool. Called by the machine when it unloads a driver.
void pool_verify_unload(const std::string &module_path);

// Every byte of a fresh block from ExAllocatePoolWithTag, ExAllocatePool, a lookaside list or
// the kit's operator new holds this value; the calls that zero on Windows (ExAllocatePoolZero,
// ExAllocatePool2) zero. No pointer made of it is canonical, so reading one faults.
constexpr unsigned char pool_fresh_fill = 0xA5;

// Number of blocks and bytes allocated now, over all modules; tag 0 counts every tag.
ULONG pool_outstanding_blocks(ULONG tag = 0);
SIZE_T pool_outstanding_bytes(ULONG tag = 0);
// Blocks of one pool type (NonPagedPool, NonPagedPoolNx ...) allocated now; tag 0: every tag.
ULONG pool_outstanding_blocks_of_type(LONG pool_type, ULONG tag = 0);

// Blocks that lookaside lists hold in their caches now (allocated pool, not in use).
ULONG pool_lookaside_blocks();

// Allocations made so far (successful ones, freed or not) by the module at module_path; an
// empty path counts every module. A benchmark compares two readings.
std::uint64_t pool_allocation_count(const std::string &module_path);

// Failure injection, cleared at every boot. pool_fail_nth(n): the n-th allocation from now
// (1 = the next) fails, once; 0 cancels. pool_fail_tag(tag): every allocation with that tag
// fails until pool_fail_tag(0) or pool_fail_reset().
void pool_fail_nth(ULONG n);
void pool_fail_tag(ULONG tag);
void pool_fail_reset();

// Allocation with an explicit caller address, for stand-in code that allocates on behalf of
// a driver (lookaside lists, Rtl strings) so the block is charged to the driver's module.
void *pool_allocate(LONG pool_type, SIZE_T size, ULONG tag, void *caller);
// True when p is the start of a live pool block.
bool pool_is_block(const void *p);

// Four-character text of a tag as it reads in memory ('Abcd' literal tags read "dcbA").
std::string pool_tag_text(ULONG tag);

} // namespace platform
