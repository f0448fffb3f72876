// Clock entities: sampling-frequency CUR and RANGE requests of a clock source, and a clock
// selector that forwards each operation to the clocks behind its input pins.
#include "USBAudioClock.h"
#include "StdPoolTags.h"
#include "USBAudioCL.h"
#include "UsbDescriptor.h"
#include "StdTrace.h"

namespace {

constexpr UCHAR CLOCK_GET = 0xA1;
constexpr UCHAR CLOCK_SET = 0x21;
constexpr UCHAR REQUEST_CUR = 0x01;
constexpr UCHAR REQUEST_RANGE = 0x02;
constexpr ULONG SUBRANGE_BYTES = 12;
// The most subranges a RANGE answer of at most 65535 bytes can hold.
constexpr ULONG MAX_SUBRANGES = 5461;
// Offsets in a clock selector descriptor.
constexpr ULONG SELECTOR_PIN_COUNT = 4;
constexpr ULONG SELECTOR_PINS = 5;

// Forwards to a clock at a depth: selectors carry the depth on, sources ignore it.
NTSTATUS ForwardGetFrequency(CUSBAudioClock *clock, PULONG frequency, ULONG depth)
{
    return clock->GetSubtype() == UAC2_AC_CLOCK_SELECTOR
               ? static_cast<CUSBAudioClockSelector *>(clock)->GetFrequencyAt(frequency, depth)
               : clock->GetFrequency(frequency);
}

NTSTATUS ForwardGetRange(CUSBAudioClock *clock, PULONG minimum, PULONG maximum, ULONG depth)
{
    return clock->GetSubtype() == UAC2_AC_CLOCK_SELECTOR
               ? static_cast<CUSBAudioClockSelector *>(clock)->GetFrequencyRangeAt(minimum, maximum, depth)
               : clock->GetFrequencyRange(minimum, maximum);
}

NTSTATUS ForwardIsSupported(CUSBAudioClock *clock, ULONG rate, ULONG depth)
{
    return clock->GetSubtype() == UAC2_AC_CLOCK_SELECTOR
               ? static_cast<CUSBAudioClockSelector *>(clock)->IsFrequencySupportedAt(rate, depth)
               : clock->IsFrequencySupported(rate);
}

NTSTATUS ForwardSetFrequency(CUSBAudioClock *clock, ULONG rate, ULONG depth)
{
    return clock->GetSubtype() == UAC2_AC_CLOCK_SELECTOR
               ? static_cast<CUSBAudioClockSelector *>(clock)->SetFrequencyAt(rate, depth)
               : clock->SetFrequency(rate);
}

} // namespace

NTSTATUS CUSBAudioClock::Init()
{
    if (!m_pAudio->IsUac2()) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "clock %u on a revision 1 device\n", GetID());
    }
    return m_pAudio->IsUac2() ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
}

NTSTATUS CUSBAudioClock::Request(UCHAR requestType, UCHAR request, USHORT length, PVOID buffer, PULONG returned)
{
    USHORT index = static_cast<USHORT>((GetID() << 8) | m_pAudio->GetAcInterfaceNumber());
    return m_pAudio->ControlRequest(requestType, request, index, length, buffer, returned);
}

NTSTATUS CUSBAudioClockSource::GetFrequency(PULONG frequency)
{
    UCHAR data[4] = {};
    ULONG returned = 0;
    NTSTATUS status = Request(CLOCK_GET, REQUEST_CUR, sizeof(data), data, &returned);
    if (NT_SUCCESS(status) && returned != sizeof(data)) {
        status = STATUS_UNSUCCESSFUL;
    }
    *frequency = NT_SUCCESS(status) ? UsbReadLe32(data) : 0;
    return status;
}

NTSTATUS CUSBAudioClockSource::SetFrequency(ULONG rate)
{
    UCHAR data[4];
    UsbWriteLe32(data, rate);
    NTSTATUS status = Request(CLOCK_SET, REQUEST_CUR, sizeof(data), data, nullptr);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "clock %u: SET CUR %lu Hz failed 0x%08X\n", GetID(), rate,
                    status);
    }
    return status;
}

NTSTATUS CUSBAudioClockSource::ReadRange(PUCHAR *range, PULONG count)
{
    UCHAR head[2] = {};
    ULONG returned = 0;
    PUCHAR block = nullptr;
    *range = nullptr;
    *count = 0;
    NTSTATUS status = Request(CLOCK_GET, REQUEST_RANGE, sizeof(head), head, &returned);
    ULONG subranges = UsbReadLe16(head);
    if (NT_SUCCESS(status) && returned != sizeof(head)) {
        status = STATUS_UNSUCCESSFUL;
    } else if (NT_SUCCESS(status) && subranges > MAX_SUBRANGES) {
        status = STATUS_UNSUCCESSFUL;
    } else if (NT_SUCCESS(status) && subranges == 0) {
        status = STATUS_NOT_SUPPORTED;
    }
    ULONG length = 2 + SUBRANGE_BYTES * subranges;
    if (NT_SUCCESS(status)) {
        block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, length, STD_TAG));
        if (block == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlZeroMemory(block, length);
            status = Request(CLOCK_GET, REQUEST_RANGE, static_cast<USHORT>(length), block, &returned);
        }
    }
    if (NT_SUCCESS(status)) {
        // Only whole subranges that both the count and the answer cover are used.
        ULONG answered = returned >= 2 ? (returned - 2) / SUBRANGE_BYTES : 0;
        *count = answered < subranges ? answered : subranges;
        if (*count == 0) {
            status = STATUS_NOT_SUPPORTED;
        }
    }
    if (!NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "clock %u: RANGE of %lu subranges failed 0x%08X\n", GetID(),
                    subranges, status);
    }
    if (NT_SUCCESS(status)) {
        *range = block;
    } else if (block != nullptr) {
        ExFreePoolWithTag(block, STD_TAG);
    }
    return status;
}

NTSTATUS CUSBAudioClockSource::GetFrequencyRange(PULONG minimum, PULONG maximum)
{
    PUCHAR range = nullptr;
    ULONG count = 0;
    NTSTATUS status = ReadRange(&range, &count);
    ULONG low = 0xFFFFFFFF;
    ULONG high = 0;
    for (ULONG i = 0; NT_SUCCESS(status) && i < count; ++i) {
        const UCHAR *subrange = range + 2 + i * SUBRANGE_BYTES;
        ULONG dMin = UsbReadLe32(subrange);
        ULONG dMax = UsbReadLe32(subrange + 4);
        low = dMin < low ? dMin : low;
        high = dMax > high ? dMax : high;
    }
    *minimum = NT_SUCCESS(status) ? low : 0;
    *maximum = NT_SUCCESS(status) ? high : 0;
    if (range != nullptr) {
        ExFreePoolWithTag(range, STD_TAG);
    }
    return status;
}

NTSTATUS CUSBAudioClockSource::IsFrequencySupported(ULONG rate)
{
    PUCHAR range = nullptr;
    ULONG count = 0;
    NTSTATUS status = ReadRange(&range, &count);
    if (NT_SUCCESS(status)) {
        status = STATUS_NOT_SUPPORTED;
        for (ULONG i = 0; i < count; ++i) {
            const UCHAR *subrange = range + 2 + i * SUBRANGE_BYTES;
            ULONG dMin = UsbReadLe32(subrange);
            ULONG dMax = UsbReadLe32(subrange + 4);
            ULONG dRes = UsbReadLe32(subrange + 8);
            if (dMin <= rate && rate <= dMax && (dMin == dMax || (dRes != 0 && (rate - dMin) % dRes == 0))) {
                status = STATUS_SUCCESS;
                break;
            }
        }
    }
    if (range != nullptr) {
        ExFreePoolWithTag(range, STD_TAG);
    }
    return status;
}

ULONG CUSBAudioClockSelector::PinCount() const
{
    return UsbDescByte(m_pDescriptor, SELECTOR_PIN_COUNT);
}

CUSBAudioClock *CUSBAudioClockSelector::PinClock(ULONG pin)
{
    CUSBAudioClock *clock = nullptr;
    if (pin >= 1 && pin <= PinCount() && UsbDescHas(m_pDescriptor, SELECTOR_PINS + pin - 1, 1)) {
        clock = m_pAudio->FindClock(m_pDescriptor[SELECTOR_PINS + pin - 1]);
    }
    return clock;
}

NTSTATUS CUSBAudioClockSelector::GetFrequency(PULONG frequency)
{
    return GetFrequencyAt(frequency, 0);
}

NTSTATUS CUSBAudioClockSelector::GetFrequencyRange(PULONG minimum, PULONG maximum)
{
    return GetFrequencyRangeAt(minimum, maximum, 0);
}

NTSTATUS CUSBAudioClockSelector::IsFrequencySupported(ULONG rate)
{
    return IsFrequencySupportedAt(rate, 0);
}

NTSTATUS CUSBAudioClockSelector::SetFrequency(ULONG rate)
{
    return SetFrequencyAt(rate, 0);
}

NTSTATUS CUSBAudioClockSelector::GetFrequencyAt(PULONG frequency, ULONG depth)
{
    UCHAR pin = 0;
    ULONG returned = 0;
    *frequency = 0;
    NTSTATUS status = depth < USB_CLOCK_MAX_DEPTH ? Request(CLOCK_GET, REQUEST_CUR, sizeof(pin), &pin, &returned)
                                                  : STATUS_NOT_SUPPORTED;
    if (NT_SUCCESS(status) && returned != sizeof(pin)) {
        status = STATUS_UNSUCCESSFUL;
    }
    if (NT_SUCCESS(status)) {
        CUSBAudioClock *clock = PinClock(pin);
        status = clock != nullptr ? ForwardGetFrequency(clock, frequency, depth + 1) : STATUS_NOT_SUPPORTED;
    }
    return status;
}

NTSTATUS CUSBAudioClockSelector::GetFrequencyRangeAt(PULONG minimum, PULONG maximum, ULONG depth)
{
    NTSTATUS status = depth < USB_CLOCK_MAX_DEPTH && PinCount() != 0 ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
    ULONG low = 0xFFFFFFFF;
    ULONG high = 0;
    for (ULONG pin = 1; NT_SUCCESS(status) && pin <= PinCount(); ++pin) {
        CUSBAudioClock *clock = PinClock(pin);
        if (clock == nullptr) {
            status = STATUS_NOT_SUPPORTED;
            break;
        }
        ULONG pinLow = 0;
        ULONG pinHigh = 0;
        status = ForwardGetRange(clock, &pinLow, &pinHigh, depth + 1);
        if (NT_SUCCESS(status)) {
            low = pinLow < low ? pinLow : low;
            high = pinHigh > high ? pinHigh : high;
        } else if (pin < PinCount()) {
            // The last input's request decides the result; earlier failures only leave their
            // range out.
            status = STATUS_SUCCESS;
        }
    }
    BOOLEAN found = NT_SUCCESS(status) && high != 0;
    if (NT_SUCCESS(status) && !found) {
        status = STATUS_NOT_SUPPORTED;
    }
    *minimum = found ? low : 0;
    *maximum = found ? high : 0;
    return status;
}

NTSTATUS CUSBAudioClockSelector::IsFrequencySupportedAt(ULONG rate, ULONG depth)
{
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    for (ULONG pin = 1; depth < USB_CLOCK_MAX_DEPTH && pin <= PinCount(); ++pin) {
        CUSBAudioClock *clock = PinClock(pin);
        if (clock == nullptr) {
            status = STATUS_NOT_SUPPORTED;
            break;
        }
        status = ForwardIsSupported(clock, rate, depth + 1);
        if (NT_SUCCESS(status)) {
            break;
        }
    }
    return status;
}

NTSTATUS CUSBAudioClockSelector::SetFrequencyAt(ULONG rate, ULONG depth)
{
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    for (ULONG pin = 1; depth < USB_CLOCK_MAX_DEPTH && pin <= PinCount(); ++pin) {
        CUSBAudioClock *clock = PinClock(pin);
        if (clock == nullptr) {
            status = STATUS_NOT_SUPPORTED;
            break;
        }
        status = ForwardIsSupported(clock, rate, depth + 1);
        if (NT_SUCCESS(status)) {
            status = ForwardSetFrequency(clock, rate, depth + 1);
        }
        if (NT_SUCCESS(status)) {
            UCHAR selected = static_cast<UCHAR>(pin);
            status = Request(CLOCK_SET, REQUEST_CUR, sizeof(selected), &selected, nullptr);
        }
        if (NT_SUCCESS(status)) {
            break;
        }
    }
    return status;
}
