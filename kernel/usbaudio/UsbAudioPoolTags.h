// Pool tags of the USB audio-class library. Tags are stored so that they read in the
// natural order in a pool dump (first character in the lowest byte).
#pragma once
#include <ntdef.h>

constexpr ULONG UsbAudioMakeTag(char a, char b, char c, char d)
{
    return static_cast<ULONG>(static_cast<UCHAR>(a)) | (static_cast<ULONG>(static_cast<UCHAR>(b)) << 8) |
           (static_cast<ULONG>(static_cast<UCHAR>(c)) << 16) | (static_cast<ULONG>(static_cast<UCHAR>(d)) << 24);
}

// Descriptors, interface copies, lookaside entries, entities and records.
constexpr ULONG USBAUDIO_TAG = UsbAudioMakeTag('U', 'S', 'B', 'A');
// Bounce buffers of length-prefixed render transfers.
constexpr ULONG USBAUDIO_BOUNCE_TAG = UsbAudioMakeTag('B', 'P', 'M', 'T');
