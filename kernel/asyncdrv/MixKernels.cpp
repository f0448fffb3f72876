// The saturating mix kernels and the mix path's sizing and distance arithmetic.
#include "MixKernels.h"

namespace {

constexpr LONG64 MixMax = 0x7FFFFFFFLL;
constexpr LONG64 MixMin = -0x80000000LL;

LONG Saturate(LONG64 Sum)
{
    if (Sum > MixMax) {
        return static_cast<LONG>(MixMax);
    }
    if (Sum < MixMin) {
        return static_cast<LONG>(MixMin);
    }
    return static_cast<LONG>(Sum);
}

// Widths are read into the top of a 32-bit word and widened by multiplication, so negative
// samples shift without undefined behaviour.
LONG64 Read16(const UCHAR *p)
{
    return static_cast<SHORT>(static_cast<USHORT>(p[0] | (p[1] << 8)));
}

LONG64 Read24(const UCHAR *p)
{
    ULONG raw = static_cast<ULONG>(p[0]) | (static_cast<ULONG>(p[1]) << 8) |
                (static_cast<ULONG>(p[2]) << 16);
    if (raw & 0x800000) {
        raw |= 0xFF000000u;
    }
    return static_cast<LONG>(raw);
}

LONG64 Read32(const UCHAR *p)
{
    ULONG raw = static_cast<ULONG>(p[0]) | (static_cast<ULONG>(p[1]) << 8) |
                (static_cast<ULONG>(p[2]) << 16) | (static_cast<ULONG>(p[3]) << 24);
    return static_cast<LONG>(raw);
}

// Stores bits 31..16 of a saturated 32-bit sum.
VOID Store16(PUCHAR p, LONG Sum)
{
    ULONG raw = static_cast<ULONG>(Sum);
    p[0] = static_cast<UCHAR>(raw >> 16);
    p[1] = static_cast<UCHAR>(raw >> 24);
}

// Stores bits 31..8 of a saturated 32-bit sum.
VOID Store24(PUCHAR p, LONG Sum)
{
    ULONG raw = static_cast<ULONG>(Sum);
    p[0] = static_cast<UCHAR>(raw >> 8);
    p[1] = static_cast<UCHAR>(raw >> 16);
    p[2] = static_cast<UCHAR>(raw >> 24);
}

VOID Store32(PUCHAR p, LONG Sum)
{
    ULONG raw = static_cast<ULONG>(Sum);
    p[0] = static_cast<UCHAR>(raw);
    p[1] = static_cast<UCHAR>(raw >> 8);
    p[2] = static_cast<UCHAR>(raw >> 16);
    p[3] = static_cast<UCHAR>(raw >> 24);
}

} // namespace

VOID MixAdd16To16(PUCHAR Device, const UCHAR *Source, ULONG Samples)
{
    for (ULONG i = 0; i < Samples; ++i, Device += 2, Source += 2) {
        Store16(Device, Saturate(Read16(Source) * 65536 + Read16(Device) * 65536));
    }
}

VOID MixAdd16To24(PUCHAR Device, const UCHAR *Source, ULONG Samples)
{
    for (ULONG i = 0; i < Samples; ++i, Device += 3, Source += 2) {
        Store24(Device, Saturate(Read16(Source) * 65536 + Read24(Device) * 256));
    }
}

VOID MixAdd16To32(PUCHAR Device, const UCHAR *Source, ULONG Samples)
{
    for (ULONG i = 0; i < Samples; ++i, Device += 4, Source += 2) {
        Store32(Device, Saturate(Read16(Source) * 65536 + Read32(Device)));
    }
}

VOID MixAdd24To24(PUCHAR Device, const UCHAR *Source, ULONG Samples)
{
    for (ULONG i = 0; i < Samples; ++i, Device += 3, Source += 3) {
        Store24(Device, Saturate(Read24(Source) * 256 + Read24(Device) * 256));
    }
}

VOID MixAdd24To32(PUCHAR Device, const UCHAR *Source, ULONG Samples)
{
    for (ULONG i = 0; i < Samples; ++i, Device += 4, Source += 3) {
        Store32(Device, Saturate(Read24(Source) * 256 + Read32(Device)));
    }
}

VOID MixAdd32To32(PUCHAR Device, const UCHAR *Source, ULONG Samples)
{
    for (ULONG i = 0; i < Samples; ++i, Device += 4, Source += 4) {
        Store32(Device, Saturate(Read32(Source) + Read32(Device)));
    }
}

VOID MixCopyDsd(PUCHAR Device, const UCHAR *Source, ULONG Samples)
{
    RtlCopyMemory(Device, Source, static_cast<SIZE_T>(Samples) * sizeof(ULONG));
}

PMIX_KERNEL SelectMixKernel(ULONG Mode, ULONG SourceBits, ULONG DeviceBits)
{
    if (Mode == MIX_MODE_DSD) {
        return MixCopyDsd;
    }
    switch (SourceBits) {
    case 16:
        switch (DeviceBits) {
        case 16: return MixAdd16To16;
        case 24: return MixAdd16To24;
        case 32: return MixAdd16To32;
        default: return NULL;
        }
    case 24:
        switch (DeviceBits) {
        case 24: return MixAdd24To24;
        case 32: return MixAdd24To32;
        default: return NULL;
        }
    case 32:
        return DeviceBits == 32 ? MixAdd32To32 : NULL;
    default:
        return NULL;
    }
}

VOID MixFrames(PMIX_KERNEL Kernel, PUCHAR Device, const MIX_LAYOUT &DeviceLayout,
               const UCHAR *Source, const MIX_LAYOUT &SourceLayout, ULONG Frames)
{
    ULONG channels = DeviceLayout.Channels < SourceLayout.Channels ? DeviceLayout.Channels
                                                                     : SourceLayout.Channels;
    SIZE_T deviceStride = static_cast<SIZE_T>(DeviceLayout.Channels) * DeviceLayout.BytesPerSample;
    SIZE_T sourceStride = static_cast<SIZE_T>(SourceLayout.Channels) * SourceLayout.BytesPerSample;
    if (Kernel == NULL || channels == 0) {
        return;
    }
    for (ULONG frame = 0; frame < Frames; ++frame) {
        Kernel(Device, Source, channels);
        Device += deviceStride;
        Source += sourceStride;
    }
}

ULONG MixBounceFrames(ULONG CaptureTransferBytes, ULONG CaptureBytesPerFrame,
                      ULONG RenderMaxTransferBytes, ULONG RenderBytesPerFrame)
{
    ULONG captureFrames = CaptureBytesPerFrame ? CaptureTransferBytes / CaptureBytesPerFrame : 0;
    ULONG renderFrames = RenderBytesPerFrame ? RenderMaxTransferBytes / RenderBytesPerFrame : 0;
    return captureFrames > renderFrames ? captureFrames : renderFrames;
}

ULONG MixBounceBytes(ULONG Frames, ULONG SourceBytesPerFrame)
{
    ULONG64 bytes = (static_cast<ULONG64>(Frames) * SourceBytesPerFrame + 3) & ~3ULL;
    return bytes > MAXULONG ? 0 : static_cast<ULONG>(bytes);
}

ULONG MixPrefillPercent(ULONG BufferBytes, ULONG SampleRate, ULONG BytesPerFrame)
{
    // Bytes x 100000 passes the 32-bit range at about 43 KB, so the whole ratio is 64-bit.
    ULONG64 divisor = static_cast<ULONG64>(SampleRate) * BytesPerFrame * 100;
    if (divisor == 0) {
        return 0;
    }
    ULONG64 percent = static_cast<ULONG64>(BufferBytes) * 100000 / divisor;
    return percent > 100 ? 100 : static_cast<ULONG>(percent);
}

ULONG MixWriteAheadBytes(ULONG DeviceBytesPerFrame, ULONG SampleRate, const MIX_TIMING &Timing,
                         ULONG PrefillPercent)
{
    const ULONG64 frameBytes = DeviceBytesPerFrame;
    if (frameBytes == 0) {
        return 0;
    }
    // The ceiling in milliseconds compares unsigned, as the tuning values are stored: a negative
    // difference counts as large and gives the 16 ms cap.
    ULONG ceilingMs = (Timing.Param2 - 1) * Timing.Param1 - 2 * Timing.Param3;
    if (ceilingMs > 16) {
        ceilingMs = 16;
    }
    ULONG64 floorBytes =
        frameBytes * ((static_cast<ULONG64>(SampleRate) + 999) * (Timing.Param3 + 2ULL) / 1000);
    ULONG64 ceilingBytes = static_cast<ULONG64>(ceilingMs) * (SampleRate / 1000) * frameBytes;
    ULONG64 span = ceilingBytes > floorBytes ? ceilingBytes - floorBytes : 0;
    ULONG64 percent = PrefillPercent > 100 ? 100 : PrefillPercent;
    ULONG64 offset = frameBytes * ((frameBytes / 2 + floorBytes + span * percent / 100) / frameBytes);
    return offset > MAXLONG ? MAXLONG : static_cast<ULONG>(offset);
}

ULONG MixAlignBytes(ULONG DeviceBytesPerFrame, ULONG SampleRate, ULONG Param3)
{
    ULONG64 frames = (static_cast<ULONG64>(SampleRate) + 500) * Param3 / 1000;
    ULONG64 bytes = frames * DeviceBytesPerFrame;
    return bytes > MAXLONG ? MAXLONG : static_cast<ULONG>(bytes);
}
