// The data-range copy of an owned filter description: one block per description holding every
// pin's range pointers and the ranges and attribute lists behind them.
#include "OwnedFilter.h"
#include <ks.h>
#include "AsyncPoolTags.h"

namespace {

constexpr SIZE_T ITEM_ALIGNMENT = 8;

SIZE_T AlignItem(SIZE_T Bytes)
{
    return (Bytes + ITEM_ALIGNMENT - 1) & ~(ITEM_ALIGNMENT - 1);
}

KSPIN_DESCRIPTOR *PinAt(PPCFILTER_DESCRIPTOR Filter, ULONG Pin)
{
    auto pins = reinterpret_cast<PUCHAR>(const_cast<PCPIN_DESCRIPTOR *>(Filter->Pins));
    return &reinterpret_cast<PCPIN_DESCRIPTOR *>(pins + static_cast<SIZE_T>(Pin) * Filter->PinSize)->KsPinDescriptor;
}

// Bytes of entry Index of a pin's range list: an attribute list follows a range flagged with
// KSDATARANGE_ATTRIBUTES, every other entry is a range.
SIZE_T EntryBytes(const KSPIN_DESCRIPTOR *Pin, ULONG Index, BOOLEAN *Attributes)
{
    if (*Attributes) {
        *Attributes = FALSE;
        return reinterpret_cast<const KSMULTIPLE_ITEM *>(Pin->DataRanges[Index])->Size;
    }
    const KSDATARANGE *range = Pin->DataRanges[Index];
    *Attributes = (range->Flags & KSDATARANGE_ATTRIBUTES) != 0;
    return range->FormatSize;
}

} // namespace

NTSTATUS OwnFilterDataRanges(PPCFILTER_DESCRIPTOR Filter, POOL_TYPE PoolType, PUCHAR *Block)
{
    SIZE_T pointerBytes = 0;
    SIZE_T itemBytes = 0;
    for (ULONG pin = 0; pin < Filter->PinCount; ++pin) {
        const KSPIN_DESCRIPTOR *ks = PinAt(Filter, pin);
        BOOLEAN attributes = FALSE;
        pointerBytes += static_cast<SIZE_T>(ks->DataRangesCount) * sizeof(PKSDATARANGE);
        for (ULONG i = 0; i < ks->DataRangesCount; ++i) {
            itemBytes += AlignItem(EntryBytes(ks, i, &attributes));
        }
    }
    pointerBytes = AlignItem(pointerBytes);
    auto block = static_cast<PUCHAR>(ExAllocatePoolWithTag(PoolType, pointerBytes + itemBytes, ASYNC_TAG));
    if (block == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto pointers = reinterpret_cast<PKSDATARANGE *>(block);
    PUCHAR item = block + pointerBytes;
    for (ULONG pin = 0; pin < Filter->PinCount; ++pin) {
        KSPIN_DESCRIPTOR *ks = PinAt(Filter, pin);
        BOOLEAN attributes = FALSE;
        for (ULONG i = 0; i < ks->DataRangesCount; ++i) {
            const SIZE_T bytes = EntryBytes(ks, i, &attributes);
            RtlCopyMemory(item, ks->DataRanges[i], bytes);
            pointers[i] = reinterpret_cast<PKSDATARANGE>(item);
            item += AlignItem(bytes);
        }
        if (ks->DataRangesCount != 0) {
            ks->DataRanges = pointers;
        }
        pointers += ks->DataRangesCount;
    }
    *Block = block;
    return STATUS_SUCCESS;
}
