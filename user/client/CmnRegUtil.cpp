// CmnRegUtil: reads and writes of the settings key through the settings table, and the creation
// of the key with its defaults.
#include "CmnRegUtil.h"
#include "NamedObjects.h"
#include "RateTables.h"
#include <UserTrace.h>

const REG_VALUE_ROW g_SettingsTable[SETTINGS_ROW_COUNT] = {
    {REGVAL_DEFAULT, L"", REG_SZ, SELECTED_ROW_CHARS * sizeof(WCHAR), 1},
    {REGVAL_BUFFER_SIZE_INDEX, L"buffer_size_index", REG_DWORD, sizeof(DWORD), 0},
    {REGVAL_SAMPLING_RATE, L"sampling_rate", REG_DWORD, sizeof(DWORD), 0},
    {REGVAL_SELECTED, L"selected", REG_SZ, SELECTED_ROW_CHARS * sizeof(WCHAR), 0},
};

namespace {

struct NUMBER_DEFAULT {
    LONG id;
    DWORD value;
};

constexpr NUMBER_DEFAULT kNumberDefaults[] = {
    {REGVAL_BUFFER_SIZE_INDEX, BUFFER_INDEX_DEFAULT},
    {REGVAL_SAMPLING_RATE, 44100},
};

// The empty device ID, written as the default of "selected".
const WCHAR kSelectedDefault[SELECTED_DEFAULT_CHARS] = {};

// Writes one default unless a subkey named like the value is in the way.
BOOL WriteDefault(HKEY key, const REG_VALUE_ROW *row, const void *data, DWORD size)
{
    HKEY sub = nullptr;
    if (RegOpenKeyExW(key, row->name, 0, KEY_READ | KEY_WOW64_64KEY, &sub) == ERROR_SUCCESS) {
        RegCloseKey(sub);
        return TRUE;
    }
    return RegSetValueExW(key, row->name, 0, row->type, static_cast<const BYTE *>(data), size) == ERROR_SUCCESS;
}

} // namespace

CmnRegUtil::CmnRegUtil() : m_pTable(g_SettingsTable) {}

CmnRegUtil::~CmnRegUtil() = default;

const REG_VALUE_ROW *CmnRegUtil::FindRow(LONG id) const
{
    for (DWORD i = 0; i < SETTINGS_ROW_COUNT; ++i) {
        if (m_pTable[i].id == id) {
            return &m_pTable[i];
        }
    }
    return nullptr;
}

LONG CmnRegUtil::SetValue(LONG id, const void *data, DWORD size)
{
    if (id < 0 || data == nullptr || size == 0) {
        return REGUTIL_BAD_ARGUMENT;
    }
    HKEY key = nullptr;
    const LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, OVM_SETTINGS_KEY, 0, KEY_WRITE | KEY_WOW64_64KEY, &key);
    if (status != ERROR_SUCCESS) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "settings key not opened: %d", (int)status);
        return REGUTIL_KEY_NOT_OPEN;
    }
    LONG result = REGUTIL_OK;
    const REG_VALUE_ROW *row = FindRow(id);
    if (row != nullptr &&
        RegSetValueExW(key, row->name, 0, row->type, static_cast<const BYTE *>(data), size) != ERROR_SUCCESS) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "\"%ls\" not written", row->name);
        result = REGUTIL_WRITE_FAILED;
    }
    RegCloseKey(key);
    return result;
}

LONG CmnRegUtil::GetValue(LONG id, void *buffer, DWORD size)
{
    if (buffer == nullptr || size == 0) {
        return REGUTIL_BAD_ARGUMENT;
    }
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, OVM_SETTINGS_KEY, 0, KEY_READ | KEY_WOW64_64KEY, &key);
    if (status == ERROR_FILE_NOT_FOUND) {
        if (!CreateDefaults()) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_SETTINGS, "settings key not created with its defaults");
            return REGUTIL_KEY_NOT_CREATED;
        }
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_SETTINGS, "settings key created with its defaults");
        status = RegOpenKeyExW(HKEY_CURRENT_USER, OVM_SETTINGS_KEY, 0, KEY_READ | KEY_WOW64_64KEY, &key);
    }
    if (status != ERROR_SUCCESS) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_SETTINGS, "settings key not opened: %d", (int)status);
        return REGUTIL_KEY_NOT_OPEN;
    }
    LONG result = REGUTIL_OK;
    const REG_VALUE_ROW *row = FindRow(id);
    if (row != nullptr) {
        DWORD type = REG_NONE;
        DWORD bytes = row->size;
        if (size < row->size) {
            result = REGUTIL_BAD_ARGUMENT;
        } else {
            const LSTATUS queried =
                RegQueryValueExW(key, row->name, nullptr, &type, static_cast<BYTE *>(buffer), &bytes);
            if (queried != ERROR_SUCCESS || type != row->type) {
                TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_SETTINGS, "\"%ls\" not read: %d, type %u", row->name,
                            (int)queried, (unsigned)type);
                result = REGUTIL_QUERY_FAILED;
            }
        }
    }
    RegCloseKey(key);
    return result;
}

BOOL CmnRegUtil::CreateDefaults()
{
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, OVM_SETTINGS_KEY, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr,
                        &key, &disposition) != ERROR_SUCCESS) {
        return FALSE;
    }
    BOOL written = disposition == REG_CREATED_NEW_KEY;
    if (written) {
        const REG_VALUE_ROW *row = FindRow(REGVAL_SELECTED);
        written = row == nullptr || WriteDefault(key, row, kSelectedDefault, sizeof(kSelectedDefault));
    }
    for (const NUMBER_DEFAULT &number : kNumberDefaults) {
        if (!written) {
            break;
        }
        const REG_VALUE_ROW *row = FindRow(number.id);
        written = row == nullptr || WriteDefault(key, row, &number.value, row->size);
    }
    RegCloseKey(key);
    return written;
}
