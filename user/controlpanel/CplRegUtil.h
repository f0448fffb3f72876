// CCplRegUtil: the control panel's settings accessor. Every settings write of the panel goes
// through it, so that a running ASIO driver hears of each one.
#pragma once
#include "CmnRegUtil.h"

class CCplRegUtil : public CmnRegUtil {
public:
    CCplRegUtil() = default;
    ~CCplRegUtil() override = default;

    // The base write; on success the driver's settings-changed event is set (only when a
    // driver object listens) and REGUTIL_OK returned. A failed write returns its code and
    // signals nothing.
    LONG SetValue(LONG id, const void *data, DWORD size) override;

    // Typed reads; 0 when the value cannot be read.
    DWORD GetDword(LONG id);
    LONG SetDword(LONG id, DWORD value) { return SetValue(id, &value, sizeof(value)); }
    // "selected" into a cleared buffer of characters (at least 261), always terminated at
    // characters - 1.
    LONG GetSelected(LPWSTR buffer, DWORD characters);
    // Writes the instance ID's characters without the terminator. An empty ID fails
    // (REGUTIL_BAD_ARGUMENT), as the base refuses a write of no bytes.
    LONG SetSelected(LPCWSTR instanceId);

    // When the stored rate is one of the three labelled DSD rates, stores its PCM base rate
    // (the rate divided by 32). The caller holds the settings mutex.
    void FixDsdRate();
};
