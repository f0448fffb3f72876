// The audio client API: a stream on an audio endpoint, with its render, capture and clock
// services, and the AUDCLNT_ result codes.
#pragma once
#include <objbase.h>
#include <mmreg.h>
#include <audiosessiontypes.h>

typedef LONGLONG REFERENCE_TIME; // 100 ns units

#define AUDCLNT_ERR(n) MAKE_HRESULT(1, 0x889, n)
#define AUDCLNT_SUCCESS(n) MAKE_HRESULT(0, 0x889, n)

#define AUDCLNT_E_NOT_INITIALIZED AUDCLNT_ERR(0x001)
#define AUDCLNT_E_ALREADY_INITIALIZED AUDCLNT_ERR(0x002)
#define AUDCLNT_E_WRONG_ENDPOINT_TYPE AUDCLNT_ERR(0x003)
#define AUDCLNT_E_DEVICE_INVALIDATED AUDCLNT_ERR(0x004)
#define AUDCLNT_E_NOT_STOPPED AUDCLNT_ERR(0x005)
#define AUDCLNT_E_BUFFER_TOO_LARGE AUDCLNT_ERR(0x006)
#define AUDCLNT_E_OUT_OF_ORDER AUDCLNT_ERR(0x007)
#define AUDCLNT_E_UNSUPPORTED_FORMAT AUDCLNT_ERR(0x008)
#define AUDCLNT_E_INVALID_SIZE AUDCLNT_ERR(0x009)
#define AUDCLNT_E_DEVICE_IN_USE AUDCLNT_ERR(0x00A)
#define AUDCLNT_E_BUFFER_OPERATION_PENDING AUDCLNT_ERR(0x00B)
#define AUDCLNT_E_THREAD_NOT_REGISTERED AUDCLNT_ERR(0x00C)
#define AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED AUDCLNT_ERR(0x00E)
#define AUDCLNT_E_ENDPOINT_CREATE_FAILED AUDCLNT_ERR(0x00F)
#define AUDCLNT_E_SERVICE_NOT_RUNNING AUDCLNT_ERR(0x010)
#define AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED AUDCLNT_ERR(0x011)
#define AUDCLNT_E_EXCLUSIVE_MODE_ONLY AUDCLNT_ERR(0x012)
#define AUDCLNT_E_BUFDURATION_PERIOD_NOT_EQUAL AUDCLNT_ERR(0x013)
#define AUDCLNT_E_EVENTHANDLE_NOT_SET AUDCLNT_ERR(0x014)
#define AUDCLNT_E_INCORRECT_BUFFER_SIZE AUDCLNT_ERR(0x015)
#define AUDCLNT_E_BUFFER_SIZE_ERROR AUDCLNT_ERR(0x016)
#define AUDCLNT_E_CPUUSAGE_EXCEEDED AUDCLNT_ERR(0x017)
#define AUDCLNT_E_BUFFER_ERROR AUDCLNT_ERR(0x018)
#define AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED AUDCLNT_ERR(0x019)
#define AUDCLNT_E_INVALID_DEVICE_PERIOD AUDCLNT_ERR(0x020)
#define AUDCLNT_S_BUFFER_EMPTY AUDCLNT_SUCCESS(0x001)
#define AUDCLNT_S_THREAD_ALREADY_REGISTERED AUDCLNT_SUCCESS(0x002)
#define AUDCLNT_S_POSITION_STALLED AUDCLNT_SUCCESS(0x003)

typedef enum _AUDCLNT_BUFFERFLAGS {
    AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY = 0x1,
    AUDCLNT_BUFFERFLAGS_SILENT = 0x2,
    AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR = 0x4,
} AUDCLNT_BUFFERFLAGS;

#define AUDIOCLOCK_CHARACTERISTIC_FIXED_FREQ 0x00000001

// {1CB9AD4C-DBFA-4C32-B178-C2F568A703B2}
DEFINE_GUID(IID_IAudioClient, 0x1CB9AD4C, 0xDBFA, 0x4C32, 0xB1, 0x78, 0xC2, 0xF5, 0x68, 0xA7, 0x03, 0xB2);
// {F294ACFC-3146-4483-A7BF-ADDCA7C260E2}
DEFINE_GUID(IID_IAudioRenderClient, 0xF294ACFC, 0x3146, 0x4483, 0xA7, 0xBF, 0xAD, 0xDC, 0xA7, 0xC2, 0x60, 0xE2);
// {C8ADBD64-E71E-48A0-A4DE-185C395CD317}
DEFINE_GUID(IID_IAudioCaptureClient, 0xC8ADBD64, 0xE71E, 0x48A0, 0xA4, 0xDE, 0x18, 0x5C, 0x39, 0x5C, 0xD3, 0x17);
// {CD63314F-3FBA-4A1B-812C-EF96358728E7}
DEFINE_GUID(IID_IAudioClock, 0xCD63314F, 0x3FBA, 0x4A1B, 0x81, 0x2C, 0xEF, 0x96, 0x35, 0x87, 0x28, 0xE7);

interface IAudioClient : public IUnknown {
    // Exclusive, event-driven streams need hnsBufferDuration == hnsPeriodicity. A buffer that
    // breaks the endpoint's alignment gives AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED; GetBufferSize
    // then reports the next aligned size, and a new client must be activated for the retry.
    STDMETHOD(Initialize)(AUDCLNT_SHAREMODE ShareMode, DWORD StreamFlags, REFERENCE_TIME hnsBufferDuration,
                          REFERENCE_TIME hnsPeriodicity, const WAVEFORMATEX *pFormat, LPCGUID AudioSessionGuid) PURE;
    STDMETHOD(GetBufferSize)(UINT32 *pNumBufferFrames) PURE;
    STDMETHOD(GetStreamLatency)(REFERENCE_TIME *phnsLatency) PURE;
    STDMETHOD(GetCurrentPadding)(UINT32 *pNumPaddingFrames) PURE;
    // Exclusive mode: S_OK or AUDCLNT_E_UNSUPPORTED_FORMAT; ppClosestMatch may be null.
    STDMETHOD(IsFormatSupported)(AUDCLNT_SHAREMODE ShareMode, const WAVEFORMATEX *pFormat,
                                 WAVEFORMATEX **ppClosestMatch) PURE;
    STDMETHOD(GetMixFormat)(WAVEFORMATEX **ppDeviceFormat) PURE;
    STDMETHOD(GetDevicePeriod)(REFERENCE_TIME *phnsDefaultDevicePeriod, REFERENCE_TIME *phnsMinimumDevicePeriod) PURE;
    STDMETHOD(Start)() PURE;
    STDMETHOD(Stop)() PURE;
    STDMETHOD(Reset)() PURE;
    STDMETHOD(SetEventHandle)(HANDLE eventHandle) PURE;
    STDMETHOD(GetService)(REFIID riid, void **ppv) PURE;

protected:
    ~IAudioClient() = default;
};

interface IAudioRenderClient : public IUnknown {
    STDMETHOD(GetBuffer)(UINT32 NumFramesRequested, BYTE **ppData) PURE;
    STDMETHOD(ReleaseBuffer)(UINT32 NumFramesWritten, DWORD dwFlags) PURE;

protected:
    ~IAudioRenderClient() = default;
};

interface IAudioCaptureClient : public IUnknown {
    // AUDCLNT_S_BUFFER_EMPTY (with *ppData null and *pNumFramesToRead 0) when no packet waits.
    STDMETHOD(GetBuffer)(BYTE **ppData, UINT32 *pNumFramesToRead, DWORD *pdwFlags, UINT64 *pu64DevicePosition,
                         UINT64 *pu64QPCPosition) PURE;
    // 0 keeps the packet for the next GetBuffer; otherwise the whole packet is released.
    STDMETHOD(ReleaseBuffer)(UINT32 NumFramesRead) PURE;
    STDMETHOD(GetNextPacketSize)(UINT32 *pNumFramesInNextPacket) PURE;

protected:
    ~IAudioCaptureClient() = default;
};

interface IAudioClock : public IUnknown {
    STDMETHOD(GetFrequency)(UINT64 *pu64Frequency) PURE;
    STDMETHOD(GetPosition)(UINT64 *pu64Position, UINT64 *pu64QPCPosition) PURE;
    STDMETHOD(GetCharacteristics)(DWORD *pdwCharacteristics) PURE;

protected:
    ~IAudioClock() = default;
};
