// Sized integer types of the Windows LLP64 model: LONG and ULONG are 32-bit, pointers and
// the *_PTR types are 64-bit.
#pragma once
#include <cstddef>
#include <cstdint>

typedef std::int8_t INT8, *PINT8;
typedef std::int16_t INT16, *PINT16;
typedef std::int32_t INT32, *PINT32, LONG32, *PLONG32;
typedef std::int64_t INT64, *PINT64, LONG64, *PLONG64;
typedef std::uint8_t UINT8, *PUINT8;
typedef std::uint16_t UINT16, *PUINT16;
typedef std::uint32_t UINT32, *PUINT32, ULONG32, *PULONG32, DWORD32, *PDWORD32;
typedef std::uint64_t UINT64, *PUINT64, ULONG64, *PULONG64, DWORD64, *PDWORD64;

typedef std::intptr_t INT_PTR, *PINT_PTR, LONG_PTR, *PLONG_PTR;
typedef std::uintptr_t UINT_PTR, *PUINT_PTR, ULONG_PTR, *PULONG_PTR, DWORD_PTR, *PDWORD_PTR;
typedef ULONG_PTR SIZE_T, *PSIZE_T;
typedef LONG_PTR SSIZE_T, *PSSIZE_T;

static_assert(sizeof(ULONG_PTR) == 8, "the platform is 64-bit");
