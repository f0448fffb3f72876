// Pool tags of the standard kernel driver: 'PcCr' for the adapter-common object and the
// miniport, 'USBA' for transfer buffers, queue pieces, contexts and everything else. The first
// character sits in the lowest byte.
#pragma once
#include <ntdef.h>

constexpr ULONG StdMakeTag(char a, char b, char c, char d)
{
    return static_cast<ULONG>(static_cast<UCHAR>(a)) | (static_cast<ULONG>(static_cast<UCHAR>(b)) << 8) |
           (static_cast<ULONG>(static_cast<UCHAR>(c)) << 16) | (static_cast<ULONG>(static_cast<UCHAR>(d)) << 24);
}

constexpr ULONG STD_ADAPTER_TAG = StdMakeTag('P', 'c', 'C', 'r');
constexpr ULONG STD_TAG = StdMakeTag('U', 'S', 'B', 'A');
