// Lookaside lists: a cache of free blocks of one size, at most Depth deep, in front of the
// pool or of the owner's allocate and free routines. Cached blocks stay allocated pool until
// the list is deleted, so a list never deleted shows up as a leak of its tag.
#include <wdm.h>
#include <atomic>
#include <platform/pool.h>
#include <platform/verifier.h>

namespace {

// Blocks cached by every list now, so that a check between two moments can tell a block in use
// from one a list keeps for its next allocation.
std::atomic<ULONG> g_cached{0};

constexpr USHORT default_depth = 4;

void initialize(PGENERAL_LOOKASIDE L, PALLOCATE_FUNCTION Allocate, PFREE_FUNCTION Free, POOL_TYPE Type, SIZE_T Size,
                ULONG Tag, USHORT Depth)
{
    std::memset(L, 0, sizeof(*L));
    InitializeSListHead(&L->ListHead);
    L->Depth = Depth != 0 ? Depth : default_depth;
    L->MaximumDepth = L->Depth;
    L->Type = Type;
    L->Tag = Tag;
    L->Size = (ULONG)(Size < sizeof(SLIST_ENTRY) ? sizeof(SLIST_ENTRY) : Size);
    L->Allocate = Allocate;
    L->Free = Free;
}

PVOID allocate(PGENERAL_LOOKASIDE L, void *caller)
{
    L->TotalAllocates += 1;
    PVOID entry = InterlockedPopEntrySList(&L->ListHead);
    if (entry != nullptr) {
        --g_cached;
        return entry;
    }
    L->AllocateMisses += 1;
    if (L->Allocate != nullptr) {
        return L->Allocate(L->Type, L->Size, L->Tag);
    }
    return platform::pool_allocate(L->Type, L->Size, L->Tag, caller);
}

void release(PGENERAL_LOOKASIDE L, PVOID Entry)
{
    if (L->Free != nullptr) {
        L->Free(Entry);
    } else {
        ExFreePoolWithTag(Entry, L->Tag);
    }
}

void free_to(PGENERAL_LOOKASIDE L, PVOID Entry)
{
    L->TotalFrees += 1;
    if (QueryDepthSList(&L->ListHead) >= L->Depth) {
        L->FreeMisses += 1;
        release(L, Entry);
        return;
    }
    InterlockedPushEntrySList(&L->ListHead, static_cast<PSLIST_ENTRY>(Entry));
    ++g_cached;
}

void remove_all(PGENERAL_LOOKASIDE L)
{
    PSLIST_ENTRY entry = InterlockedFlushSList(&L->ListHead);
    while (entry != nullptr) {
        PSLIST_ENTRY next = entry->Next;
        --g_cached;
        release(L, entry);
        entry = next;
    }
}

POOL_TYPE nonpaged_type(ULONG Flags)
{
    return (Flags & POOL_NX_ALLOCATION) != 0 ? NonPagedPoolNx : NonPagedPool;
}

} // namespace

namespace platform {

ULONG pool_lookaside_blocks()
{
    return g_cached.load();
}

} // namespace platform

extern "C" {

VOID NTAPI ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                           PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth)
{
    platform::verifier_check_irql(DISPATCH_LEVEL, "ExInitializeNPagedLookasideList");
    initialize(&Lookaside->L, Allocate, Free, nonpaged_type(Flags), Size, Tag, Depth);
}

VOID NTAPI ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    platform::verifier_check_irql(DISPATCH_LEVEL, "ExDeleteNPagedLookasideList");
    remove_all(&Lookaside->L);
}

PVOID NTAPI ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    platform::verifier_check_irql(DISPATCH_LEVEL, "ExAllocateFromNPagedLookasideList");
    return allocate(&Lookaside->L, __builtin_return_address(0));
}

VOID NTAPI ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry)
{
    platform::verifier_check_irql(DISPATCH_LEVEL, "ExFreeToNPagedLookasideList");
    free_to(&Lookaside->L, Entry);
}

VOID NTAPI ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                          PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth)
{
    platform::verifier_check_irql(APC_LEVEL, "ExInitializePagedLookasideList");
    initialize(&Lookaside->L, Allocate, Free, PagedPool, Size, Tag, Depth);
}

VOID NTAPI ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside)
{
    platform::verifier_check_irql(APC_LEVEL, "ExDeletePagedLookasideList");
    remove_all(&Lookaside->L);
}

PVOID NTAPI ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside)
{
    platform::verifier_check_irql(APC_LEVEL, "ExAllocateFromPagedLookasideList");
    return allocate(&Lookaside->L, __builtin_return_address(0));
}

VOID NTAPI ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry)
{
    platform::verifier_check_irql(APC_LEVEL, "ExFreeToPagedLookasideList");
    free_to(&Lookaside->L, Entry);
}

} // extern "C"
