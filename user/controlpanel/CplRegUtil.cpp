// The control panel's settings accessor: writes that signal the driver, typed reads, and the
// fall-back of a stored DSD rate to its PCM base.
#include "CplRegUtil.h"
#include "ControlPanelTrace.h"
#include "RateTables.h"
#include "SyncObj.h"
#include <cwchar>

LONG CCplRegUtil::SetValue(LONG id, const void *data, DWORD size)
{
    const LONG result = CmnRegUtil::SetValue(id, data, size);
    if (result != REGUTIL_OK) {
        return result; // the base traces the failure
    }
    const REG_VALUE_ROW *row = FindRow(id);
    if (row != nullptr && row->type == REG_DWORD && size == sizeof(DWORD)) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_SETTINGS, "\"%ls\" = %u", row->name,
                    (unsigned)*static_cast<const DWORD *>(data));
    }
    SYNCOBJ_ASIO::NotifySettingsChanged();
    return REGUTIL_OK;
}

DWORD CCplRegUtil::GetDword(LONG id)
{
    DWORD value = 0;
    if (GetValue(id, &value, sizeof(value)) != REGUTIL_OK) {
        return 0;
    }
    return value;
}

LONG CCplRegUtil::GetSelected(LPWSTR buffer, DWORD characters)
{
    if (buffer == nullptr || characters == 0) {
        return REGUTIL_BAD_ARGUMENT;
    }
    std::wmemset(buffer, L'\0', characters);
    const LONG result = GetValue(REGVAL_SELECTED, buffer, characters * sizeof(WCHAR));
    buffer[characters - 1] = L'\0';
    if (result != REGUTIL_OK) {
        buffer[0] = L'\0';
    }
    return result;
}

LONG CCplRegUtil::SetSelected(LPCWSTR instanceId)
{
    if (instanceId == nullptr) {
        return REGUTIL_BAD_ARGUMENT;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_SETTINGS, "\"selected\" = %ls", instanceId);
    // Written as its characters without the terminator, as the driver writes it.
    return SetValue(REGVAL_SELECTED, instanceId, (DWORD)(std::wcslen(instanceId) * sizeof(WCHAR)));
}

void CCplRegUtil::FixDsdRate()
{
    DWORD rate = 0;
    if (GetValue(REGVAL_SAMPLING_RATE, &rate, sizeof(rate)) != REGUTIL_OK) {
        return;
    }
    if (IsLabelledDsdRate(rate)) {
        SetDword(REGVAL_SAMPLING_RATE, rate >> DSD_RATE_SHIFT);
    }
}
