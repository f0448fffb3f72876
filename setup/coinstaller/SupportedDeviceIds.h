// The USB vendor and product IDs of the standard stack's devices: the one source for the
// finish-install co-installer's match table and the simulated standard devices' defaults.
#pragma once
#include <windows.h>

inline constexpr USHORT OvmVendorId = 0x3A51;
inline constexpr USHORT OvmStandardProductIds[] = {0x0201, 0x0202};

// One row of the match table: the vendor and product tokens of a hardware ID as they appear
// in "USB\VID_xxxx&PID_xxxx...", each in a 10-byte field.
struct SupportedDeviceId {
    CHAR VendorToken[10];
    CHAR ProductToken[10];
};

inline constexpr SupportedDeviceId SupportedDeviceIds[] = {
    {"VID_3A51", "PID_0201"},
    {"VID_3A51", "PID_0202"},
};

// True when token is prefix followed by the four upper-case hexadecimal digits of value.
constexpr bool TokenNames(const CHAR (&token)[10], const CHAR *prefix, USHORT value)
{
    constexpr const CHAR digits[] = "0123456789ABCDEF";
    for (int i = 0; i < 4; ++i) {
        if (token[i] != prefix[i]) {
            return false;
        }
    }
    for (int i = 0; i < 4; ++i) {
        if (token[4 + i] != digits[(value >> (12 - 4 * i)) & 0xF]) {
            return false;
        }
    }
    return token[8] == '\0';
}

static_assert(sizeof(SupportedDeviceIds) / sizeof(SupportedDeviceIds[0]) ==
                  sizeof(OvmStandardProductIds) / sizeof(OvmStandardProductIds[0]),
              "one match row per product");
static_assert(TokenNames(SupportedDeviceIds[0].VendorToken, "VID_", OvmVendorId) &&
                  TokenNames(SupportedDeviceIds[0].ProductToken, "PID_", OvmStandardProductIds[0]) &&
                  TokenNames(SupportedDeviceIds[1].VendorToken, "VID_", OvmVendorId) &&
                  TokenNames(SupportedDeviceIds[1].ProductToken, "PID_", OvmStandardProductIds[1]),
              "match table tokens follow the IDs");
