// Win32 API: shlwapi. Memory streams.
#pragma once
#include <windows.h>
#include <objidl.h>

extern "C" {

// A stream over a copy of cbInit bytes at pInit (an empty stream for a null pInit), positioned
// at its start, with one reference; null when it cannot be made.
IStream *WINAPI SHCreateMemStream(const BYTE *pInit, UINT cbInit);

} // extern "C"
