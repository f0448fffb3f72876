// Interlocked operations and interlocked singly linked lists (SLIST), shared by kernel-mode
// and user-mode code. Every Interlocked* operation is a full barrier and returns what Windows
// returns: the new value for Increment/Decrement/Add, the original value for the others.
#pragma once
#include <ntdef.h>

inline LONG InterlockedIncrement(LONG volatile *Addend) { return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(LONG volatile *Addend) { return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchange(LONG volatile *Target, LONG Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile *Destination, LONG Exchange, LONG Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}
inline LONG InterlockedExchangeAdd(LONG volatile *Addend, LONG Value)
{
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedAdd(LONG volatile *Addend, LONG Value) { return __atomic_add_fetch(Addend, Value, __ATOMIC_SEQ_CST); }
inline LONG InterlockedAnd(LONG volatile *Destination, LONG Value)
{
    return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedOr(LONG volatile *Destination, LONG Value)
{
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedXor(LONG volatile *Destination, LONG Value)
{
    return __atomic_fetch_xor(Destination, Value, __ATOMIC_SEQ_CST);
}

inline SHORT InterlockedIncrement16(SHORT volatile *Addend) { return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
inline SHORT InterlockedDecrement16(SHORT volatile *Addend) { return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
inline CHAR InterlockedExchange8(CHAR volatile *Target, CHAR Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline CHAR InterlockedAnd8(CHAR volatile *Destination, CHAR Value)
{
    return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}
inline CHAR InterlockedOr8(CHAR volatile *Destination, CHAR Value)
{
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}

inline LONG64 InterlockedIncrement64(LONG64 volatile *Addend) { return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
inline LONG64 InterlockedDecrement64(LONG64 volatile *Addend) { return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
inline LONG64 InterlockedExchange64(LONG64 volatile *Target, LONG64 Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedCompareExchange64(LONG64 volatile *Destination, LONG64 Exchange, LONG64 Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}
inline LONG64 InterlockedExchangeAdd64(LONG64 volatile *Addend, LONG64 Value)
{
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedAdd64(LONG64 volatile *Addend, LONG64 Value)
{
    return __atomic_add_fetch(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedAnd64(LONG64 volatile *Destination, LONG64 Value)
{
    return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedOr64(LONG64 volatile *Destination, LONG64 Value)
{
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedXor64(LONG64 volatile *Destination, LONG64 Value)
{
    return __atomic_fetch_xor(Destination, Value, __ATOMIC_SEQ_CST);
}

inline PVOID InterlockedExchangePointer(PVOID volatile *Target, PVOID Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile *Destination, PVOID Exchange, PVOID Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}

#define MemoryBarrier() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#define _ReadWriteBarrier() __atomic_signal_fence(__ATOMIC_SEQ_CST)
#define YieldProcessor() __builtin_ia32_pause()

// Interlocked singly linked lists. Entries must be 16-byte aligned, as pool blocks are.
typedef struct DECLSPEC_ALIGN(16) _SLIST_ENTRY {
    struct _SLIST_ENTRY *Next;
} SLIST_ENTRY, *PSLIST_ENTRY;

// The head keeps its first entry and depth under a small internal lock word.
typedef union DECLSPEC_ALIGN(16) _SLIST_HEADER {
    struct {
        ULONGLONG Alignment;
        ULONGLONG Region;
    };
    struct {
        PSLIST_ENTRY Next;
        USHORT Depth;
        USHORT Sequence;
        ULONG Lock;
    } List;
} SLIST_HEADER, *PSLIST_HEADER;

static_assert(sizeof(SLIST_HEADER) == 16, "SLIST_HEADER is 16 bytes");

extern "C" {

VOID NTAPI InitializeSListHead(PSLIST_HEADER ListHead);
// Returns the previous first entry (null when the list was empty).
PSLIST_ENTRY NTAPI InterlockedPushEntrySList(PSLIST_HEADER ListHead, PSLIST_ENTRY ListEntry);
PSLIST_ENTRY NTAPI InterlockedPopEntrySList(PSLIST_HEADER ListHead);
// Removes every entry and returns the former first one, still linked to the rest.
PSLIST_ENTRY NTAPI InterlockedFlushSList(PSLIST_HEADER ListHead);
USHORT NTAPI QueryDepthSList(PSLIST_HEADER ListHead);

} // extern "C"
