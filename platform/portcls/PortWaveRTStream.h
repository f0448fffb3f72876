// The port stream object a WaveRT miniport stream receives at NewStream.
#pragma once
#include <stdunk.h>
#include <portcls.h>

namespace platform {

class CPortWaveRTStream final : public CUnknown, public IPortWaveRTStream {
public:
    DECLARE_STD_UNKNOWN();
    explicit CPortWaveRTStream(PUNKNOWN outer);
    ~CPortWaveRTStream() override;

    STDMETHODIMP_(PMDL) AllocatePagesForMdl(PHYSICAL_ADDRESS HighAddress, SIZE_T TotalBytes) override;
    STDMETHODIMP_(PMDL) AllocateContiguousPagesForMdl(PHYSICAL_ADDRESS LowAddress, PHYSICAL_ADDRESS HighAddress,
                                                      SIZE_T TotalBytes) override;
    STDMETHODIMP_(PVOID) MapAllocatedPages(PMDL MemoryDescriptorList, MEMORY_CACHING_TYPE CacheType) override;
    STDMETHODIMP_(void) UnmapAllocatedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) override;
    STDMETHODIMP_(void) FreePagesFromMdl(PMDL MemoryDescriptorList) override;
    STDMETHODIMP_(ULONG) GetPhysicalPagesCount(PMDL MemoryDescriptorList) override;
    STDMETHODIMP_(PHYSICAL_ADDRESS) GetPhysicalPageAddress(PMDL MemoryDescriptorList, ULONG Index) override;
};

// Pool tag of the port class stand-in's own objects ('PcPt').
constexpr ULONG pc_pool_tag = 0x74506350;

} // namespace platform
