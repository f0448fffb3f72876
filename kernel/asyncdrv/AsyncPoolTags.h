// Pool tags of the asynchronous kernel driver: 'PcCr' for the adapter-common object and the
// miniport, 'USBA' for everything else. The first character sits in the lowest byte.
#pragma once
#include <ntdef.h>

constexpr ULONG AsyncMakeTag(char a, char b, char c, char d)
{
    return static_cast<ULONG>(static_cast<UCHAR>(a)) | (static_cast<ULONG>(static_cast<UCHAR>(b)) << 8) |
           (static_cast<ULONG>(static_cast<UCHAR>(c)) << 16) | (static_cast<ULONG>(static_cast<UCHAR>(d)) << 24);
}

constexpr ULONG ASYNC_ADAPTER_TAG = AsyncMakeTag('P', 'c', 'C', 'r');
constexpr ULONG ASYNC_TAG = AsyncMakeTag('U', 'S', 'B', 'A');
