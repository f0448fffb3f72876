// GUIDs. DEFINE_GUID yields a constant of internal linkage, so a header may define one for
// every translation unit that includes it, and two modules may give one name different values
// (each driver has its own IID_IAdapterCommon) without one module's value reaching the other.
#pragma once
#include <cstdint>
#include <cstring>

typedef struct _GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
} GUID, *PGUID, *LPGUID;
typedef const GUID *LPCGUID, *PCGUID;
typedef GUID IID, CLSID, *LPIID, *LPCLSID;
typedef const GUID &REFGUID;
typedef const IID &REFIID;
typedef const CLSID &REFCLSID;

static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");

#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#define DEFINE_GUIDSTRUCT(g, n) struct n
#define DEFINE_GUIDNAMED(n) n

inline bool IsEqualGUID(const GUID &a, const GUID &b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)
inline bool operator==(const GUID &a, const GUID &b) { return IsEqualGUID(a, b); }
inline bool operator!=(const GUID &a, const GUID &b) { return !IsEqualGUID(a, b); }

inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
