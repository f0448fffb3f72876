// CUSBAudioCL::BuildDataRanges: the KS audio data ranges of a streaming interface record, one
// per usable alternate setting, with the signal-processing attribute on newer systems.
#include "USBAudioCL.h"
#include "USBAudioClock.h"
#include "USBAudioTerminal.h"
#include "UsbAudioPoolTags.h"
#include "UsbAudioTrace.h"
#include "UsbDescriptor.h"

namespace {

constexpr UCHAR FORMAT_TYPE_I = 1;
constexpr ULONG UAC2_FORMAT_PCM = 0x01;
constexpr ULONG UAC2_FORMAT_PCM8 = 0x02;
constexpr ULONG UAC2_FORMAT_IEEE_FLOAT = 0x04;
constexpr ULONG UAC2_FORMAT_ALAW = 0x08;
constexpr ULONG UAC2_FORMAT_MULAW = 0x10;
constexpr ULONG SIGNAL_PROCESSING_DDI_VERSION = 0x06030000;

// The attribute list a flagged range points to: a header and one inline attribute.
struct RANGE_ATTRIBUTE_LIST {
    KSMULTIPLE_ITEM Header;
    KSATTRIBUTE Attribute;
};
static_assert(sizeof(RANGE_ATTRIBUTE_LIST) == 32);

const GUID ZERO_GUID = {};

const GUID &Uac2SubFormat(ULONG formats)
{
    if ((formats & (UAC2_FORMAT_PCM | UAC2_FORMAT_PCM8)) != 0) {
        return KSDATAFORMAT_SUBTYPE_PCM;
    }
    if ((formats & UAC2_FORMAT_IEEE_FLOAT) != 0) {
        return KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    }
    if ((formats & UAC2_FORMAT_ALAW) != 0) {
        return KSDATAFORMAT_SUBTYPE_ALAW;
    }
    if ((formats & UAC2_FORMAT_MULAW) != 0) {
        return KSDATAFORMAT_SUBTYPE_MULAW;
    }
    return ZERO_GUID;
}

const GUID &Uac1SubFormat(ULONG tag)
{
    switch (tag) {
    case 1:
    case 2:
        return KSDATAFORMAT_SUBTYPE_PCM;
    case 3:
        return KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    case 4:
        return KSDATAFORMAT_SUBTYPE_ALAW;
    case 5:
        return KSDATAFORMAT_SUBTYPE_MULAW;
    default:
        return ZERO_GUID;
    }
}

// Lowest and highest rate of a UAC1 TYPE_I descriptor. With a current rate only that rate
// counts, and a descriptor that does not offer it has no range.
BOOLEAN Uac1RateRange(const UCHAR *formatType, ULONG currentRate, PULONG minimum, PULONG maximum)
{
    ULONG low = 0;
    ULONG high = 0;
    BOOLEAN found = FALSE;
    if (UsbDescByte(formatType, 7) == 0) {
        if (UsbDescHas(formatType, 8, 6)) {
            low = UsbDescTriple(formatType, 8);
            high = UsbDescTriple(formatType, 11);
            found = low <= high ? TRUE : FALSE;
        }
    } else {
        for (ULONG i = 0; i < UsbDescByte(formatType, 7) && UsbDescHas(formatType, 8 + 3 * i, 3); ++i) {
            ULONG rate = UsbDescTriple(formatType, 8 + 3 * i);
            if (currentRate != 0 && rate != currentRate) {
                continue;
            }
            low = !found || rate < low ? rate : low;
            high = !found || rate > high ? rate : high;
            found = TRUE;
        }
    }
    *minimum = low;
    *maximum = high;
    return found;
}

} // namespace

NTSTATUS CUSBAudioCL::BuildDataRanges(USB_STREAMING_INTERFACE *record)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (record == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (record->DataRanges != nullptr) {
        ExFreePoolWithTag(record->DataRanges, USBAUDIO_TAG);
    }
    record->DataRanges = nullptr;
    record->DataRangeEntries = nullptr;
    record->DataRangeCount = 0;
    record->DataRangeEntryCount = 0;

    // One block: the ranges, then one pointer per range plus the attribute entry, then the
    // attribute list. Ranges come first so that the block is freed through DataRanges.
    ULONG slots = record->AlternateCount != 0 ? record->AlternateCount : 1;
    SIZE_T rangeBytes = static_cast<SIZE_T>(slots) * sizeof(KSDATARANGE_AUDIO);
    SIZE_T pointerBytes = static_cast<SIZE_T>(slots + 1) * sizeof(PKSDATARANGE);
    SIZE_T total = rangeBytes + pointerBytes + sizeof(RANGE_ATTRIBUTE_LIST);
    auto block = static_cast<PUCHAR>(ExAllocatePoolWithTag(PoolType(), total, USBAUDIO_TAG));
    if (block == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(block, total);
    auto ranges = reinterpret_cast<PKSDATARANGE_AUDIO>(block);
    auto entries = reinterpret_cast<PKSDATARANGE *>(block + rangeBytes);
    auto attributes = reinterpret_cast<RANGE_ATTRIBUTE_LIST *>(block + rangeBytes + pointerBytes);
    ULONG kept = 0;
    ULONG currentRate = m_CurrentSampleRate;

    for (ULONG n = 1; n < record->AlternateCount; ++n) {
        const USB_ALTERNATE_ENTRY &entry = record->Alternates[n];
        KSDATARANGE_AUDIO candidate;
        RtlZeroMemory(&candidate, sizeof(candidate));
        ULONG minimum = 0;
        ULONG maximum = 0;
        if (entry.AsGeneral == nullptr || entry.FormatType == nullptr) {
            continue;
        }
        if (m_IsUac2) {
            if (UsbDescByte(entry.AsGeneral, 5) != FORMAT_TYPE_I) {
                continue;
            }
            // A clock that gives no range (every input of a selector failed) offers no rate: its
            // range would read 0..0, which neither a current rate nor any request can meet.
            CUSBAudioClock *clock = record->Terminal != nullptr ? record->Terminal->GetClock() : nullptr;
            if (clock == nullptr || !NT_SUCCESS(clock->GetFrequencyRange(&minimum, &maximum, 0, 0xFFFFFFFF)) ||
                maximum == 0) {
                TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_DEVICE, "interface %u alternate %lu: no clock range\n",
                            record->InterfaceNumber, n);
                continue;
            }
            candidate.DataRange.SubFormat = Uac2SubFormat(UsbDescDword(entry.AsGeneral, 6));
            candidate.MaximumChannels = UsbDescByte(entry.AsGeneral, 10);
            candidate.MinimumBitsPerSample = candidate.MaximumBitsPerSample = UsbDescByte(entry.FormatType, 5);
        } else {
            ULONG tag = UsbDescWord(entry.AsGeneral, 5);
            if (UsbDescByte(entry.FormatType, 3) != FORMAT_TYPE_I || (tag == 1 && UsbDescByte(entry.FormatType, 5) == 1) ||
                !Uac1RateRange(entry.FormatType, currentRate, &minimum, &maximum)) {
                continue;
            }
            candidate.DataRange.SubFormat = Uac1SubFormat(tag);
            candidate.MaximumChannels = UsbDescByte(entry.FormatType, 4);
            candidate.MinimumBitsPerSample = candidate.MaximumBitsPerSample = UsbDescByte(entry.FormatType, 6);
        }
        candidate.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
        candidate.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
        candidate.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
        candidate.MinimumSampleFrequency = minimum;
        candidate.MaximumSampleFrequency = maximum;
        if (currentRate != 0) {
            ULONG frameBytes = candidate.MaximumChannels * UsbDescByte(entry.FormatType, m_IsUac2 ? 4 : 5);
            // An alternate whose endpoint cannot carry the current rate offers nothing at it.
            if (currentRate < minimum || currentRate > maximum || !EndpointCarriesRate(entry, currentRate, frameBytes)) {
                continue;
            }
            // Narrowed first, so that alternates differing only in their rate range, which no
            // longer matters, give one range.
            candidate.MinimumSampleFrequency = candidate.MaximumSampleFrequency = currentRate;
            BOOLEAN duplicate = FALSE;
            for (ULONG k = 0; k < kept && !duplicate; ++k) {
                duplicate = RtlCompareMemory(&ranges[k], &candidate, sizeof(candidate)) == sizeof(candidate);
            }
            if (duplicate) {
                continue;
            }
        }
        ranges[kept] = candidate;
        entries[kept] = &ranges[kept].DataRange;
        ++kept;
    }

    ULONG entryCount = kept;
    if (kept != 0 && RtlIsNtDdiVersionAvailable(SIGNAL_PROCESSING_DDI_VERSION)) {
        ranges[kept - 1].DataRange.Flags = KSDATARANGE_ATTRIBUTES;
        attributes->Header.Size = sizeof(RANGE_ATTRIBUTE_LIST);
        attributes->Header.Count = 1;
        attributes->Attribute.Size = sizeof(KSATTRIBUTE);
        attributes->Attribute.Flags = 0;
        attributes->Attribute.Attribute = KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE;
        entries[entryCount++] = reinterpret_cast<PKSDATARANGE>(attributes);
    }
    record->DataRanges = ranges;
    record->DataRangeEntries = entries;
    record->DataRangeCount = kept;
    record->DataRangeEntryCount = entryCount;
    return status;
}
