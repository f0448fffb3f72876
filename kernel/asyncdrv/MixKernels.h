// Sample conversion and saturating mix kernels of the render mix path, and the small pieces of
// arithmetic (bounce sizing, prefill percent, write-ahead distance) that the mix sources share.
#pragma once
#include <wdm.h>

// Adds Samples source samples into Samples device samples in place (or, for DSD, copies them).
// Samples are signed little-endian; 24-bit samples are three packed bytes. Any IRQL.
typedef VOID (*PMIX_KERNEL)(PUCHAR Device, const UCHAR *Source, ULONG Samples);

VOID MixAdd16To16(PUCHAR Device, const UCHAR *Source, ULONG Samples);
VOID MixAdd16To24(PUCHAR Device, const UCHAR *Source, ULONG Samples);
VOID MixAdd16To32(PUCHAR Device, const UCHAR *Source, ULONG Samples);
VOID MixAdd24To24(PUCHAR Device, const UCHAR *Source, ULONG Samples);
VOID MixAdd24To32(PUCHAR Device, const UCHAR *Source, ULONG Samples);
VOID MixAdd32To32(PUCHAR Device, const UCHAR *Source, ULONG Samples);
// DSD data is a bit stream: it is copied in 32-bit words, never added.
VOID MixCopyDsd(PUCHAR Device, const UCHAR *Source, ULONG Samples);

constexpr ULONG MIX_MODE_PCM = 0;
constexpr ULONG MIX_MODE_DSD = 1;

// The kernel for a source width into a device width, in bits. Mode MIX_MODE_DSD always gives the
// DSD copy. NULL when there is none: any 8-bit side, a narrowing pair, or a width that is not one
// of 8, 16, 24 and 32.
PMIX_KERNEL SelectMixKernel(ULONG Mode, ULONG SourceBits, ULONG DeviceBits);

// One side of a mix: the interleaved layout of a frame.
struct MIX_LAYOUT {
    ULONG Channels;
    ULONG BytesPerSample;
};

// Runs Kernel over Frames frames: per frame over min(device, source) channels. Extra device
// channels keep their samples; extra source channels are skipped.
VOID MixFrames(PMIX_KERNEL Kernel, PUCHAR Device, const MIX_LAYOUT &DeviceLayout,
               const UCHAR *Source, const MIX_LAYOUT &SourceLayout, ULONG Frames);

// Frames the bounce buffer must hold: enough for one capture transfer and for the largest render
// transfer, because a source that is not capture-paced on a duplex device asks for whole render
// transfers. A zero bytes-per-frame side counts as no frames.
ULONG MixBounceFrames(ULONG CaptureTransferBytes, ULONG CaptureBytesPerFrame,
                      ULONG RenderMaxTransferBytes, ULONG RenderBytesPerFrame);

// Bounce buffer bytes for Frames frames of SourceBytesPerFrame, padded up to a multiple of 4.
// 0 when the size leaves the 32-bit range.
ULONG MixBounceBytes(ULONG Frames, ULONG SourceBytesPerFrame);

// The frames a request may move through a bounce buffer of CapacityFrames frames.
inline ULONG MixClampFrames(ULONG Requested, ULONG CapacityFrames)
{
    return Requested < CapacityFrames ? Requested : CapacityFrames;
}

// The operating-system buffer length in milliseconds, capped at 100; 0 for a zero rate or frame.
ULONG MixPrefillPercent(ULONG BufferBytes, ULONG SampleRate, ULONG BytesPerFrame);

// The engine's tuning values that set how far ahead of the next completing render transfer a
// capture-paced source writes.
struct MIX_TIMING {
    ULONG Param1; // milliseconds per render transfer
    ULONG Param2; // render transfers in flight
    ULONG Param3; // milliseconds per capture transfer
};

// The write offset in bytes after a re-prime: from about Param3 + 2 ms (0 %) to at most 16 ms
// (100 %), in whole frames of DeviceBytesPerFrame. A ceiling shorter than the floor gives the
// floor rather than a wrapped distance.
ULONG MixWriteAheadBytes(ULONG DeviceBytesPerFrame, ULONG SampleRate, const MIX_TIMING &Timing,
                         ULONG PrefillPercent);

// The one-time alignment step in bytes when the first capture after priming does not start at
// the priming frame: one capture transfer's worth of device frames.
ULONG MixAlignBytes(ULONG DeviceBytesPerFrame, ULONG SampleRate, ULONG Param3);
