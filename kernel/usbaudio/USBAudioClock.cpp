// Clock source and clock selector requests: current frequency, RANGE parsing, validity, and
// the selector's forwarding to the clocks behind its pins (bounded against selector cycles).
#include "USBAudioClock.h"
#include "USBAudioCL.h"
#include "UsbAudioPoolTags.h"
#include "UsbAudioTrace.h"
#include "UsbDescriptor.h"

namespace {

constexpr UCHAR CS_SAM_FREQ_CONTROL = 0x01;
constexpr UCHAR CS_CLOCK_VALID_CONTROL = 0x02;
constexpr UCHAR CX_CLOCK_SELECTOR_CONTROL = 0x01;
// The most triplets whose 2 + 12 n bytes fit a 16-bit request length.
constexpr ULONG MAX_SUB_RANGES = 5461;
constexpr ULONG RANGE_PROBE_LENGTH = 16;

struct RANGE_TRIPLET {
    ULONG Min;
    ULONG Max;
    ULONG Res;
};

RANGE_TRIPLET ReadTriplet(const UCHAR *range, ULONG index)
{
    const UCHAR *p = range + 2 + 12 * index;
    return {UsbReadLe32(p), UsbReadLe32(p + 4), UsbReadLe32(p + 8)};
}

} // namespace

NTSTATUS CUSBAudioClock::GetFrequency(PULONG frequency)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "clock %u\n", GetID());
    return GetFrequencyAt(frequency, 0);
}

NTSTATUS CUSBAudioClock::GetFrequencyRange(PULONG minimum, PULONG maximum, ULONG lower, ULONG upper)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "clock %u: bounds %lu..%lu\n", GetID(), lower, upper);
    return GetFrequencyRangeAt(minimum, maximum, lower, upper, 0);
}

NTSTATUS CUSBAudioClock::IsFrequencySupported(ULONG rate)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "clock %u: %lu Hz\n", GetID(), rate);
    return IsFrequencySupportedAt(rate, 0);
}

NTSTATUS CUSBAudioClock::SetFrequency(ULONG rate)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "clock %u: %lu Hz\n", GetID(), rate);
    return SetFrequencyAt(rate, 0);
}

BOOLEAN CUSBAudioClock::IsValid()
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "clock %u\n", GetID());
    return IsValidAt(0);
}

NTSTATUS CUSBAudioClock::InitClock()
{
    NTSTATUS status = STATUS_SUCCESS;
    if (!m_pAudio->IsUac2()) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "clock %u on a revision 1 device\n", GetID());
        status = STATUS_NOT_SUPPORTED;
    }
    return status;
}

NTSTATUS CUSBAudioClock::Request(UCHAR requestType, UCHAR request, UCHAR control, ULONG length, PVOID buffer,
                                 PULONG returned)
{
    return m_pAudio->ClassRequest(requestType, request, control, 0, GetID(), static_cast<USHORT>(length), buffer,
                                  returned);
}

NTSTATUS CUSBAudioClockSource::Init()
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "clock source %u\n", GetID());
    return InitClock();
}

NTSTATUS CUSBAudioClockSource::GetName(PCHAR buffer, SIZE_T size)
{
    return FormatName("ClockSource", buffer, size);
}

LONG CUSBAudioClockSource::GetSourceID(ULONG index)
{
    return -1;
}

NTSTATUS CUSBAudioClockSource::GetFrequencyAt(PULONG frequency, ULONG depth)
{
    UCHAR value[4] = {};
    NTSTATUS status = Request(UAC_REQTYPE_GET, UAC2_REQUEST_CUR, CS_SAM_FREQ_CONTROL, sizeof(value), value, nullptr);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "clock %u: GET CUR failed 0x%08X\n", GetID(), status);
    } else {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "clock %u runs at %lu Hz\n", GetID(),
                    UsbReadLe32(value));
        if (frequency != nullptr) {
            *frequency = UsbReadLe32(value);
        }
    }
    return status;
}

NTSTATUS CUSBAudioClockSource::SetFrequencyAt(ULONG rate, ULONG depth)
{
    UCHAR value[4];
    UsbWriteLe32(value, rate);
    NTSTATUS status = Request(UAC_REQTYPE_SET, UAC2_REQUEST_CUR, CS_SAM_FREQ_CONTROL, sizeof(value), value, nullptr);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "clock %u: SET CUR %lu Hz failed 0x%08X\n", GetID(), rate,
                    status);
    }
    return status;
}

NTSTATUS CUSBAudioClockSource::ReadRange(PUCHAR *range, PULONG count)
{
    UCHAR probe[RANGE_PROBE_LENGTH] = {};
    PUCHAR buffer = nullptr;
    ULONG subRanges = 0;
    NTSTATUS status = Request(UAC_REQTYPE_GET, UAC2_REQUEST_RANGE, CS_SAM_FREQ_CONTROL, sizeof(probe), probe, nullptr);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "clock %u: GET RANGE failed 0x%08X\n", GetID(), status);
    } else {
        subRanges = UsbReadLe16(probe);
        if (subRanges > MAX_SUB_RANGES) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE,
                        "clock %u: %lu sub-ranges (%lu bytes) do not fit a request\n", GetID(), subRanges,
                        2 + 12 * subRanges);
            status = STATUS_UNSUCCESSFUL;
        }
    }
    if (NT_SUCCESS(status)) {
        ULONG length = 2 + 12 * subRanges;
        buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(CUSBCL::PoolType(), length, USBAUDIO_TAG));
        if (buffer == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "clock %u: no memory for %lu bytes of RANGE\n", GetID(),
                        length);
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlZeroMemory(buffer, length);
            ULONG returned = 0;
            status = Request(UAC_REQTYPE_GET, UAC2_REQUEST_RANGE, CS_SAM_FREQ_CONTROL, length, buffer, &returned);
            if (!NT_SUCCESS(status)) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "clock %u: GET RANGE of %lu bytes failed 0x%08X\n",
                            GetID(), length, status);
            }
            // Only triplets the device actually returned are used.
            ULONG whole = returned >= 2 ? (returned - 2) / 12 : 0;
            subRanges = whole < subRanges ? whole : subRanges;
        }
    }
    if (NT_SUCCESS(status)) {
        *range = buffer;
        *count = subRanges;
    } else if (buffer != nullptr) {
        ExFreePoolWithTag(buffer, USBAUDIO_TAG);
    }
    return status;
}

NTSTATUS CUSBAudioClockSource::GetFrequencyRangeAt(PULONG minimum, PULONG maximum, ULONG lower, ULONG upper,
                                                   ULONG depth)
{
    PUCHAR range = nullptr;
    ULONG count = 0;
    *minimum = 0;
    *maximum = 0;
    NTSTATUS status = ReadRange(&range, &count);
    if (NT_SUCCESS(status)) {
        // Only sub-ranges that overlap the bounds count, and the result is clipped to them.
        BOOLEAN found = FALSE;
        ULONG low = 0;
        ULONG high = 0;
        for (ULONG i = 0; i < count; ++i) {
            RANGE_TRIPLET t = ReadTriplet(range, i);
            TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_DEVICE, "clock %u: range %lu..%lu step %lu\n",
                        GetID(), t.Min, t.Max, t.Res);
            if (t.Min > t.Max || t.Max < lower || t.Min > upper) {
                continue;
            }
            if (!found || t.Min < low) {
                low = t.Min;
            }
            if (!found || t.Max > high) {
                high = t.Max;
            }
            found = TRUE;
        }
        if (found) {
            *minimum = low > lower ? low : lower;
            *maximum = high < upper ? high : upper;
        }
        ExFreePoolWithTag(range, USBAUDIO_TAG);
    }
    return status;
}

NTSTATUS CUSBAudioClockSource::IsFrequencySupportedAt(ULONG rate, ULONG depth)
{
    PUCHAR range = nullptr;
    ULONG count = 0;
    NTSTATUS status = ReadRange(&range, &count);
    if (NT_SUCCESS(status)) {
        status = STATUS_NOT_SUPPORTED;
        for (ULONG i = 0; i < count; ++i) {
            RANGE_TRIPLET t = ReadTriplet(range, i);
            if (rate < t.Min || rate > t.Max) {
                continue;
            }
            // A continuous range without a step still offers its two ends.
            if (t.Min == t.Max || rate == t.Min || rate == t.Max || (t.Res != 0 && (rate - t.Min) % t.Res == 0)) {
                TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE,
                            "clock %u: %lu Hz taken by %lu..%lu step %lu (%s)\n", GetID(), rate, t.Min, t.Max, t.Res,
                            t.Min == t.Max ? "one rate" : (rate == t.Min || rate == t.Max ? "an end" : "a step"));
                status = STATUS_SUCCESS;
                break;
            }
        }
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "clock %u: %lu Hz in none of %lu sub-ranges\n",
                        GetID(), rate, count);
        }
        ExFreePoolWithTag(range, USBAUDIO_TAG);
    }
    return status;
}

BOOLEAN CUSBAudioClockSource::IsValidAt(ULONG depth)
{
    BOOLEAN valid = TRUE;
    if ((UsbDescByte(m_pDescriptor, 5) & 0x04) != 0) {
        UCHAR value = 0;
        NTSTATUS status = Request(UAC_REQTYPE_GET, UAC2_REQUEST_CUR, CS_CLOCK_VALID_CONTROL, 1, &value, nullptr);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "clock %u: validity request failed 0x%08X\n",
                        GetID(), status);
        }
        valid = NT_SUCCESS(status) && value != 0;
    }
    return valid;
}

NTSTATUS CUSBAudioClockSelector::Init()
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "clock selector %u\n", GetID());
    return InitClock();
}

NTSTATUS CUSBAudioClockSelector::GetName(PCHAR buffer, SIZE_T size)
{
    return FormatName("ClockSelector", buffer, size);
}

ULONG CUSBAudioClockSelector::GetPinCount() const
{
    return UsbDescByte(m_pDescriptor, 4);
}

LONG CUSBAudioClockSelector::GetSourceID(ULONG index)
{
    return index < GetPinCount() && UsbDescHas(m_pDescriptor, 5 + index, 1) ? m_pDescriptor[5 + index] : -1;
}

CUSBAudioClock *CUSBAudioClockSelector::PinClock(ULONG pin)
{
    LONG id = GetSourceID(pin);
    CUSBAudioClock *clock = id > 0 ? m_pAudio->FindClock(static_cast<UCHAR>(id)) : nullptr;
    if (clock == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "clock selector %u: pin %lu names no clock (%ld)\n", GetID(),
                    pin + 1, id);
    }
    return clock;
}

BOOLEAN CUSBAudioClockSelector::DepthAllowed(ULONG depth)
{
    BOOLEAN allowed = depth < USBAUDIO_MAX_CLOCK_DEPTH;
    if (!allowed) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "clock selector %u: more than %lu selectors in a chain\n",
                    GetID(), USBAUDIO_MAX_CLOCK_DEPTH);
    }
    return allowed;
}

NTSTATUS CUSBAudioClockSelector::GetCurrentPin(PULONG pin)
{
    NTSTATUS status = STATUS_SUCCESS;
    ULONG pins = GetPinCount();
    if (pins == 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "clock selector %u has no input pins\n", GetID());
        status = STATUS_UNSUCCESSFUL;
    } else if (pins == 1) {
        *pin = 0;
    } else {
        UCHAR number = 0;
        status = Request(UAC_REQTYPE_GET, UAC2_REQUEST_CUR, CX_CLOCK_SELECTOR_CONTROL, 1, &number, nullptr);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "clock selector %u: GET CUR failed 0x%08X\n", GetID(),
                        status);
        } else {
            if (number == 0 || number > pins) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "clock selector %u answered pin %u of %lu\n",
                            GetID(), number, pins);
                status = STATUS_UNSUCCESSFUL;
            } else {
                *pin = number - 1u;
            }
        }
    }
    return status;
}

NTSTATUS CUSBAudioClockSelector::GetFrequencyAt(PULONG frequency, ULONG depth)
{
    ULONG pin = 0;
    NTSTATUS status = DepthAllowed(depth) ? GetCurrentPin(&pin) : STATUS_NOT_SUPPORTED;
    if (NT_SUCCESS(status)) {
        CUSBAudioClock *clock = PinClock(pin);
        status = clock != nullptr ? clock->GetFrequencyAt(frequency, depth + 1) : STATUS_NOT_SUPPORTED;
    }
    return status;
}

// Every pin is asked and the answers of those that reply are kept: an external clock with
// nothing connected fails its request, and the range of the other pins still stands. The
// result is success when any pin replied, else the last pin's failure; a pin naming no clock
// fails at once.
NTSTATUS CUSBAudioClockSelector::GetFrequencyRangeAt(PULONG minimum, PULONG maximum, ULONG lower, ULONG upper,
                                                     ULONG depth)
{
    NTSTATUS status = DepthAllowed(depth) ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
    NTSTATUS last = STATUS_SUCCESS;
    BOOLEAN replied = FALSE;
    *minimum = 0;
    *maximum = 0;
    for (ULONG pin = 0; NT_SUCCESS(status) && pin < GetPinCount(); ++pin) {
        CUSBAudioClock *clock = PinClock(pin);
        if (clock == nullptr) {
            status = STATUS_NOT_SUPPORTED;
            break;
        }
        ULONG pinMin = 0;
        ULONG pinMax = 0;
        last = clock->GetFrequencyRangeAt(&pinMin, &pinMax, lower, upper, depth + 1);
        if (!NT_SUCCESS(last)) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_DEVICE, "clock selector %u: pin %lu has no range (0x%08X)\n",
                        GetID(), pin + 1, last);
            continue;
        }
        replied = TRUE;
        // A pin whose clock offers nothing inside the bounds does not widen the result.
        if (pinMin == 0 && pinMax == 0) {
            continue;
        }
        if (*minimum == 0 || *minimum > pinMin) {
            *minimum = pinMin;
        }
        if (*maximum == 0 || *maximum < pinMax) {
            *maximum = pinMax;
        }
    }
    if (NT_SUCCESS(status) && !replied) {
        status = last;
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "clock selector %u: no pin has a range (0x%08X)\n",
                        GetID(), status);
        }
    }
    return status;
}

NTSTATUS CUSBAudioClockSelector::IsFrequencySupportedAt(ULONG rate, ULONG depth)
{
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    ULONG pins = DepthAllowed(depth) ? GetPinCount() : 0;
    for (ULONG pin = 0; pin < pins; ++pin) {
        CUSBAudioClock *clock = PinClock(pin);
        if (clock == nullptr) {
            status = STATUS_NOT_SUPPORTED;
            break;
        }
        status = clock->IsFrequencySupportedAt(rate, depth + 1);
        if (NT_SUCCESS(status)) {
            break;
        }
    }
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE,
                    "clock selector %u: %lu Hz on none of %lu pins (0x%08X)\n", GetID(), rate, pins, status);
    }
    return status;
}

NTSTATUS CUSBAudioClockSelector::SetFrequencyAt(ULONG rate, ULONG depth)
{
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    ULONG pins = DepthAllowed(depth) ? GetPinCount() : 0;
    for (ULONG pin = 0; pin < pins; ++pin) {
        CUSBAudioClock *clock = PinClock(pin);
        if (clock == nullptr) {
            status = STATUS_NOT_SUPPORTED;
            break;
        }
        status = clock->IsFrequencySupportedAt(rate, depth + 1);
        if (NT_SUCCESS(status)) {
            status = clock->SetFrequencyAt(rate, depth + 1);
        }
        // A selector with one input has nothing to switch.
        if (NT_SUCCESS(status) && pins > 1) {
            UCHAR number = static_cast<UCHAR>(pin + 1);
            status = Request(UAC_REQTYPE_SET, UAC2_REQUEST_CUR, CX_CLOCK_SELECTOR_CONTROL, 1, &number, nullptr);
            if (!NT_SUCCESS(status)) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "clock selector %u: SET CUR pin %u failed 0x%08X\n",
                            GetID(), number, status);
            }
        }
        if (NT_SUCCESS(status)) {
            break;
        }
    }
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "clock selector %u: no pin took %lu Hz (0x%08X)\n", GetID(),
                    rate, status);
    }
    return status;
}

BOOLEAN CUSBAudioClockSelector::IsValidAt(ULONG depth)
{
    ULONG pin = 0;
    BOOLEAN valid = FALSE;
    if (DepthAllowed(depth) && NT_SUCCESS(GetCurrentPin(&pin))) {
        CUSBAudioClock *clock = PinClock(pin);
        valid = clock != nullptr && clock->IsValidAt(depth + 1);
    }
    return valid;
}
