// The per-user settings table of the asynchronous stack and CmnRegUtil, its accessor: every
// value of the settings key is read and written through a row of the table, and the key is
// created with its defaults by the first reader that finds it missing.
#pragma once
#include <windows.h>

// Result codes of GetValue and SetValue.
#define REGUTIL_OK 0
#define REGUTIL_BAD_ARGUMENT (-1)   // null or empty argument, or a buffer smaller than the row
#define REGUTIL_KEY_NOT_OPEN (-2)
#define REGUTIL_KEY_NOT_CREATED (-3) // missing and not created (or created meanwhile by another)
#define REGUTIL_QUERY_FAILED (-4)    // query failed, value larger than the row, or wrong type
#define REGUTIL_WRITE_FAILED (-5)

// Value IDs.
#define REGVAL_DEFAULT 0
#define REGVAL_BUFFER_SIZE_INDEX 1
#define REGVAL_SAMPLING_RATE 2
#define REGVAL_SELECTED 3

// Room of "selected" in characters: a device ID of up to 64 characters can be read back.
inline constexpr DWORD SELECTED_ROW_CHARS = 64;
// Characters of the empty string written as the default of "selected".
inline constexpr DWORD SELECTED_DEFAULT_CHARS = 128;

struct REG_VALUE_ROW {
    LONG id;
    WCHAR name[128];
    DWORD type;
    DWORD size;  // bytes read; a caller's buffer must be at least this large
    DWORD flag;  // 1 on the default-value row; nothing reads it
};

inline constexpr DWORD SETTINGS_ROW_COUNT = 4;
extern const REG_VALUE_ROW g_SettingsTable[SETTINGS_ROW_COUNT];

class CmnRegUtil {
public:
    CmnRegUtil();
    virtual ~CmnRegUtil();
    CmnRegUtil(const CmnRegUtil &) = delete;
    CmnRegUtil &operator=(const CmnRegUtil &) = delete;

    // Writes size bytes of data as the value of row id, with the row's type. An id without a
    // row writes nothing and returns REGUTIL_OK. The key must exist.
    virtual LONG SetValue(LONG id, const void *data, DWORD size);

    // Reads the value of row id into buffer (size bytes, at least the row's size). Creates the
    // key with its defaults when it is missing. An id without a row reads nothing and returns
    // REGUTIL_OK. On failure the buffer may hold whatever the query wrote.
    LONG GetValue(LONG id, void *buffer, DWORD size);

    // Creates the settings key and writes the defaults. FALSE when the key existed already
    // (nothing is written then) or a write failed.
    BOOL CreateDefaults();

protected:
    const REG_VALUE_ROW *FindRow(LONG id) const;

    const REG_VALUE_ROW *m_pTable;
};
