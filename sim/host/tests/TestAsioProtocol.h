// What the host tests and the test ASIO driver module share: the driver's class identifier,
// its registry entry, its settings values and the entry points the tests call into it with.
#pragma once
#include <cstdint>
#include <guiddef.h>

// {6C0F5C2E-9B7D-4E51-8A43-2F1D0B6E7A19}
inline constexpr GUID CLSID_OvmTestAsio = {
    0x6C0F5C2E, 0x9B7D, 0x4E51, {0x8A, 0x43, 0x2F, 0x1D, 0x0B, 0x6E, 0x7A, 0x19}};
inline constexpr const wchar_t *TEST_ASIO_CLSID_TEXT = L"{6C0F5C2E-9B7D-4E51-8A43-2F1D0B6E7A19}";
inline constexpr const wchar_t *TEST_ASIO_NAME = L"OVM Test ASIO";
inline constexpr const wchar_t *TEST_ASIO_MODULE = L"ovmtestasio.dll";

// DWORD values under HKLM\SOFTWARE\ASIO\<TEST_ASIO_NAME>, read at init.
inline constexpr const wchar_t *TEST_ASIO_SAMPLE_TYPE = L"SampleType"; // default 18
inline constexpr const wchar_t *TEST_ASIO_INPUTS = L"Inputs";          // default 2
inline constexpr const wchar_t *TEST_ASIO_OUTPUTS = L"Outputs";        // default 2
inline constexpr const wchar_t *TEST_ASIO_PREFERRED = L"Preferred";    // default 256
inline constexpr const wchar_t *TEST_ASIO_OUTPUT_READY = L"OutputReady"; // default 1
inline constexpr const wchar_t *TEST_ASIO_FAIL_INIT = L"FailInit";     // default 0

struct test_asio_stats {
    int32_t init_calls;
    int32_t init_window_valid; // init was given a live window
    int32_t create_buffers_calls;
    int32_t dispose_calls;
    int32_t start_calls;
    int32_t stop_calls;
    int32_t output_ready_calls;
    int32_t time_info_mode;    // the host said it takes bufferSwitchTimeInfo
    int32_t engine_version;    // the host's answer to kAsioEngineVersion
    int32_t objects;           // live driver objects
    int64_t switches;
};

// Exported by the test driver module (C linkage).
typedef void (*test_asio_stats_fn)(test_asio_stats *stats);
// Queues a host message that the stream thread delivers at its next period.
typedef void (*test_asio_message_fn)(int32_t selector, int32_t value);
// The stream thread misses the given number of periods once (a drop-out).
typedef void (*test_asio_skip_fn)(int32_t periods);
