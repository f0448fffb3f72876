// The audio endpoint device API: the endpoint enumerator class, endpoint devices and their
// collections, endpoint notifications, and the endpoint property keys.
#pragma once
#include <objbase.h>
#include <propsys.h>

typedef enum __MIDL___MIDL_itf_mmdeviceapi_0000_0000_0001 {
    eRender = 0,
    eCapture = 1,
    eAll = 2,
    EDataFlow_enum_count = 3,
} EDataFlow;

typedef enum __MIDL___MIDL_itf_mmdeviceapi_0000_0000_0002 {
    eConsole = 0,
    eMultimedia = 1,
    eCommunications = 2,
    ERole_enum_count = 3,
} ERole;

#define DEVICE_STATE_ACTIVE 0x00000001
#define DEVICE_STATE_DISABLED 0x00000002
#define DEVICE_STATE_NOTPRESENT 0x00000004
#define DEVICE_STATE_UNPLUGGED 0x00000008
#define DEVICE_STATEMASK_ALL 0x0000000F

// An identifier that names no endpoint of the machine.
#ifndef E_NOTFOUND
#define E_NOTFOUND HRESULT_FROM_WIN32(ERROR_NOT_FOUND)
#endif

// The endpoint's own GUID in text form, the last part of its identifier and the name of its
// key under ...\MMDevices\Audio\Render|Capture.
DEFINE_PROPERTYKEY(PKEY_AudioEndpoint_GUID, 0x1DA5D803, 0xD492, 0x4EDD, 0x8C, 0x23, 0xE0, 0xC0, 0xFF, 0xEE, 0x7F, 0x0E, 4);
DEFINE_PROPERTYKEY(PKEY_AudioEndpoint_FormFactor, 0x1DA5D803, 0xD492, 0x4EDD, 0x8C, 0x23, 0xE0, 0xC0, 0xFF, 0xEE, 0x7F, 0x0E, 0);
// The exclusive-mode format the engine opens an endpoint with by default (VT_BLOB of a
// WAVEFORMATEX or WAVEFORMATEXTENSIBLE).
DEFINE_PROPERTYKEY(PKEY_AudioEngine_DeviceFormat, 0xF19F064D, 0x082C, 0x4E27, 0xBC, 0x73, 0x68, 0x82, 0xA1, 0xBB, 0x8E, 0x4C, 0);

// {BCDE0395-E52F-467C-8E3D-C4579291692E}
DEFINE_GUID(CLSID_MMDeviceEnumerator, 0xBCDE0395, 0xE52F, 0x467C, 0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E);
// {A95664D2-9614-4F35-A746-DE8DB63617E6}
DEFINE_GUID(IID_IMMDeviceEnumerator, 0xA95664D2, 0x9614, 0x4F35, 0xA7, 0x46, 0xDE, 0x8D, 0xB6, 0x36, 0x17, 0xE6);
// {D666063F-1587-4E43-81F1-B948E807363F}
DEFINE_GUID(IID_IMMDevice, 0xD666063F, 0x1587, 0x4E43, 0x81, 0xF1, 0xB9, 0x48, 0xE8, 0x07, 0x36, 0x3F);
// {0BD7A1BE-7A1A-44DB-8397-CC5392387B5E}
DEFINE_GUID(IID_IMMDeviceCollection, 0x0BD7A1BE, 0x7A1A, 0x44DB, 0x83, 0x97, 0xCC, 0x53, 0x92, 0x38, 0x7B, 0x5E);
// {1BE09788-6894-4089-8586-9A2A6C265AC5}
DEFINE_GUID(IID_IMMEndpoint, 0x1BE09788, 0x6894, 0x4089, 0x85, 0x86, 0x9A, 0x2A, 0x6C, 0x26, 0x5A, 0xC5);
// {7991EEC9-7E89-4D85-8390-6C703CEC60C0}
DEFINE_GUID(IID_IMMNotificationClient, 0x7991EEC9, 0x7E89, 0x4D85, 0x83, 0x90, 0x6C, 0x70, 0x3C, 0xEC, 0x60, 0xC0);

// Implemented by a client; the enumerator calls it on a thread of its own choosing, and a
// callback must not block.
interface IMMNotificationClient : public IUnknown {
    STDMETHOD(OnDeviceStateChanged)(LPCWSTR pwstrDeviceId, DWORD dwNewState) PURE;
    STDMETHOD(OnDeviceAdded)(LPCWSTR pwstrDeviceId) PURE;
    STDMETHOD(OnDeviceRemoved)(LPCWSTR pwstrDeviceId) PURE;
    STDMETHOD(OnDefaultDeviceChanged)(EDataFlow flow, ERole role, LPCWSTR pwstrDefaultDeviceId) PURE;
    STDMETHOD(OnPropertyValueChanged)(LPCWSTR pwstrDeviceId, const PROPERTYKEY key) PURE;

protected:
    ~IMMNotificationClient() = default;
};

interface IMMDevice : public IUnknown {
    // Creates an object of the interface iid on the endpoint (IAudioClient ...).
    STDMETHOD(Activate)(REFIID iid, DWORD dwClsCtx, PROPVARIANT *pActivationParams, void **ppInterface) PURE;
    STDMETHOD(OpenPropertyStore)(DWORD stgmAccess, IPropertyStore **ppProperties) PURE;
    // The identifier is allocated with CoTaskMemAlloc; the caller frees it.
    STDMETHOD(GetId)(LPWSTR *ppstrId) PURE;
    STDMETHOD(GetState)(DWORD *pdwState) PURE;

protected:
    ~IMMDevice() = default;
};

interface IMMDeviceCollection : public IUnknown {
    STDMETHOD(GetCount)(UINT *pcDevices) PURE;
    STDMETHOD(Item)(UINT nDevice, IMMDevice **ppDevice) PURE;

protected:
    ~IMMDeviceCollection() = default;
};

interface IMMEndpoint : public IUnknown {
    STDMETHOD(GetDataFlow)(EDataFlow *pDataFlow) PURE;

protected:
    ~IMMEndpoint() = default;
};

interface IMMDeviceEnumerator : public IUnknown {
    STDMETHOD(EnumAudioEndpoints)(EDataFlow dataFlow, DWORD dwStateMask, IMMDeviceCollection **ppDevices) PURE;
    STDMETHOD(GetDefaultAudioEndpoint)(EDataFlow dataFlow, ERole role, IMMDevice **ppEndpoint) PURE;
    STDMETHOD(GetDevice)(LPCWSTR pwstrId, IMMDevice **ppDevice) PURE;
    STDMETHOD(RegisterEndpointNotificationCallback)(IMMNotificationClient *pClient) PURE;
    STDMETHOD(UnregisterEndpointNotificationCallback)(IMMNotificationClient *pClient) PURE;

protected:
    ~IMMDeviceEnumerator() = default;
};
