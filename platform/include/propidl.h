// Property values: PROPVARIANT with the variant types property stores hand out, and the
// helpers that initialise and free one.
#pragma once
#include <cstring>
#include <objbase.h>

typedef unsigned short VARTYPE;

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_BOOL = 11,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_LPSTR = 30,
    VT_LPWSTR = 31,
    VT_FILETIME = 64,
    VT_BLOB = 65,
    VT_CLSID = 72,
};

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
