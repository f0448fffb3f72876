// Kernel API, the executive (Ex, Ps, Ob): pool, lookaside lists, fast mutexes, interlocked
// lists guarded by spin locks, system threads, object references and kernel handles.
#pragma once
#include <ntdef.h>
#include <ntstatus.h>
#include <interlockedapi.h>
#include <km/wdm_ke.h>

// Pool. Every block is tracked by its tag and by the module that allocated it.
typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    DontUseThisType = 3,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolCacheAlignedMustS = 6,
    MaxPoolType = 7,
    NonPagedPoolBase = 0,
    NonPagedPoolSession = 32,
    PagedPoolSession = 33,
    NonPagedPoolNx = 512,
    NonPagedPoolNxCacheAligned = 516,
    NonPagedPoolSessionNx = 544,
} POOL_TYPE;

typedef ULONG64 POOL_FLAGS;
#define POOL_FLAG_USE_QUOTA 0x0000000000000001ULL
#define POOL_FLAG_UNINITIALIZED 0x0000000000000002ULL
#define POOL_FLAG_SESSION 0x0000000000000004ULL
#define POOL_FLAG_CACHE_ALIGNED 0x0000000000000008ULL
#define POOL_FLAG_RAISE_ON_FAILURE 0x0000000000000020ULL
#define POOL_FLAG_NON_PAGED 0x0000000000000040ULL
#define POOL_FLAG_NON_PAGED_EXECUTE 0x0000000000000080ULL
#define POOL_FLAG_PAGED 0x0000000000000100ULL

#define POOL_COLD_ALLOCATION 256
#define POOL_NX_ALLOCATION 512
#define POOL_ZERO_ALLOCATION 1024

extern "C" {

// Returns null on failure (also an injected one). PagedPool above APC_LEVEL and any pool
// above DISPATCH_LEVEL are verifier stops. The contents are not initialised.
NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
// Zeroes the block unless POOL_FLAG_UNINITIALIZED is given; exactly one of the NON_PAGED,
// NON_PAGED_EXECUTE and PAGED flags is required (else null).
NTKERNELAPI PVOID NTAPI ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI PVOID NTAPI ExAllocatePoolZero(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
// A pointer not allocated from pool, freed twice or freed with another tag is a verifier stop.
NTKERNELAPI VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePool(PVOID P);

} // extern "C"

// Lookaside lists: a cache of at most Depth free blocks of one size in front of the pool.
typedef PVOID ALLOCATE_FUNCTION(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
typedef ALLOCATE_FUNCTION *PALLOCATE_FUNCTION;
typedef VOID FREE_FUNCTION(PVOID Buffer);
typedef FREE_FUNCTION *PFREE_FUNCTION;

typedef struct DECLSPEC_ALIGN(16) _GENERAL_LOOKASIDE {
    SLIST_HEADER ListHead;
    USHORT Depth;
    USHORT MaximumDepth;
    ULONG TotalAllocates;
    ULONG AllocateMisses;
    ULONG TotalFrees;
    ULONG FreeMisses;
    POOL_TYPE Type;
    ULONG Tag;
    ULONG Size;
    PALLOCATE_FUNCTION Allocate;
    PFREE_FUNCTION Free;
    LIST_ENTRY ListEntry;
    ULONG LastTotalAllocates;
    ULONG LastAllocateMisses;
    ULONG Future[2];
} GENERAL_LOOKASIDE, *PGENERAL_LOOKASIDE;

typedef struct _NPAGED_LOOKASIDE_LIST {
    GENERAL_LOOKASIDE L;
} NPAGED_LOOKASIDE_LIST, *PNPAGED_LOOKASIDE_LIST;

typedef struct _PAGED_LOOKASIDE_LIST {
    GENERAL_LOOKASIDE L;
} PAGED_LOOKASIDE_LIST, *PPAGED_LOOKASIDE_LIST;

// Fast mutexes: not recursive; acquiring raises to APC_LEVEL.
typedef struct _FAST_MUTEX {
    LONG Count;
    PVOID Owner;
    ULONG Contention;
    KEVENT Event;
    ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX;

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef VOID KSTART_ROUTINE(PVOID StartContext);
typedef KSTART_ROUTINE *PKSTART_ROUTINE;

typedef struct _OBJECT_TYPE *POBJECT_TYPE;

typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

extern "C" {

// Lookaside lists. Size is at least the size of a list entry. Allocate and Free may be null
// for the pool. Depth 0 selects the default depth (4).
NTKERNELAPI VOID NTAPI ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                                       PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                                       USHORT Depth);
NTKERNELAPI VOID NTAPI ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
NTKERNELAPI PVOID NTAPI ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
NTKERNELAPI VOID NTAPI ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry);
NTKERNELAPI VOID NTAPI ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                                      PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                                      USHORT Depth);
NTKERNELAPI VOID NTAPI ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside);
NTKERNELAPI PVOID NTAPI ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside);
NTKERNELAPI VOID NTAPI ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry);

// Fast mutexes.
NTKERNELAPI VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID NTAPI ExAcquireFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID NTAPI ExReleaseFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI BOOLEAN NTAPI ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex);

// Doubly and singly linked lists guarded by a spin lock; callable at any IRQL up to
// DISPATCH_LEVEL. The insert routines return the list's previous first entry (null when the
// list was empty); the remove routines the removed entry or null.
NTKERNELAPI PLIST_ENTRY NTAPI ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                          PKSPIN_LOCK Lock);
NTKERNELAPI PLIST_ENTRY NTAPI ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                          PKSPIN_LOCK Lock);
NTKERNELAPI PLIST_ENTRY NTAPI ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock);
NTKERNELAPI PSINGLE_LIST_ENTRY NTAPI ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead,
                                                                PSINGLE_LIST_ENTRY ListEntry, PKSPIN_LOCK Lock);
NTKERNELAPI PSINGLE_LIST_ENTRY NTAPI ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead, PKSPIN_LOCK Lock);

// Time.
NTKERNELAPI ULONG NTAPI ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution);
NTKERNELAPI VOID NTAPI ExSystemTimeToLocalTime(PLARGE_INTEGER SystemTime, PLARGE_INTEGER LocalTime);
NTKERNELAPI VOID NTAPI ExLocalTimeToSystemTime(PLARGE_INTEGER LocalTime, PLARGE_INTEGER SystemTime);

// System threads. The start routine runs at PASSIVE_LEVEL; the returned handle is a kernel
// handle closed with ZwClose. A system thread that ends at a raised IRQL, holding a spin lock
// or owning a mutex is a verifier stop.
NTKERNELAPI NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                                POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                                PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                                PVOID StartContext);
// Ends the calling system thread; only a system thread may call it.
DECLSPEC_NORETURN NTKERNELAPI NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus);
NTKERNELAPI HANDLE NTAPI PsGetCurrentThreadId();
NTKERNELAPI HANDLE NTAPI PsGetCurrentProcessId();
NTKERNELAPI PETHREAD NTAPI PsGetCurrentThread();
NTKERNELAPI BOOLEAN NTAPI PsIsSystemThread(PETHREAD Thread);
NTKERNELAPI PEPROCESS NTAPI PsGetCurrentProcess();

extern POBJECT_TYPE *PsThreadType;
extern POBJECT_TYPE *ExEventObjectType;

// Object references. A thread handle gives its PKTHREAD, referenced; the caller releases it
// with ObDereferenceObject. Other helpers register their object types with the stand-in.
NTKERNELAPI NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                                     KPROCESSOR_MODE AccessMode, PVOID *Object,
                                                     POBJECT_HANDLE_INFORMATION HandleInformation);
NTKERNELAPI LONG_PTR FASTCALL ObfReferenceObject(PVOID Object);
NTKERNELAPI LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);
NTKERNELAPI VOID NTAPI ObDereferenceObjectDeferDelete(PVOID Object);

// Closes a kernel handle. A handle closed twice is a verifier stop; an unknown one returns
// STATUS_INVALID_HANDLE.
NTSYSAPI NTSTATUS NTAPI ZwClose(HANDLE Handle);

} // extern "C"

#define ObReferenceObject(Object) ObfReferenceObject(Object)
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)

#define ExInitializeSListHead InitializeSListHead
#define ExInterlockedPushEntrySList(ListHead, ListEntry, Lock) InterlockedPushEntrySList(ListHead, ListEntry)
#define ExInterlockedPopEntrySList(ListHead, Lock) InterlockedPopEntrySList(ListHead)
#define ExInterlockedFlushSList(ListHead) InterlockedFlushSList(ListHead)
#define ExQueryDepthSList(ListHead) QueryDepthSList(ListHead)

#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)
#define ZwCurrentProcess() NtCurrentProcess()
#define NtCurrentThread() ((HANDLE)(LONG_PTR)-2)
#define ZwCurrentThread() NtCurrentThread()
