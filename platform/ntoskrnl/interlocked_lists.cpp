// Interlocked singly linked lists (a lock word in the head guards first entry and depth) and
// the lists guarded by a caller's spin lock.
#include <wdm.h>
#include <platform/thread.h>

namespace {

void lock_head(PSLIST_HEADER head)
{
    for (ULONG spins = 0; __atomic_exchange_n(&head->List.Lock, 1u, __ATOMIC_ACQUIRE) != 0; ++spins) {
        platform::thread_spin_wait(spins);
    }
}

void unlock_head(PSLIST_HEADER head)
{
    __atomic_store_n(&head->List.Lock, 0u, __ATOMIC_RELEASE);
}

} // namespace

extern "C" {

VOID NTAPI InitializeSListHead(PSLIST_HEADER ListHead)
{
    ListHead->List.Next = nullptr;
    ListHead->List.Depth = 0;
    ListHead->List.Sequence = 0;
    __atomic_store_n(&ListHead->List.Lock, 0u, __ATOMIC_RELEASE);
}

PSLIST_ENTRY NTAPI InterlockedPushEntrySList(PSLIST_HEADER ListHead, PSLIST_ENTRY ListEntry)
{
    lock_head(ListHead);
    PSLIST_ENTRY first = ListHead->List.Next;
    ListEntry->Next = first;
    ListHead->List.Next = ListEntry;
    ListHead->List.Depth += 1;
    ListHead->List.Sequence += 1;
    unlock_head(ListHead);
    return first;
}

PSLIST_ENTRY NTAPI InterlockedPopEntrySList(PSLIST_HEADER ListHead)
{
    lock_head(ListHead);
    PSLIST_ENTRY first = ListHead->List.Next;
    if (first != nullptr) {
        ListHead->List.Next = first->Next;
        ListHead->List.Depth -= 1;
        ListHead->List.Sequence += 1;
    }
    unlock_head(ListHead);
    return first;
}

PSLIST_ENTRY NTAPI InterlockedFlushSList(PSLIST_HEADER ListHead)
{
    lock_head(ListHead);
    PSLIST_ENTRY first = ListHead->List.Next;
    ListHead->List.Next = nullptr;
    ListHead->List.Depth = 0;
    unlock_head(ListHead);
    return first;
}

USHORT NTAPI QueryDepthSList(PSLIST_HEADER ListHead)
{
    lock_head(ListHead);
    const USHORT depth = ListHead->List.Depth;
    unlock_head(ListHead);
    return depth;
}

PLIST_ENTRY NTAPI ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock)
{
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
    InsertHeadList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, old);
    return first;
}

PLIST_ENTRY NTAPI ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock)
{
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
    InsertTailList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, old);
    return first;
}

PLIST_ENTRY NTAPI ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock)
{
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PLIST_ENTRY entry = IsListEmpty(ListHead) ? nullptr : RemoveHeadList(ListHead);
    KeReleaseSpinLock(Lock, old);
    return entry;
}

PSINGLE_LIST_ENTRY NTAPI ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead, PSINGLE_LIST_ENTRY ListEntry,
                                                    PKSPIN_LOCK Lock)
{
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PSINGLE_LIST_ENTRY first = ListHead->Next;
    PushEntryList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, old);
    return first;
}

PSINGLE_LIST_ENTRY NTAPI ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead, PKSPIN_LOCK Lock)
{
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PSINGLE_LIST_ENTRY entry = PopEntryList(ListHead);
    KeReleaseSpinLock(Lock, old);
    return entry;
}

} // extern "C"
