// CUSBAudioCL format and rate selection: what a direction offers, the alternate setting for a
// requested format, the device rate, and the packet sizes of the selected format.
#include "USBAudioCL.h"
#include "PacketPatternTable.h"
#include "USBAudioClock.h"
#include "USBAudioTerminal.h"
#include "UsbAudioTrace.h"
#include "UsbDescriptor.h"

namespace {

constexpr UCHAR FORMAT_TYPE_I = 1;
constexpr UCHAR UAC1_GET_CUR = 0x81;
constexpr UCHAR UAC1_SET_CUR = 0x01;
constexpr UCHAR UAC1_ENDPOINT_GET = 0xA2;
constexpr UCHAR UAC1_ENDPOINT_SET = 0x22;
constexpr USHORT UAC1_SAMPLING_FREQ_CONTROL = 0x0100;

// UAC2 bmFormats bits against wave format tags: every set bit must agree with the tag.
BOOLEAN Uac2FormatsAgree(ULONG formats, ULONG tag)
{
    static const ULONG bitTags[5] = {USB_AUDIO_TAG_PCM, USB_AUDIO_TAG_PCM, USB_AUDIO_TAG_IEEE_FLOAT,
                                     USB_AUDIO_TAG_ALAW, USB_AUDIO_TAG_MULAW};
    for (ULONG bit = 0; bit < 5; ++bit) {
        if ((formats & (1u << bit)) != 0 && bitTags[bit] != tag) {
            return FALSE;
        }
    }
    return TRUE;
}

// UAC1 wFormatTag against a wave format tag.
BOOLEAN Uac1FormatAgrees(ULONG formatTag, ULONG tag)
{
    switch (formatTag) {
    case 1:
    case 2:
        return tag == USB_AUDIO_TAG_PCM;
    case 3:
        return tag == USB_AUDIO_TAG_IEEE_FLOAT;
    case 4:
        return tag == USB_AUDIO_TAG_ALAW;
    case 5:
        return tag == USB_AUDIO_TAG_MULAW;
    default:
        return FALSE;
    }
}

// Rates of a UAC1 TYPE_I format type descriptor.
ULONG Uac1RateCount(const UCHAR *formatType)
{
    ULONG type = UsbDescByte(formatType, 7);
    return type == 0 ? 2 : type;
}

ULONG Uac1Rate(const UCHAR *formatType, ULONG index)
{
    return UsbDescTriple(formatType, 8 + 3 * index);
}

BOOLEAN Uac1OffersRate(const UCHAR *formatType, ULONG rate)
{
    BOOLEAN offered = FALSE;
    if (UsbDescByte(formatType, 7) == 0) {
        offered = UsbDescHas(formatType, 8, 6) && Uac1Rate(formatType, 0) <= rate && rate <= Uac1Rate(formatType, 1);
    } else {
        for (ULONG i = 0; i < Uac1RateCount(formatType) && !offered; ++i) {
            offered = UsbDescHas(formatType, 8 + 3 * i, 3) && Uac1Rate(formatType, i) == rate;
        }
    }
    return offered;
}

BOOLEAN IsTypeOne(const UCHAR *formatType)
{
    return formatType != nullptr && UsbDescByte(formatType, 3) == FORMAT_TYPE_I;
}

} // namespace

ULONG CUSBAudioCL::PacketInterval(const UCHAR *dataEndpoint) const
{
    // At full speed the pipe runs every frame whatever bInterval says (the pipe interval is
    // forced to 1), so the data rate per packet must use 1 as well.
    ULONG interval = UsbDescByte(dataEndpoint, 6);
    interval = interval == 0 ? 1 : (interval > 4 ? 4 : interval);
    return m_HighSpeed ? 1u << (interval - 1) : 1u;
}

ULONG CUSBAudioCL::BytesPerInterval(const UCHAR *endpoint) const
{
    ULONG maxPacket = UsbDescWord(endpoint, 4);
    return m_HighSpeed ? (((maxPacket >> 11) & 3) + 1) * (maxPacket & 0x7FF) : maxPacket;
}

ULONG CUSBAudioCL::CapacityPerMs(const USB_STREAMING_INTERFACE *record) const
{
    const USB_ALTERNATE_ENTRY *entry = record->CurrentEntry();
    const UCHAR *endpoint = entry != nullptr ? entry->DataEndpoint : nullptr;
    ULONG capacity = 0;
    if (endpoint != nullptr) {
        ULONG d = PacketInterval(endpoint);
        capacity = (m_HighSpeed && d < 8 ? 8 / d : 1) * BytesPerInterval(endpoint);
    }
    return capacity;
}

// A rate whose packets alternate between two sizes needs room for the larger one.
BOOLEAN CUSBAudioCL::EndpointCarriesRate(const USB_ALTERNATE_ENTRY &entry, ULONG rate, ULONG frameBytes) const
{
    const UCHAR *endpoint = entry.DataEndpoint;
    if (endpoint == nullptr || !UsbDescHas(endpoint, 4, 2)) {
        return FALSE;
    }
    ULONGLONG per = m_HighSpeed ? 8000 : 1000;
    ULONGLONG frames = (static_cast<ULONGLONG>(rate) * PacketInterval(endpoint) + per - 1) / per;
    return frames * frameBytes <= BytesPerInterval(endpoint) ? TRUE : FALSE;
}

NTSTATUS CUSBAudioCL::GetTerminalFormatRange(ULONG direction, PULONG maxChannels, PULONG minContainerBits,
                                             PULONG maxContainerBits, PULONG minRate, PULONG maxRate)
{
    NTSTATUS status = STATUS_SUCCESS;
    USB_STREAMING_INTERFACE *record = GetRecord(direction);
    *maxChannels = *minContainerBits = *maxContainerBits = *minRate = *maxRate = 0;
    if (record == nullptr) {
        status = STATUS_INVALID_PARAMETER;
    } else if (m_IsUac2) {
        CUSBAudioClock *clock = record->Terminal != nullptr ? record->Terminal->GetClock() : nullptr;
        status = clock != nullptr ? clock->GetFrequencyRange(minRate, maxRate, 0, 0xFFFFFFFF) : STATUS_NOT_SUPPORTED;
    }
    for (ULONG n = 1; NT_SUCCESS(status) && n < record->AlternateCount; ++n) {
        const USB_ALTERNATE_ENTRY &entry = record->Alternates[n];
        ULONG channels = 0;
        ULONG container = 0;
        if (entry.AsGeneral == nullptr || entry.FormatType == nullptr) {
            continue;
        }
        if (m_IsUac2) {
            if (UsbDescByte(entry.AsGeneral, 5) != FORMAT_TYPE_I) {
                continue;
            }
            channels = UsbDescByte(entry.AsGeneral, 10);
            container = UsbDescByte(entry.FormatType, 4) * 8u;
        } else {
            if (!IsTypeOne(entry.FormatType)) {
                continue;
            }
            channels = UsbDescByte(entry.FormatType, 4);
            container = UsbDescByte(entry.FormatType, 5) * 8u;
            for (ULONG i = 0; i < Uac1RateCount(entry.FormatType); ++i) {
                if (!UsbDescHas(entry.FormatType, 8 + 3 * i, 3)) {
                    break;
                }
                ULONG rate = Uac1Rate(entry.FormatType, i);
                *minRate = *minRate == 0 || rate < *minRate ? rate : *minRate;
                *maxRate = rate > *maxRate ? rate : *maxRate;
            }
        }
        *maxChannels = channels > *maxChannels ? channels : *maxChannels;
        *minContainerBits = *minContainerBits == 0 || container < *minContainerBits ? container : *minContainerBits;
        *maxContainerBits = container > *maxContainerBits ? container : *maxContainerBits;
    }
    return status;
}

NTSTATUS CUSBAudioCL::GetStreamingFormat(ULONG direction, ULONG subFormat, ULONG rate, PULONG channels,
                                         PULONG containerBits, PULONG resolutionBits)
{
    NTSTATUS status = STATUS_SUCCESS;
    USB_STREAMING_INTERFACE *record = GetRecord(direction);
    if (subFormat != USB_AUDIO_TAG_PCM) {
        status = STATUS_NOT_SUPPORTED;
    } else if (record == nullptr) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else if (m_IsUac2) {
        CUSBAudioClock *clock = record->Terminal != nullptr ? record->Terminal->GetClock() : nullptr;
        ULONG low = 0;
        ULONG high = 0;
        status = clock != nullptr ? clock->GetFrequencyRange(&low, &high, 0, 0xFFFFFFFF) : STATUS_NOT_SUPPORTED;
        if (NT_SUCCESS(status) && (rate < low || rate > high)) {
            status = STATUS_NO_MATCH;
        }
    }
    const USB_ALTERNATE_ENTRY *best = nullptr;
    ULONG bestSize = 0;
    for (ULONG n = 1; NT_SUCCESS(status) && n < record->AlternateCount; ++n) {
        const USB_ALTERNATE_ENTRY &entry = record->Alternates[n];
        BOOLEAN typeOne = m_IsUac2 ? entry.AsGeneral != nullptr && UsbDescByte(entry.AsGeneral, 5) == FORMAT_TYPE_I &&
                                         entry.FormatType != nullptr
                                   : IsTypeOne(entry.FormatType);
        ULONG size = UsbDescByte(entry.FormatType, m_IsUac2 ? 4 : 5);
        ULONG channels = m_IsUac2 ? UsbDescByte(entry.AsGeneral, 10) : UsbDescByte(entry.FormatType, 4);
        // An alternate whose endpoint cannot carry the rate is no candidate, however wide.
        if (typeOne && EndpointCarriesRate(entry, rate, channels * size) && (best == nullptr || size > bestSize)) {
            best = &entry;
            bestSize = size;
        }
    }
    if (NT_SUCCESS(status)) {
        if (best == nullptr) {
            status = STATUS_NO_MATCH;
        } else {
            *channels = m_IsUac2 ? UsbDescByte(best->AsGeneral, 10) : UsbDescByte(best->FormatType, 4);
            *containerBits = bestSize * 8;
            if (resolutionBits != nullptr) {
                *resolutionBits = UsbDescByte(best->FormatType, m_IsUac2 ? 5 : 6);
            }
        }
    }
    return status;
}

NTSTATUS CUSBAudioCL::IsFormatSupported(ULONG direction, ULONG formatTag, ULONG channels, ULONG bits, ULONG rate)
{
    USB_STREAMING_INTERFACE *record = GetRecord(direction);
    ULONG outChannels = 0;
    ULONG outContainer = 0;
    ULONG outAlternate = 0;
    return record != nullptr
               ? SearchAlternateSetting(record, formatTag, channels, bits, rate, &outChannels, &outContainer, &outAlternate)
               : STATUS_INVALID_PARAMETER;
}

// Confirms on the device that a capture alternate runs at a rate: the alternate is selected for
// the question and the previous one restored, and the pipes are bound again because the
// interface information they pointed into was replaced.
NTSTATUS CUSBAudioCL::ConfirmCaptureRate(USB_STREAMING_INTERFACE *record, ULONG alternate, ULONG rate)
{
    NTSTATUS status = STATUS_SUCCESS;
    BOOLEAN switched = alternate != record->CurrentAlternate;
    if (switched) {
        status = SelectAlternate(record->InterfaceNumber, static_cast<UCHAR>(alternate));
    }
    if (NT_SUCCESS(status)) {
        UCHAR value[3] = {};
        ULONG returned = 0;
        const UCHAR *endpoint = record->Alternates[alternate].DataEndpoint;
        status = ControlRequest(UAC1_ENDPOINT_GET, UAC1_GET_CUR, UAC1_SAMPLING_FREQ_CONTROL, endpoint[2], sizeof(value),
                                value, &returned);
        if (NT_SUCCESS(status) && (returned != sizeof(value) || UsbReadLe24(value) != rate)) {
            status = STATUS_NOT_SUPPORTED;
        }
    }
    if (switched) {
        NTSTATUS restore = SelectAlternate(record->InterfaceNumber, static_cast<UCHAR>(record->CurrentAlternate));
        NTSTATUS link = LinkStreamingPipes();
        status = NT_SUCCESS(status) ? (NT_SUCCESS(restore) ? link : restore) : status;
    }
    return status;
}

NTSTATUS CUSBAudioCL::SearchAlternateSetting(USB_STREAMING_INTERFACE *record, ULONG formatTag, ULONG channels,
                                             ULONG bits, ULONG rate, PULONG outChannels, PULONG outContainerBits,
                                             PULONG outAlternate)
{
    NTSTATUS status = STATUS_SUCCESS;
    BOOLEAN deselect = channels == 0 || bits == 0 || rate == 0;
    if (deselect) {
        *outAlternate = 0;
        *outChannels = channels;
        *outContainerBits = 0;
    } else if (m_IsUac2) {
        CUSBAudioClock *clock = record->Terminal != nullptr ? record->Terminal->GetClock() : nullptr;
        status = clock != nullptr ? clock->IsFrequencySupported(rate) : STATUS_NOT_SUPPORTED;
    }
    BOOLEAN exact = deselect;
    LONG fallback = -1;
    ULONG fallbackChannels = 0;
    ULONG fallbackContainer = 0;
    for (ULONG n = 1; NT_SUCCESS(status) && !exact && n < record->AlternateCount; ++n) {
        const USB_ALTERNATE_ENTRY &entry = record->Alternates[n];
        if (entry.DataEndpoint == nullptr || entry.AsGeneral == nullptr || entry.FormatType == nullptr) {
            continue;
        }
        ULONG altChannels = 0;
        ULONG container = 0;
        ULONG resolution = 0;
        if (m_IsUac2) {
            ULONG formats = UsbDescDword(entry.AsGeneral, 6);
            resolution = UsbDescByte(entry.FormatType, 5);
            // Float-only alternates never match here: the driver selects PCM formats only.
            if (UsbDescByte(entry.AsGeneral, 5) != FORMAT_TYPE_I || !Uac2FormatsAgree(formats, formatTag) ||
                (formats & (resolution == 8 ? 2u : 1u)) == 0) {
                continue;
            }
            altChannels = UsbDescByte(entry.AsGeneral, 10);
            container = UsbDescByte(entry.FormatType, 4) * 8u;
        } else {
            ULONG tag = UsbDescWord(entry.AsGeneral, 5);
            resolution = UsbDescByte(entry.FormatType, 6);
            if (!IsTypeOne(entry.FormatType) || !Uac1FormatAgrees(tag, formatTag) || tag != (resolution == 8 ? 2u : 1u) ||
                !Uac1OffersRate(entry.FormatType, rate)) {
                continue;
            }
            altChannels = UsbDescByte(entry.FormatType, 4);
            container = UsbDescByte(entry.FormatType, 5) * 8u;
            BOOLEAN hasFrequencyControl = (UsbDescByte(entry.CsEndpoint, 3) & 1) != 0;
            if (!EndpointCarriesRate(entry, rate, altChannels * (container / 8)) ||
                (UsbDescByte(entry.FormatType, 7) >= 2 && record->Direction == USB_STREAM_CAPTURE &&
                 !hasFrequencyControl && !NT_SUCCESS(ConfirmCaptureRate(record, n, rate)))) {
                continue;
            }
        }
        // Neither an exact match nor a fallback can stream on an endpoint too small for it.
        if (m_IsUac2 && !EndpointCarriesRate(entry, rate, altChannels * (container / 8))) {
            continue;
        }
        if (altChannels == channels && resolution == bits) {
            exact = TRUE;
            *outAlternate = n;
            *outChannels = channels;
            *outContainerBits = container;
        } else if (altChannels >= fallbackChannels && container >= fallbackContainer) {
            fallback = static_cast<LONG>(n);
            fallbackChannels = altChannels;
            fallbackContainer = container;
        }
    }
    if (NT_SUCCESS(status) && !exact) {
        if (fallback < 0) {
            status = STATUS_NOT_SUPPORTED;
        } else {
            *outAlternate = static_cast<ULONG>(fallback);
            *outChannels = fallbackChannels;
            *outContainerBits = fallbackContainer;
        }
    }
    return status;
}

// Steps shared by both selection variants: alternate search, clock rate, alternate change,
// pipe binding, endpoint rate and the packet sizes of the record. *packetInterval receives D.
NTSTATUS CUSBAudioCL::SelectFormat(USB_STREAMING_INTERFACE *record, ULONG formatTag, ULONG channels, ULONG bits,
                                   ULONG rate, PULONG outChannels, PULONG outContainerBits, PULONG packetInterval)
{
    ULONG alternate = 0;
    NTSTATUS status = SearchAlternateSetting(record, formatTag, channels, bits, rate, outChannels, outContainerBits,
                                             &alternate);
    BOOLEAN active = *outChannels != 0 && *outContainerBits != 0 && rate != 0;
    if (NT_SUCCESS(status) && m_IsUac2 && active) {
        CUSBAudioClock *clock = record->Terminal != nullptr ? record->Terminal->GetClock() : nullptr;
        status = clock != nullptr ? clock->SetFrequency(rate) : STATUS_NOT_SUPPORTED;
    }
    if (NT_SUCCESS(status) && alternate != record->CurrentAlternate) {
        status = SelectAlternate(record->InterfaceNumber, static_cast<UCHAR>(alternate));
        if (NT_SUCCESS(status)) {
            record->CurrentAlternate = alternate;
        }
    }
    if (NT_SUCCESS(status)) {
        status = LinkStreamingPipes();
    }
    const USB_ALTERNATE_ENTRY *entry = record->CurrentEntry();
    if (NT_SUCCESS(status) && !m_IsUac2 && active && (UsbDescByte(entry->CsEndpoint, 3) & 1) != 0) {
        UCHAR value[3] = {static_cast<UCHAR>(rate), static_cast<UCHAR>(rate >> 8), static_cast<UCHAR>(rate >> 16)};
        status = ControlRequest(UAC1_ENDPOINT_SET, UAC1_SET_CUR, UAC1_SAMPLING_FREQ_CONTROL, entry->DataEndpoint[2],
                                sizeof(value), value);
    }
    if (NT_SUCCESS(status)) {
        ULONG d = 1;
        record->BytesPerFrame = record->NominalPacketBytes = record->MinimumPacketBytes = record->MaximumPacketBytes = 0;
        record->ExactRate = FALSE;
        if (active && entry != nullptr && entry->DataEndpoint != nullptr) {
            d = PacketInterval(entry->DataEndpoint);
            ULONGLONG per = m_HighSpeed ? 8000 : 1000;
            ULONGLONG f = static_cast<ULONGLONG>(rate) * d;
            ULONG framesPerPacket = static_cast<ULONG>(f / per);
            ULONG bytesPerFrame = *outChannels * (*outContainerBits / 8);
            BOOLEAN exactRate = f % per == 0;
            record->BytesPerFrame = bytesPerFrame;
            record->NominalPacketBytes = framesPerPacket * bytesPerFrame;
            record->MinimumPacketBytes = exactRate ? record->NominalPacketBytes - bytesPerFrame : record->NominalPacketBytes;
            // No packet may exceed what the endpoint takes: one that declares room for the
            // nominal packet only (an adaptive output sized for the host's rate) gets no frame
            // above nominal, whatever the captured amount asks for.
            ULONG capacity = BytesPerInterval(entry->DataEndpoint) / bytesPerFrame * bytesPerFrame;
            ULONG maximum = record->NominalPacketBytes + bytesPerFrame;
            record->MaximumPacketBytes = maximum < capacity || capacity < record->NominalPacketBytes ? maximum : capacity;
            record->ExactRate = exactRate ? TRUE : FALSE;
        }
        *packetInterval = d;
    }
    return status;
}

NTSTATUS CUSBAudioCL::SelectStreamingFormat(ULONG direction, ULONG formatTag, ULONG channels, ULONG bits, ULONG rate,
                                            ULONG msPerTransfer, PULONG outChannels, PULONG outContainerBits,
                                            PULONG largestBytesPerTransfer)
{
    NTSTATUS status = STATUS_SUCCESS;
    USB_STREAMING_INTERFACE *record = GetRecord(direction);
    ULONG d = 1;
    if (record == nullptr) {
        status = STATUS_INVALID_PARAMETER;
    } else if (direction == 0) {
        // Whatever the current alternate: at alternate 0 there is no feedback pipe yet, and the
        // previous stream's values must not reach the next one.
        KLOCK_QUEUE_HANDLE lockHandle;
        KeAcquireInStackQueuedSpinLock(&record->FeedbackLock, &lockHandle);
        record->FeedbackValueInUse = 0;
        record->LatestFeedbackValue = 0;
        KeReleaseInStackQueuedSpinLock(&lockHandle);
        record->LastReceivedFeedback = 0;
        if (channels != 0 && bits != 0 && rate != 0) {
            const PACKET_PATTERN_ROW *row = FindPacketPatternRow(rate);
            if (row == nullptr) {
                status = STATUS_NOT_SUPPORTED;
            } else {
                m_pPatternRow = row;
            }
        }
    }
    if (NT_SUCCESS(status)) {
        status = SelectFormat(record, formatTag, channels, bits, rate, outChannels, outContainerBits, &d);
    }
    if (NT_SUCCESS(status)) {
        record->SampleRate = *outChannels != 0 && *outContainerBits != 0 ? rate : 0;
        if (direction == 0) {
            m_PatternPosition = 0;
            m_RenderPacketInterval = d;
        }
        if (record == m_pRender && record->FeedbackPipe != nullptr) {
            ULONG nominal = NominalFeedback(record->SampleRate);
            KLOCK_QUEUE_HANDLE lockHandle;
            KeAcquireInStackQueuedSpinLock(&record->FeedbackLock, &lockHandle);
            record->LatestFeedbackValue = nominal;
            KeReleaseInStackQueuedSpinLock(&lockHandle);
        }
        *largestBytesPerTransfer = msPerTransfer * CapacityPerMs(record);
    }
    return status;
}

NTSTATUS CUSBAudioCL::SelectStreamingFormat(ULONG direction, ULONG formatTag, ULONG channels, ULONG bits, ULONG rate,
                                            ULONG msPerTransfer, PULONG outChannels, PULONG outContainerBits,
                                            PULONG nominalBytesPerTransfer, PLONG framesBelow, PLONG framesAbove,
                                            PULONG largestBytesPerTransfer)
{
    NTSTATUS status = STATUS_SUCCESS;
    USB_STREAMING_INTERFACE *record = GetRecord(direction);
    ULONG d = 1;
    if (record == nullptr) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        status = SelectFormat(record, formatTag, channels, bits, rate, outChannels, outContainerBits, &d);
    }
    if (NT_SUCCESS(status)) {
        // Render transfers are laid out one packet per P (micro)frames in this mode too.
        if (record == m_pRender) {
            m_RenderPacketInterval = d;
        }
        ULONG scale = msPerTransfer * (m_HighSpeed ? 8 / d : 1);
        ULONG b = record->BytesPerFrame;
        ULONG n = record->NominalPacketBytes * scale;
        ULONG m = record->MinimumPacketBytes * scale;
        ULONG x = record->MaximumPacketBytes * scale;
        *nominalBytesPerTransfer = n;
        if ((framesBelow != nullptr || framesAbove != nullptr) && b == 0) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            if (framesBelow != nullptr) {
                *framesBelow = -static_cast<LONG>((n - m) / b);
            }
            if (framesAbove != nullptr) {
                *framesAbove = static_cast<LONG>((x - n) / b);
            }
        }
        *largestBytesPerTransfer = msPerTransfer * CapacityPerMs(record);
    }
    return status;
}

NTSTATUS CUSBAudioCL::IsSampleRateSupported(ULONG rate)
{
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    USB_STREAMING_INTERFACE *record = m_pCapture != nullptr ? m_pCapture : m_pRender;
    if (record == nullptr) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else if (m_IsUac2) {
        CUSBAudioClock *clock = record->Terminal != nullptr ? record->Terminal->GetClock() : nullptr;
        status = clock != nullptr && NT_SUCCESS(clock->IsFrequencySupported(rate)) ? STATUS_SUCCESS
                                                                                    : STATUS_INVALID_PARAMETER;
    } else {
        for (ULONG n = 1; n < record->AlternateCount; ++n) {
            const UCHAR *formatType = record->Alternates[n].FormatType;
            if (IsTypeOne(formatType) && Uac1OffersRate(formatType, rate)) {
                status = STATUS_SUCCESS;
                break;
            }
        }
    }
    return status;
}

NTSTATUS CUSBAudioCL::SetSampleRate(ULONG rate)
{
    BOOLEAN failed = FALSE;
    USB_STREAMING_INTERFACE *records[2] = {m_pRender, m_pCapture};
    for (USB_STREAMING_INTERFACE *record : records) {
        if (record == nullptr) {
            continue;
        }
        NTSTATUS status = STATUS_NOT_IMPLEMENTED;
        if (m_IsUac2) {
            CUSBAudioClock *clock = record->Terminal != nullptr ? record->Terminal->GetClock() : nullptr;
            status = clock != nullptr ? clock->SetFrequency(rate) : STATUS_NOT_SUPPORTED;
        }
        if (!NT_SUCCESS(status)) {
            // A UAC1 interface has no clock to set here: its rate goes to the endpoint when an
            // alternate is selected, so that answer is expected and not an error of the device.
            TraceEvents(m_IsUac2 ? TRACE_LEVEL_ERROR : TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE,
                        "rate %lu not set on interface %u: 0x%08X\n", rate, record->InterfaceNumber, status);
            failed = TRUE;
        }
    }
    m_CurrentSampleRate = rate;
    return failed ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

NTSTATUS CUSBAudioCL::IntersectFormat(ULONG direction, ULONG channels, ULONG minBits, ULONG maxBits,
                                      PULONG lowestRate, PULONG highestRate)
{
    NTSTATUS status = STATUS_NO_MATCH;
    USB_STREAMING_INTERFACE *record = GetRecord(direction);
    if (lowestRate == nullptr || highestRate == nullptr) {
        status = STATUS_INVALID_PARAMETER;
        record = nullptr;
    }
    for (ULONG i = 0; record != nullptr && record->DataRanges != nullptr && i < record->DataRangeCount; ++i) {
        const KSDATARANGE_AUDIO &range = record->DataRanges[i];
        BOOLEAN channelsFit = channels == range.MaximumChannels || (range.MaximumChannels > 2 && channels == 2);
        if (!channelsFit || maxBits > range.MaximumBitsPerSample || minBits < range.MinimumBitsPerSample ||
            *highestRate > range.MaximumSampleFrequency || *lowestRate < range.MinimumSampleFrequency) {
            continue;
        }
        status = STATUS_SUCCESS;
        if (m_IsUac2) {
            CUSBAudioClock *clock = record->Terminal != nullptr ? record->Terminal->GetClock() : nullptr;
            ULONG low = 0;
            ULONG high = 0;
            status = clock != nullptr ? clock->GetFrequencyRange(&low, &high, *lowestRate, *highestRate)
                                      : STATUS_NOT_SUPPORTED;
            if (NT_SUCCESS(status)) {
                *lowestRate = low;
                *highestRate = high;
            }
        } else {
            // The bounds become the device's lowest and highest rate inside the request; with
            // none inside they stay as requested.
            ULONG requestedLow = *lowestRate;
            ULONG requestedHigh = *highestRate;
            ULONG low = 0;
            ULONG high = 0;
            for (ULONG n = 1; n < record->AlternateCount; ++n) {
                const UCHAR *formatType = record->Alternates[n].FormatType;
                // An alternate without format descriptors (a vendor mode) carries no audio
                // format; one of another format type makes the answer unreliable.
                if (formatType == nullptr || record->Alternates[n].AsGeneral == nullptr) {
                    continue;
                }
                if (!IsTypeOne(formatType)) {
                    status = STATUS_INVALID_PARAMETER;
                    continue;
                }
                if (UsbDescByte(formatType, 7) == 0) {
                    ULONG lower = Uac1Rate(formatType, 0);
                    ULONG upper = Uac1Rate(formatType, 1);
                    if (!UsbDescHas(formatType, 8, 6) || upper < requestedLow || lower > requestedHigh) {
                        continue;
                    }
                    lower = lower < requestedLow ? requestedLow : lower;
                    upper = upper > requestedHigh ? requestedHigh : upper;
                    low = low == 0 || lower < low ? lower : low;
                    high = upper > high ? upper : high;
                    continue;
                }
                for (ULONG r = 0; r < Uac1RateCount(formatType) && UsbDescHas(formatType, 8 + 3 * r, 3); ++r) {
                    ULONG rate = Uac1Rate(formatType, r);
                    if (rate >= requestedLow && rate <= requestedHigh) {
                        low = low == 0 || rate < low ? rate : low;
                        high = rate > high ? rate : high;
                    }
                }
            }
            if (high != 0) {
                *lowestRate = low;
                *highestRate = high;
            }
        }
        break;
    }
    return status;
}
