// CRegUtil2: the ASIO driver's settings accessor, typed reads and writes of the settings over
// CmnRegUtil, together with the driver's settings events.
#pragma once
#include "CmnRegUtil.h"
#include "SyncObj.h"

class CRegUtil2 : public CmnRegUtil, public SYNCOBJ_ASIO {
public:
    CRegUtil2() = default;
    ~CRegUtil2() override;

    // Stored rate in Hz (a DSD rate as itself); 0 when unreadable.
    DWORD GetSamplingRate();
    // Stored buffer-size index, an index above 31 read as 31; 0 when unreadable.
    DWORD GetBufferSizeIndex();
    // The current device's instance ID into buffer (characters, terminator included). The
    // buffer is always terminated, and empty when the value cannot be read.
    LONG GetSelected(LPWSTR buffer, DWORD characters);

    LONG SetSamplingRate(DWORD rate);
    // Stored without its terminator.
    LONG SetSelected(LPCWSTR instanceId);

private:
    DWORD GetNumber(LONG id);
};
