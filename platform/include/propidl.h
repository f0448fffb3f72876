// Property values: PROPVARIANT with the variant types property stores hand out, and the
// helpers that initialise and free one.
#pragma once
#include <cstring>
#include <objbase.h>

typedef unsigned short VARTYPE;

// Variant types (ks.h spells the few it needs the same way).
#define VT_EMPTY 0
#define VT_NULL 1
#define VT_I2 2
#define VT_I4 3
#define VT_BOOL 11
#define VT_UI1 17
#define VT_UI2 18
#define VT_UI4 19
#define VT_I8 20
#define VT_UI8 21
#define VT_LPSTR 30
#define VT_LPWSTR 31
#define VT_FILETIME 64
#define VT_BLOB 65
#define VT_CLSID 72

typedef struct tagBLOB {
    ULONG cbSize;
    BYTE *pBlobData;
} BLOB;

typedef struct tagPROPVARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        CHAR cVal;
        UCHAR bVal;
        SHORT iVal;
        USHORT uiVal;
        LONG lVal;
        ULONG ulVal;
        LONGLONG hVal;
        ULONGLONG uhVal;
        SHORT boolVal;
        LPSTR pszVal;
        LPWSTR pwszVal;
        CLSID *puuid;
        BLOB blob;
    };
} PROPVARIANT;
typedef PROPVARIANT *LPPROPVARIANT;
typedef const PROPVARIANT *REFPROPVARIANT;

inline void PropVariantInit(PROPVARIANT *pvar) { std::memset(pvar, 0, sizeof(*pvar)); }

extern "C" {
// Frees what the value owns (strings, GUIDs and blobs through CoTaskMemFree) and leaves it
// VT_EMPTY. E_INVALIDARG for a null pointer.
HRESULT WINAPI PropVariantClear(PROPVARIANT *pvar);
}
