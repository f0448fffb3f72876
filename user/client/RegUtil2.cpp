// CRegUtil2: the driver's typed settings reads and writes.
#include "RegUtil2.h"
#include "RateTables.h"
#include <cstring>
#include <cwchar>

CRegUtil2::~CRegUtil2()
{
    Close();
}

DWORD CRegUtil2::GetNumber(LONG id)
{
    DWORD value = 0;
    return GetValue(id, &value, sizeof(value)) == REGUTIL_OK ? value : 0;
}

DWORD CRegUtil2::GetSamplingRate()
{
    return GetNumber(REGVAL_SAMPLING_RATE);
}

DWORD CRegUtil2::GetBufferSizeIndex()
{
    return ClampBufferIndex(GetNumber(REGVAL_BUFFER_SIZE_INDEX));
}

LONG CRegUtil2::GetSelected(LPWSTR buffer, DWORD characters)
{
    if (buffer == nullptr || characters == 0) {
        return REGUTIL_BAD_ARGUMENT;
    }
    std::memset(buffer, 0, characters * sizeof(WCHAR));
    const LONG result = GetValue(REGVAL_SELECTED, buffer, characters * sizeof(WCHAR));
    if (result != REGUTIL_OK) {
        // A failed query may have written a value of another type.
        std::memset(buffer, 0, characters * sizeof(WCHAR));
    }
    buffer[characters - 1] = L'\0';
    return result;
}

LONG CRegUtil2::SetSamplingRate(DWORD rate)
{
    return SetValue(REGVAL_SAMPLING_RATE, &rate, sizeof(rate));
}

LONG CRegUtil2::SetSelected(LPCWSTR instanceId)
{
    if (instanceId == nullptr) {
        return REGUTIL_BAD_ARGUMENT;
    }
    return SetValue(REGVAL_SELECTED, instanceId, (DWORD)(std::wcslen(instanceId) * sizeof(WCHAR)));
}
