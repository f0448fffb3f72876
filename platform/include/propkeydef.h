// Property keys: a format identifier and a property number naming one property of a property
// store (devices, audio endpoints, shell items).
#pragma once
#include <guiddef.h>
#include <windef.h>

#ifndef PROPERTYKEY_DEFINED
#define PROPERTYKEY_DEFINED
typedef struct _tagpropertykey {
    GUID fmtid;
    DWORD pid;
} PROPERTYKEY;
#endif
typedef const PROPERTYKEY &REFPROPERTYKEY;

#define DEFINE_PROPERTYKEY(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8, pid) \
    inline constexpr PROPERTYKEY name = {{l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}, pid}

inline bool IsEqualPropertyKey(const PROPERTYKEY &a, const PROPERTYKEY &b)
{
    return IsEqualGUID(a.fmtid, b.fmtid) && a.pid == b.pid;
}
