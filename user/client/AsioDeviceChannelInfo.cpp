// The latencies and channel names a device channel reports to the ASIO driver, from general
// formulas or from the override table of named devices.
#include "AsioDeviceChannel.h"
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

// Output latency without an override: a fixed device and transfer delay plus a share of the
// host buffer, measured separately at 44100 Hz and at the other rates.
DWORD DefaultOutputLatency(DWORD Frames, DWORD Rate)
{
    const double latency = Rate == 44100 ? Frames * 1.2838 + 719.97 + 0.5 : Frames * 1.3112 + 750.24 + 0.5;
    return (DWORD)latency;
}

DWORD ClampToDword(LONGLONG Value)
{
    if (Value < 0) {
        return 0;
    }
    return Value > 0xFFFFFFFFLL ? 0xFFFFFFFFu : (DWORD)Value;
}

// Wide text to at most Capacity - 1 bytes of 8-bit text, always terminated; characters outside
// ASCII become '?', as the C locale cannot represent them.
void NarrowBounded(LPCWSTR Source, CHAR *Target, size_t Capacity)
{
    size_t used = 0;
    for (; Source != nullptr && Source[used] != L'\0' && used + 1 < Capacity; ++used) {
        const WCHAR c = Source[used];
        // Unsigned, since WCHAR is signed on some platforms and unsigned on others.
        Target[used] = (DWORD)c < 0x80 ? (CHAR)c : '?';
    }
    Target[used] = '\0';
}

bool IsNamePrefixCharacter(CHAR c)
{
    return (c >= '0' && c <= '9') || c == '-' || c == ' ';
}

const size_t ChannelNameBytes = 32;
const size_t LongNameKeep = 21;

} // namespace

std::span<const AsioLatencyOverride> AsioShippedLatencyOverrides()
{
    return {};
}

const AsioLatencyOverride *CAsioDeviceChannel::FindOverride() const
{
    // Only the table's first row is consulted.
    if (m_Overrides.empty() || m_Overrides[0].HardwareIdPattern == nullptr) {
        return nullptr;
    }
    return std::wcsstr(m_InstanceId, m_Overrides[0].HardwareIdPattern) != nullptr ? &m_Overrides[0] : nullptr;
}

BOOL CAsioDeviceChannel::GetLatencies(DWORD Frames, DWORD *InputLatency, DWORD *OutputLatency) const
{
    const AsioLatencyOverride *row = FindOverride();
    const DWORD rate = m_CurrentRate;
    if (row == nullptr) {
        *InputLatency = m_InputCount != 0 ? Frames : 0;
        *OutputLatency = m_OutputCount != 0 ? DefaultOutputLatency(Frames, rate) : 0;
        return TRUE;
    }
    if (m_InputCount != 0) {
        const AsioLatencyRateEntry *entry = nullptr;
        for (DWORD i = 0; i < row->RateCount && row->Rates != nullptr; ++i) {
            if (row->Rates[i].Rate == rate) {
                entry = &row->Rates[i];
                break;
            }
        }
        if (entry == nullptr || entry->Frames2 == entry->Frames1) {
            return FALSE;
        }
        // Signed 64-bit throughout: a buffer below the first measured point interpolates
        // downwards instead of wrapping.
        const LONGLONG input = (LONGLONG)Frames + entry->InputOffsetFrames +
                               (LONGLONG)m_CaptureTransferMs * rate / 1000;
        LONGLONG output = 0;
        if (m_OutputCount != 0) {
            output = ((LONGLONG)entry->OutputLatency2 - entry->OutputLatency1) * ((LONGLONG)Frames - entry->Frames1) /
                         ((LONGLONG)entry->Frames2 - entry->Frames1) +
                     entry->OutputLatency1 - input;
        }
        *InputLatency = ClampToDword(input);
        *OutputLatency = ClampToDword(output);
        return TRUE;
    }
    if (m_OutputCount != 0) {
        *InputLatency = 0;
        *OutputLatency = (DWORD)(rate / 1000.0 * 6.132 + Frames);
        return TRUE;
    }
    return FALSE;
}

BOOL CAsioDeviceChannel::GetChannelName(BOOL IsInput, DWORD Index, CHAR Name[32]) const
{
    if (Index >= (IsInput ? m_InputCount : m_OutputCount) || Name == nullptr) {
        return FALSE;
    }
    if (const AsioLatencyOverride *row = FindOverride()) {
        const DWORD count = IsInput ? row->InputNameCount : row->OutputNameCount;
        const LPCWSTR *names = IsInput ? row->InputNames : row->OutputNames;
        if (Index < count && names != nullptr && names[Index] != nullptr) {
            NarrowBounded(names[Index], Name, ChannelNameBytes);
            return TRUE;
        }
    }
    CHAR device[ChannelNameBytes];
    NarrowBounded(m_DeviceName, device, sizeof(device));
    // Model numbers and separators in front of the name say nothing about the channel.
    const CHAR *start = device;
    while (*start != '\0' && IsNamePrefixCharacter(*start)) {
        ++start;
    }
    if (*start == '\0') {
        start = device;
    }
    CHAR name[ChannelNameBytes];
    std::snprintf(name, sizeof(name), "%s", start);
    if (std::strlen(name) + 7 >= ChannelNameBytes) {
        std::snprintf(name + LongNameKeep, sizeof(name) - LongNameKeep, "...");
    }
    std::snprintf(Name, ChannelNameBytes, "%s %s %02u", name, IsInput ? "In" : "Out", (unsigned)Index + 1);
    return TRUE;
}
