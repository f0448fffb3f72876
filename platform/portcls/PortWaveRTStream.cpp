// The WaveRT port's services to one stream: audio buffer pages from non-paged memory, their
// mapping into system space and their release.
#include "portcls_internal.h"
#include "PortWaveRTStream.h"
#include <platform/verifier.h>

namespace platform {

CPortWaveRTStream::CPortWaveRTStream(PUNKNOWN outer) : CUnknown(outer) { ++pc_live_objects(); }

CPortWaveRTStream::~CPortWaveRTStream() { --pc_live_objects(); }

STDMETHODIMP CPortWaveRTStream::NonDelegatingQueryInterface(REFIID iid, PVOID *ppvObject)
{
    if (ppvObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUID(iid, IID_IPortWaveRTStream)) {
        *ppvObject = static_cast<IPortWaveRTStream *>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    return CUnknown::NonDelegatingQueryInterface(iid, ppvObject);
}

STDMETHODIMP_(PMDL) CPortWaveRTStream::AllocatePagesForMdl(PHYSICAL_ADDRESS HighAddress, SIZE_T TotalBytes)
{
    PHYSICAL_ADDRESS low{};
    PHYSICAL_ADDRESS skip{};
    return MmAllocatePagesForMdl(low, HighAddress, skip, TotalBytes);
}

STDMETHODIMP_(PMDL) CPortWaveRTStream::AllocateContiguousPagesForMdl(PHYSICAL_ADDRESS LowAddress,
                                                                     PHYSICAL_ADDRESS HighAddress, SIZE_T TotalBytes)
{
    PHYSICAL_ADDRESS skip{};
    return MmAllocatePagesForMdl(LowAddress, HighAddress, skip, TotalBytes);
}

STDMETHODIMP_(PVOID) CPortWaveRTStream::MapAllocatedPages(PMDL MemoryDescriptorList, MEMORY_CACHING_TYPE CacheType)
{
    if (MemoryDescriptorList == nullptr) {
        return nullptr;
    }
    return MmMapLockedPagesSpecifyCache(MemoryDescriptorList, KernelMode, CacheType, nullptr, FALSE,
                                        NormalPagePriority);
}

STDMETHODIMP_(void) CPortWaveRTStream::UnmapAllocatedPages(PVOID BaseAddress, PMDL MemoryDescriptorList)
{
    if (BaseAddress != nullptr && MemoryDescriptorList != nullptr) {
        MmUnmapLockedPages(BaseAddress, MemoryDescriptorList);
    }
}

STDMETHODIMP_(void) CPortWaveRTStream::FreePagesFromMdl(PMDL MemoryDescriptorList)
{
    if (MemoryDescriptorList != nullptr) {
        MmFreePagesFromMdl(MemoryDescriptorList);
        ExFreePool(MemoryDescriptorList);
    }
}

STDMETHODIMP_(ULONG) CPortWaveRTStream::GetPhysicalPagesCount(PMDL MemoryDescriptorList)
{
    if (MemoryDescriptorList == nullptr) {
        return 0;
    }
    return (MemoryDescriptorList->ByteOffset + MemoryDescriptorList->ByteCount + PAGE_SIZE - 1) / PAGE_SIZE;
}

STDMETHODIMP_(PHYSICAL_ADDRESS) CPortWaveRTStream::GetPhysicalPageAddress(PMDL MemoryDescriptorList, ULONG Index)
{
    PHYSICAL_ADDRESS address{};
    if (MemoryDescriptorList != nullptr && MemoryDescriptorList->MappedSystemVa != nullptr &&
        Index < GetPhysicalPagesCount(MemoryDescriptorList)) {
        address = MmGetPhysicalAddress(static_cast<PUCHAR>(MemoryDescriptorList->MappedSystemVa) +
                                       (SIZE_T)Index * PAGE_SIZE - MemoryDescriptorList->ByteOffset);
    }
    return address;
}

} // namespace platform
