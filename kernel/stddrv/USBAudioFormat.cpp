// CUSBAudioCL format selection: the search for an alternate that carries a format, the
// class 1 endpoint sampling-frequency requests, the selection with its sizes, and the range
// of formats a direction offers.
#include "USBAudioCL.h"
#include "USBAudioClock.h"
#include "USBAudioEntity.h"
#include "USBPacketPattern.h"
#include "UsbDescriptor.h"
#include "StdTrace.h"

namespace {

constexpr UCHAR ENDPOINT_GET = 0xA2;
constexpr UCHAR ENDPOINT_SET = 0x22;
constexpr UCHAR UAC1_GET_CUR = 0x81;
constexpr UCHAR UAC1_SET_CUR = 0x01;
constexpr ULONG FORMAT_TYPE_I = 1;
constexpr ULONG UAC1_TAG_PCM = 1;
constexpr ULONG UAC1_TAG_PCM8 = 2;
constexpr ULONG UAC2_FORMAT_PCM = 0x1;
constexpr ULONG UAC2_FORMAT_PCM8 = 0x2;
// Rates a class 1 capture endpoint without its own rate control is moved to.
constexpr ULONG RATE_44100 = 44100;
constexpr ULONG RATE_48000 = 48000;

// Number of rates a class 1 type I format lists (0: a continuous range).
ULONG Uac1RateCount(const UCHAR *format)
{
    return UsbDescByte(format, 7);
}

BOOLEAN Uac1RateMatches(const UCHAR *format, ULONG rate)
{
    ULONG count = Uac1RateCount(format);
    BOOLEAN match = FALSE;
    if (count == 0) {
        match = UsbDescHas(format, 8, 6) && UsbDescTriple(format, 8) <= rate && rate <= UsbDescTriple(format, 11);
    }
    for (ULONG i = 0; count != 0 && i < count && !match; ++i) {
        match = UsbDescHas(format, 8 + 3 * i, 3) && UsbDescTriple(format, 8 + 3 * i) == rate;
    }
    return match;
}

BOOLEAN HasSamplingFrequencyControl(const UCHAR *csEndpoint)
{
    return (UsbDescByte(csEndpoint, 3) & 0x01) != 0;
}

} // namespace

ULONG CUSBAudioCL::EndpointPeriod(const UCHAR *endpoint) const
{
    ULONG interval = UsbDescByte(endpoint, 6);
    interval = interval == 0 ? 1 : (interval > 4 ? 4 : interval);
    return m_HighSpeed || m_IsUac2 ? 1u << (interval - 1) : 1;
}

ULONG CUSBAudioCL::EndpointBytesPerMs(const UCHAR *endpoint) const
{
    ULONG maxPacket = UsbDescWord(endpoint, 4);
    ULONG perInterval = (((maxPacket >> 11) & 3) + 1) * (maxPacket & 0x7FF);
    // A packet serves its whole period; the bytes of a millisecond follow from that.
    return m_HighSpeed ? perInterval * 8 / EndpointPeriod(endpoint) : (maxPacket & 0x7FF) / EndpointPeriod(endpoint);
}

NTSTATUS CUSBAudioCL::GetEndpointRate(UCHAR endpoint, PULONG rate)
{
    UCHAR data[3] = {};
    ULONG returned = 0;
    NTSTATUS status = ControlRequest(ENDPOINT_GET, UAC1_GET_CUR, endpoint, sizeof(data), data, &returned);
    if (NT_SUCCESS(status) && returned != sizeof(data)) {
        status = STATUS_UNSUCCESSFUL;
    }
    *rate = NT_SUCCESS(status) ? UsbReadLe24(data) : 0;
    return status;
}

NTSTATUS CUSBAudioCL::SetEndpointRate(UCHAR endpoint, ULONG rate)
{
    UCHAR data[3] = {static_cast<UCHAR>(rate), static_cast<UCHAR>(rate >> 8), static_cast<UCHAR>(rate >> 16)};
    return ControlRequest(ENDPOINT_SET, UAC1_SET_CUR, endpoint, sizeof(data), data);
}

NTSTATUS CUSBAudioCL::ConfirmCaptureRate(UCHAR endpoint, ULONG rate, BOOLEAN search)
{
    ULONG current = 0;
    NTSTATUS status = GetEndpointRate(endpoint, &current);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "  -> GET_CUR(Freq) failed.\n");
    } else if (search) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "  SearchStreamingFormat GET_CUR(Freq) = %lu\n",
                    current);
    } else {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "  SelectStreamingFormat[%s] GET_CUR(freq) = %lu\n",
                    TRACE_DIRECTION(TRUE), current);
    }
    if (NT_SUCCESS(status) && current != rate && (rate == RATE_44100 || rate == RATE_48000)) {
        if (search) {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "  SearchStreamingFormat SET_CUR(Freq) = %lu\n",
                        rate);
        } else {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE,
                        "  SelectStreamingFormat[%s] SET_CUR(Freq) = %lu\n", TRACE_DIRECTION(TRUE), rate);
        }
        status = SetEndpointRate(endpoint, rate);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "  -> SET_CUR(Freq) failed.\n");
        } else {
            status = GetEndpointRate(endpoint, &current);
        }
    }
    if (NT_SUCCESS(status) && current != rate) {
        status = STATUS_NOT_SUPPORTED;
    }
    return status;
}

BOOLEAN CUSBAudioCL::MatchUac2(const USB_ALTERNATE_SETTING &alternate, ULONG channels, ULONG bits)
{
    const UCHAR *general = alternate.AsGeneral;
    const UCHAR *format = alternate.FormatType;
    BOOLEAN match = UsbDescHas(general, 10, 1) && UsbDescHas(format, 5, 1) && general[5] == FORMAT_TYPE_I;
    if (match) {
        ULONG formats = UsbDescDword(general, 6);
        ULONG resolution = format[5];
        match = ((formats & UAC2_FORMAT_PCM) != 0 || (resolution == 8 && (formats & UAC2_FORMAT_PCM8) != 0)) &&
                general[10] == channels && resolution == bits &&
                // The stream carries packed samples of bits / 8 bytes: a wider subslot is not it.
                format[4] * 8u == bits;
    }
    return match;
}

NTSTATUS CUSBAudioCL::MatchUac1(USB_STREAMING_INTERFACE *record, ULONG index, ULONG channels, ULONG bits, ULONG rate)
{
    const USB_ALTERNATE_SETTING &alternate = record->Alternates[index];
    const UCHAR *general = alternate.AsGeneral;
    const UCHAR *format = alternate.FormatType;
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    if (UsbDescHas(general, 5, 2) && UsbDescHas(format, 7, 1) && format[3] == FORMAT_TYPE_I &&
        UsbDescWord(general, 5) == (format[6] == 8 ? UAC1_TAG_PCM8 : UAC1_TAG_PCM) && Uac1RateMatches(format, rate)) {
        status = STATUS_SUCCESS;
    }
    // A capture endpoint without a rate control that lists several rates runs at whatever rate
    // it has: the alternate is selected to read it, and set when the rate is one of the two
    // this driver moves it to.
    if (NT_SUCCESS(status) && Uac1RateCount(format) >= 2 && record->Direction == USB_STREAM_CAPTURE &&
        !HasSamplingFrequencyControl(alternate.CsEndpoint)) {
        ULONG previous = record->CurrentAlternate;
        status = SelectRecordAlternate(record, index);
        if (NT_SUCCESS(status)) {
            status = ConfirmCaptureRate(alternate.Endpoint[2], rate, TRUE);
        }
        NTSTATUS restored = SelectRecordAlternate(record, previous);
        status = NT_SUCCESS(status) ? restored : status;
    }
    if (NT_SUCCESS(status) && (format[4] != channels || format[6] != bits || UsbDescByte(format, 5) * 8u != bits)) {
        status = STATUS_NOT_SUPPORTED;
    }
    return status;
}

NTSTATUS CUSBAudioCL::SearchStreamingFormat(USB_STREAMING_INTERFACE *record, ULONG channels, ULONG bits, ULONG rate,
                                            PULONG alternate)
{
    NTSTATUS status = STATUS_SUCCESS;
    *alternate = 0;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "  SearchStreamingFormat ( %lu ch / %lu bps / %lu Hz)\n",
                channels, bits, rate);
    if (record == nullptr) {
        status = STATUS_NOT_SUPPORTED;
    } else if (channels == 0 || bits == 0 || rate == 0) {
        status = STATUS_SUCCESS;
    } else {
        if (m_IsUac2) {
            CUSBAudioClock *clock = record->Terminal != nullptr ? record->Terminal->GetClock() : nullptr;
            status = clock != nullptr ? clock->IsFrequencySupported(rate) : STATUS_NOT_SUPPORTED;
        }
        BOOLEAN found = FALSE;
        for (ULONG i = 1; NT_SUCCESS(status) && !found && i < record->AlternateCount; ++i) {
            const USB_ALTERNATE_SETTING &entry = record->Alternates[i];
            if (entry.Endpoint == nullptr || entry.AsGeneral == nullptr || entry.FormatType == nullptr) {
                continue;
            }
            found = m_IsUac2 ? MatchUac2(entry, channels, bits)
                             : NT_SUCCESS(MatchUac1(record, i, channels, bits, rate));
            if (found) {
                *alternate = i;
            }
        }
        if (NT_SUCCESS(status) && !found) {
            status = STATUS_NOT_SUPPORTED;
        }
    }
    return status;
}

NTSTATUS CUSBAudioCL::IsFormatSupported(ULONG direction, ULONG channels, ULONG bits, ULONG rate)
{
    ULONG alternate = 0;
    return SearchStreamingFormat(GetStreamingInterface(direction), channels, bits, rate, &alternate);
}

NTSTATUS CUSBAudioCL::SetUac1Rate(USB_STREAMING_INTERFACE *record, ULONG rate)
{
    NTSTATUS status = STATUS_SUCCESS;
    const USB_ALTERNATE_SETTING &entry = record->Alternates[record->CurrentAlternate];
    if (Uac1RateCount(entry.FormatType) != 1) {
        if (HasSamplingFrequencyControl(entry.CsEndpoint)) {
            status = SetEndpointRate(entry.Endpoint[2], rate);
            if (!NT_SUCCESS(status)) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "  -> SET_CUR(Freq) failed.\n");
            }
        } else if (record->Direction == USB_STREAM_CAPTURE) {
            status = ConfirmCaptureRate(entry.Endpoint[2], rate, FALSE);
        }
    }
    return status;
}

NTSTATUS CUSBAudioCL::SelectStreamingFormat(ULONG direction, ULONG channels, ULONG bits, ULONG rate,
                                            ULONG milliseconds, PULONG bytesPerTransfer)
{
    NTSTATUS status = STATUS_SUCCESS;
    USB_STREAMING_INTERFACE *record = GetStreamingInterface(direction);
    BOOLEAN withFormat = channels != 0 && bits != 0 && rate != 0;
    const USB_PACKET_PATTERN_ROW *row = nullptr;
    ULONG alternate = 0;
    *bytesPerTransfer = 0;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE,
                "  SelectStreamingFormat[%s] ( %lu ch / %lu bps / %lu Hz)\n", TRACE_DIRECTION(direction != 0), channels,
                bits, rate);
    if (record == nullptr) {
        status = STATUS_NOT_SUPPORTED;
    } else if (direction == 0 && withFormat) {
        row = UsbFindPacketPattern(rate);
        if (row == nullptr) {
            status = STATUS_NOT_SUPPORTED;
        }
    }
    if (NT_SUCCESS(status)) {
        status = SearchStreamingFormat(record, channels, bits, rate, &alternate);
    }
    ULONG bytesPerFrame = channels * (bits / 8);
    ULONG factor = 1;
    if (NT_SUCCESS(status) && row != nullptr) {
        // Every packet of the pattern must fit the endpoint: a rate whose packets do not is
        // not offered by this alternate.
        const UCHAR *endpoint = record->Alternates[alternate].Endpoint;
        factor = EndpointPeriod(endpoint);
        ULONG length = m_HighSpeed ? row->HighSpeedLength : row->FullSpeedLength;
        const ULONG *entries = m_HighSpeed ? row->HighSpeedEntries : row->FullSpeedEntries;
        ULONG largest = 0;
        for (ULONG start = 0; start < length; ++start) {
            ULONG frames = 0;
            for (ULONG k = 0; k < factor; ++k) {
                frames += entries[(start + k) % length];
            }
            largest = frames > largest ? frames : largest;
        }
        ULONG maxPacket = UsbDescWord(endpoint, 4);
        ULONG capacity = m_HighSpeed ? (((maxPacket >> 11) & 3) + 1) * (maxPacket & 0x7FF) : (maxPacket & 0x7FF);
        if (largest * bytesPerFrame > capacity) {
            status = STATUS_NOT_SUPPORTED;
        }
    }
    if (NT_SUCCESS(status) && m_IsUac2 && withFormat) {
        CUSBAudioClock *clock = record->Terminal != nullptr ? record->Terminal->GetClock() : nullptr;
        status = clock != nullptr ? clock->SetFrequency(rate) : STATUS_NOT_SUPPORTED;
    }
    if (NT_SUCCESS(status)) {
        status = SelectRecordAlternate(record, alternate);
    }
    if (NT_SUCCESS(status) && !m_IsUac2 && withFormat) {
        status = SetUac1Rate(record, rate);
    }
    if (NT_SUCCESS(status) && withFormat) {
        record->BytesPerFrame = bytesPerFrame;
        if (direction == 0) {
            m_pRenderPattern = row;
            m_RenderPatternPosition = 0;
            m_RenderIntervalFactor = factor;
        }
        *bytesPerTransfer = milliseconds * EndpointBytesPerMs(record->Alternates[alternate].Endpoint);
    } else if (record != nullptr) {
        record->BytesPerFrame = 0;
        if (direction == 0) {
            m_pRenderPattern = nullptr;
            m_RenderPatternPosition = 0;
            m_RenderIntervalFactor = 1;
        }
    }
    return status;
}

NTSTATUS CUSBAudioCL::GetFormatRange(ULONG direction, PULONG maxChannels, PULONG minBits, PULONG maxBits,
                                     PULONG minRate, PULONG maxRate)
{
    NTSTATUS status = STATUS_SUCCESS;
    USB_STREAMING_INTERFACE *record = GetStreamingInterface(direction);
    ULONG channels = 0;
    ULONG lowBits = 0xFFFFFFFF;
    ULONG highBits = 0;
    ULONG lowRate = 0xFFFFFFFF;
    ULONG highRate = 0;
    for (ULONG i = 1; record != nullptr && i < record->AlternateCount; ++i) {
        const USB_ALTERNATE_SETTING &entry = record->Alternates[i];
        const UCHAR *general = entry.AsGeneral;
        const UCHAR *format = entry.FormatType;
        ULONG nrChannels = 0;
        ULONG resolution = 0;
        if (entry.Endpoint == nullptr || general == nullptr || format == nullptr) {
            continue;
        }
        if (m_IsUac2 && UsbDescHas(general, 10, 1) && UsbDescHas(format, 5, 1) && general[5] == FORMAT_TYPE_I) {
            nrChannels = general[10];
            resolution = format[5];
        } else if (!m_IsUac2 && UsbDescHas(format, 7, 1) && format[3] == FORMAT_TYPE_I) {
            nrChannels = format[4];
            resolution = format[6];
            ULONG count = Uac1RateCount(format);
            for (ULONG r = 0; r < (count == 0 ? 2 : count); ++r) {
                if (UsbDescHas(format, 8 + 3 * r, 3)) {
                    ULONG value = UsbDescTriple(format, 8 + 3 * r);
                    lowRate = value < lowRate ? value : lowRate;
                    highRate = value > highRate ? value : highRate;
                }
            }
        }
        if (nrChannels != 0 && resolution != 0) {
            channels = nrChannels > channels ? nrChannels : channels;
            lowBits = resolution < lowBits ? resolution : lowBits;
            highBits = resolution > highBits ? resolution : highBits;
        }
    }
    if (channels == 0) {
        status = STATUS_NOT_SUPPORTED;
    } else if (m_IsUac2) {
        CUSBAudioClock *clock = record->Terminal != nullptr ? record->Terminal->GetClock() : nullptr;
        status = clock != nullptr ? clock->GetFrequencyRange(&lowRate, &highRate) : STATUS_NOT_SUPPORTED;
    } else if (highRate == 0) {
        status = STATUS_NOT_SUPPORTED;
    }
    *maxChannels = NT_SUCCESS(status) ? channels : 0;
    *minBits = NT_SUCCESS(status) ? lowBits : 0;
    *maxBits = NT_SUCCESS(status) ? highBits : 0;
    *minRate = NT_SUCCESS(status) ? lowRate : 0;
    *maxRate = NT_SUCCESS(status) ? highRate : 0;
    return status;
}
