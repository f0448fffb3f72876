// MDLs and page mapping. The machine has one address space: a page's frame number is its
// address shifted by PAGE_SHIFT, and mapping locked pages gives back the address they describe.
// The verifier checks the lock and map state of each MDL.
#include "io_internal.h"
#include <platform/pool.h>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace platform {
namespace {

constexpr ULONG mdl_tag = io_tag('M', 'd', 'l', ' ');

std::mutex g_lock;
std::map<void *, SIZE_T> g_page_blocks;   // MmAllocatePagesForMdl and contiguous allocations

void fill_pfns(PMDL mdl)
{
    const ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
    PPFN_NUMBER pfn = MmGetMdlPfnArray(mdl);
    for (ULONG i = 0; i < pages; ++i) {
        pfn[i] = ((ULONG_PTR)mdl->StartVa >> PAGE_SHIFT) + i;
    }
}

void *allocate_pages(SIZE_T bytes)
{
    const SIZE_T rounded = ROUND_TO_PAGES(bytes);
    void *block = std::aligned_alloc(PAGE_SIZE, rounded);
    if (block != nullptr) {
        std::memset(block, 0, rounded);
        std::lock_guard<std::mutex> lock(g_lock);
        g_page_blocks[block] = rounded;
    }
    return block;
}

bool free_pages(void *block)
{
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (g_page_blocks.erase(block) == 0) {
            return false;
        }
    }
    std::free(block);
    return true;
}

PMDL allocate_pages_for_mdl(SIZE_T total_bytes, void *caller)
{
    verifier_check_irql(DISPATCH_LEVEL, "MmAllocatePagesForMdl");
    if (total_bytes == 0 || total_bytes > 0x7FFF0000) {
        return nullptr;
    }
    const SIZE_T size = sizeof(MDL) + BYTES_TO_PAGES(total_bytes) * sizeof(PFN_NUMBER);
    auto mdl = static_cast<PMDL>(pool_allocate(NonPagedPoolNx, size, mdl_tag, caller));
    if (mdl == nullptr) {
        return nullptr;
    }
    void *pages = allocate_pages(total_bytes);
    if (pages == nullptr) {
        ExFreePoolWithTag(mdl, mdl_tag);
        return nullptr;
    }
    MmInitializeMdl(mdl, pages, total_bytes);
    fill_pfns(mdl);
    mdl->MdlFlags |= MDL_PAGES_LOCKED;
    return mdl;
}

} // namespace
} // namespace platform

using namespace platform;

extern "C" {

SIZE_T MmSizeOfMdl(PVOID Base, SIZE_T Length)
{
    return sizeof(MDL) + ADDRESS_AND_SIZE_TO_SPAN_PAGES(Base, Length) * sizeof(PFN_NUMBER);
}

VOID MmInitializeMdl(PMDL MemoryDescriptorList, PVOID BaseVa, SIZE_T Length)
{
    MemoryDescriptorList->Next = nullptr;
    MemoryDescriptorList->Size = (CSHORT)MmSizeOfMdl(BaseVa, Length);
    MemoryDescriptorList->MdlFlags = 0;
    MemoryDescriptorList->Process = nullptr;
    MemoryDescriptorList->MappedSystemVa = nullptr;
    MemoryDescriptorList->StartVa = PAGE_ALIGN(BaseVa);
    MemoryDescriptorList->ByteCount = (ULONG)Length;
    MemoryDescriptorList->ByteOffset = BYTE_OFFSET(BaseVa);
}

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp)
{
    verifier_check_irql(DISPATCH_LEVEL, "IoAllocateMdl");
    // The MDL's Size field is a CSHORT: larger buffers cannot be described by one MDL.
    const SIZE_T size = MmSizeOfMdl(VirtualAddress, Length);
    if (size > 0x7FFF) {
        return nullptr;
    }
    auto mdl = static_cast<PMDL>(
        pool_allocate(NonPagedPoolNx, size, mdl_tag, __builtin_return_address(0)));
    if (mdl == nullptr) {
        return nullptr;
    }
    MmInitializeMdl(mdl, VirtualAddress, Length);
    if (Irp != nullptr) {
        if (!SecondaryBuffer || Irp->MdlAddress == nullptr) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL last = Irp->MdlAddress;
            while (last->Next != nullptr) {
                last = last->Next;
            }
            last->Next = mdl;
        }
    }
    return mdl;
}

VOID IoFreeMdl(PMDL Mdl)
{
    verifier_check_irql(DISPATCH_LEVEL, "IoFreeMdl");
    if (Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
        verifier_stop("MDL_FREED_WHILE_MAPPED", "IoFreeMdl(%p) while mapped at %p; unmap first", (void *)Mdl,
                      Mdl->MappedSystemVa);
    }
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED) {
        verifier_stop("MDL_FREED_WHILE_LOCKED", "IoFreeMdl(%p) with its pages still locked; MmUnlockPages first",
                      (void *)Mdl);
    }
    ExFreePoolWithTag(Mdl, mdl_tag);
}

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList)
{
    PMDL mdl = MemoryDescriptorList;
    if (mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        verifier_stop("MDL_BUILT_TWICE", "MmBuildMdlForNonPagedPool(%p) on an MDL already locked or built",
                      (void *)mdl);
    }
    fill_pfns(mdl);
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation)
{
    verifier_check_irql(DISPATCH_LEVEL, "MmProbeAndLockPages");
    PMDL mdl = MemoryDescriptorList;
    if (mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)) {
        verifier_stop("MDL_LOCKED_TWICE", "MmProbeAndLockPages(%p) on an MDL already locked", (void *)mdl);
    }
    fill_pfns(mdl);
    mdl->MdlFlags |= MDL_PAGES_LOCKED | (Operation != IoReadAccess ? MDL_WRITE_OPERATION : 0);
}

VOID MmUnlockPages(PMDL MemoryDescriptorList)
{
    verifier_check_irql(DISPATCH_LEVEL, "MmUnlockPages");
    PMDL mdl = MemoryDescriptorList;
    if ((mdl->MdlFlags & MDL_PAGES_LOCKED) == 0) {
        verifier_stop("MDL_UNLOCKED_NOT_LOCKED", "MmUnlockPages(%p) on an MDL whose pages are not locked",
                      (void *)mdl);
    }
    if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
        MmUnmapLockedPages(mdl->MappedSystemVa, mdl);
    }
    mdl->MdlFlags &= (CSHORT) ~(MDL_PAGES_LOCKED | MDL_WRITE_OPERATION);
}

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress, ULONG BugCheckOnFailure,
                                   ULONG Priority)
{
    PMDL mdl = MemoryDescriptorList;
    verifier_check_irql(AccessMode == KernelMode ? DISPATCH_LEVEL : APC_LEVEL, "MmMapLockedPagesSpecifyCache");
    if ((mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)) == 0) {
        verifier_stop("MDL_MAPPED_NOT_LOCKED", "MmMapLockedPagesSpecifyCache(%p): the MDL's pages are not locked",
                      (void *)mdl);
    }
    if (AccessMode == KernelMode && (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)) {
        verifier_stop("MDL_MAPPED_TWICE", "MmMapLockedPagesSpecifyCache(%p): already mapped at %p", (void *)mdl,
                      mdl->MappedSystemVa);
    }
    void *address = reinterpret_cast<PCHAR>(MmGetMdlPfnArray(mdl)[0] << PAGE_SHIFT) + mdl->ByteOffset;
    if (AccessMode == KernelMode) {
        mdl->MappedSystemVa = address;
        mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    }
    return address;
}

PVOID MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode)
{
    return MmMapLockedPagesSpecifyCache(MemoryDescriptorList, AccessMode, MmCached, nullptr, TRUE,
                                        NormalPagePriority);
}

VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList)
{
    PMDL mdl = MemoryDescriptorList;
    if ((mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) == 0 || mdl->MappedSystemVa != BaseAddress) {
        if ((mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) == 0 && BaseAddress == MmGetMdlVirtualAddress(mdl)) {
            return; // a user-mode mapping: nothing is recorded for it
        }
        verifier_stop("MDL_UNMAPPED_NOT_MAPPED", "MmUnmapLockedPages(%p, %p): the MDL is not mapped there",
                      BaseAddress, (void *)mdl);
    }
    mdl->MdlFlags &= (CSHORT)~MDL_MAPPED_TO_SYSTEM_VA;
    mdl->MappedSystemVa = nullptr;
}

PMDL MmAllocatePagesForMdlEx(PHYSICAL_ADDRESS LowAddress, PHYSICAL_ADDRESS HighAddress, PHYSICAL_ADDRESS SkipBytes,
                             SIZE_T TotalBytes, MEMORY_CACHING_TYPE CacheType, ULONG Flags)
{
    return allocate_pages_for_mdl(TotalBytes, __builtin_return_address(0));
}

PMDL MmAllocatePagesForMdl(PHYSICAL_ADDRESS LowAddress, PHYSICAL_ADDRESS HighAddress, PHYSICAL_ADDRESS SkipBytes,
                           SIZE_T TotalBytes)
{
    return allocate_pages_for_mdl(TotalBytes, __builtin_return_address(0));
}

VOID MmFreePagesFromMdl(PMDL MemoryDescriptorList)
{
    verifier_check_irql(DISPATCH_LEVEL, "MmFreePagesFromMdl");
    PMDL mdl = MemoryDescriptorList;
    if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
        verifier_stop("MDL_PAGES_FREED_WHILE_MAPPED", "MmFreePagesFromMdl(%p) while mapped at %p; unmap first",
                      (void *)mdl, mdl->MappedSystemVa);
    }
    if (!free_pages(mdl->StartVa)) {
        verifier_stop("MDL_PAGES_NOT_ALLOCATED",
                      "MmFreePagesFromMdl(%p): its pages were not allocated by MmAllocatePagesForMdl (or were freed)",
                      (void *)mdl);
    }
    // The MDL itself stays for the caller to free with ExFreePool; it describes no pages now.
    mdl->MdlFlags &= (CSHORT)~MDL_PAGES_LOCKED;
    mdl->ByteCount = 0;
}

PHYSICAL_ADDRESS MmGetPhysicalAddress(PVOID BaseAddress)
{
    PHYSICAL_ADDRESS address;
    address.QuadPart = (LONGLONG)(ULONG_PTR)BaseAddress;
    return address;
}

PVOID MmAllocateContiguousMemory(SIZE_T NumberOfBytes, PHYSICAL_ADDRESS HighestAcceptableAddress)
{
    verifier_check_irql(DISPATCH_LEVEL, "MmAllocateContiguousMemory");
    return NumberOfBytes == 0 ? nullptr : allocate_pages(NumberOfBytes);
}

VOID MmFreeContiguousMemory(PVOID BaseAddress)
{
    if (!free_pages(BaseAddress)) {
        verifier_stop("CONTIGUOUS_MEMORY_NOT_ALLOCATED", "MmFreeContiguousMemory(%p): not allocated", BaseAddress);
    }
}

} // extern "C"
