// The objects of the endpoint enumerator: MMDeviceEnumerator, device collections, endpoint
// devices with IMMEndpoint, and the read-only endpoint property store.
#include "mmdevapi_private.h"

#include <atomic>
#include <new>
#include <audioclient.h>
#include <functiondiscoverykeys_devpkey.h>
#include <platform/com_runtime.h>

namespace platform::mmdev {
namespace {

// {B3F8FA53-0004-438E-9003-51A46E139BFC},2: the device path of the device behind an endpoint.
DEFINE_PROPERTYKEY(k_device_path_key, 0xB3F8FA53, 0x0004, 0x438E, 0x90, 0x03, 0x51, 0xA4, 0x6E, 0x13, 0x9B, 0xFC, 2);

template <typename Base> class ref_counted : public Base {
public:
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG left = --m_refs;
        if (left == 0) {
            delete this;
        }
        return left;
    }

protected:
    virtual ~ref_counted() = default;
    std::atomic<ULONG> m_refs{1};
};

HRESULT answer(IUnknown *self, void **ppv)
{
    self->AddRef();
    *ppv = self;
    return S_OK;
}

class property_store final : public ref_counted<IPropertyStore> {
public:
    explicit property_store(std::shared_ptr<endpoint> ep)
    {
        add(PKEY_Device_FriendlyName, ep->desc.friendly_name);
        add(PKEY_Device_DeviceDesc, ep->desc.description);
        add(PKEY_DeviceInterface_FriendlyName, ep->desc.interface_name);
        add(PKEY_AudioEndpoint_GUID, ep->guid_text);
        add(k_device_path_key, ep->desc.device_path);
    }

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IPropertyStore) {
            return answer(this, ppv);
        }
        return E_NOINTERFACE;
    }
    STDMETHODIMP GetCount(DWORD *cProps) override
    {
        if (cProps == nullptr) {
            return E_POINTER;
        }
        *cProps = static_cast<DWORD>(m_values.size());
        return S_OK;
    }
    STDMETHODIMP GetAt(DWORD iProp, PROPERTYKEY *pkey) override
    {
        if (pkey == nullptr) {
            return E_POINTER;
        }
        if (iProp >= m_values.size()) {
            return E_INVALIDARG;
        }
        *pkey = m_values[iProp].first;
        return S_OK;
    }
    STDMETHODIMP GetValue(REFPROPERTYKEY key, PROPVARIANT *pv) override
    {
        if (pv == nullptr) {
            return E_POINTER;
        }
        PropVariantInit(pv);
        for (const auto &value : m_values) {
            if (IsEqualPropertyKey(value.first, key)) {
                pv->pwszVal = task_string(value.second);
                if (pv->pwszVal == nullptr) {
                    return E_OUTOFMEMORY;
                }
                pv->vt = VT_LPWSTR;
                break;
            }
        }
        return S_OK;
    }
    STDMETHODIMP SetValue(REFPROPERTYKEY, REFPROPVARIANT) override { return STG_E_ACCESSDENIED; }
    STDMETHODIMP Commit() override { return STG_E_ACCESSDENIED; }

private:
    void add(const PROPERTYKEY &key, const std::wstring &text)
    {
        if (!text.empty()) {
            m_values.emplace_back(key, text);
        }
    }
    std::vector<std::pair<PROPERTYKEY, std::wstring>> m_values;
};

// IMMDevice and IMMEndpoint on one object.
class mm_device final : public ref_counted<IMMDevice>, public IMMEndpoint {
public:
    explicit mm_device(std::shared_ptr<endpoint> ep) : m_endpoint(std::move(ep)) {}

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IMMDevice) {
            return answer(static_cast<IMMDevice *>(this), ppv);
        }
        if (riid == IID_IMMEndpoint) {
            AddRef();
            *ppv = static_cast<IMMEndpoint *>(this);
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ref_counted<IMMDevice>::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return ref_counted<IMMDevice>::Release(); }

    STDMETHODIMP Activate(REFIID iid, DWORD, PROPVARIANT *, void **ppInterface) override
    {
        if (ppInterface == nullptr) {
            return E_POINTER;
        }
        *ppInterface = nullptr;
        if (iid != IID_IAudioClient) {
            return E_NOINTERFACE;
        }
        if (current_state() != DEVICE_STATE_ACTIVE) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        IAudioClient *client = create_audio_client(m_endpoint);
        if (client == nullptr) {
            return E_OUTOFMEMORY;
        }
        *ppInterface = client;
        return S_OK;
    }
    STDMETHODIMP OpenPropertyStore(DWORD stgmAccess, IPropertyStore **ppProperties) override
    {
        if (ppProperties == nullptr) {
            return E_POINTER;
        }
        *ppProperties = nullptr;
        if (stgmAccess != STGM_READ) {
            return E_ACCESSDENIED;
        }
        *ppProperties = new (std::nothrow) property_store(m_endpoint);
        return *ppProperties != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP GetId(LPWSTR *ppstrId) override
    {
        if (ppstrId == nullptr) {
            return E_POINTER;
        }
        *ppstrId = task_string(m_endpoint->id);
        return *ppstrId != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP GetState(DWORD *pdwState) override
    {
        if (pdwState == nullptr) {
            return E_POINTER;
        }
        *pdwState = current_state();
        return S_OK;
    }
    STDMETHODIMP GetDataFlow(EDataFlow *pDataFlow) override
    {
        if (pDataFlow == nullptr) {
            return E_POINTER;
        }
        *pDataFlow = static_cast<EDataFlow>(m_endpoint->desc.flow);
        return S_OK;
    }

private:
    DWORD current_state() const
    {
        std::lock_guard<std::mutex> guard(table_lock());
        return m_endpoint->state;
    }
    std::shared_ptr<endpoint> m_endpoint;
};

class device_collection final : public ref_counted<IMMDeviceCollection> {
public:
    explicit device_collection(std::vector<std::shared_ptr<endpoint>> endpoints) : m_endpoints(std::move(endpoints)) {}

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IMMDeviceCollection) {
            return answer(this, ppv);
        }
        return E_NOINTERFACE;
    }
    STDMETHODIMP GetCount(UINT *pcDevices) override
    {
        if (pcDevices == nullptr) {
            return E_POINTER;
        }
        *pcDevices = static_cast<UINT>(m_endpoints.size());
        return S_OK;
    }
    STDMETHODIMP Item(UINT nDevice, IMMDevice **ppDevice) override
    {
        if (ppDevice == nullptr) {
            return E_POINTER;
        }
        *ppDevice = nullptr;
        if (nDevice >= m_endpoints.size()) {
            return E_INVALIDARG;
        }
        *ppDevice = create_device(m_endpoints[nDevice]);
        return *ppDevice != nullptr ? S_OK : E_OUTOFMEMORY;
    }

private:
    std::vector<std::shared_ptr<endpoint>> m_endpoints;
};

class device_enumerator final : public ref_counted<IMMDeviceEnumerator> {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IMMDeviceEnumerator) {
            return answer(this, ppv);
        }
        return E_NOINTERFACE;
    }
    STDMETHODIMP EnumAudioEndpoints(EDataFlow dataFlow, DWORD dwStateMask, IMMDeviceCollection **ppDevices) override
    {
        if (ppDevices == nullptr) {
            return E_POINTER;
        }
        *ppDevices = nullptr;
        if (dataFlow < eRender || dataFlow > eAll || (dwStateMask & ~DEVICE_STATEMASK_ALL) != 0) {
            return E_INVALIDARG;
        }
        *ppDevices = create_collection(list_endpoints(dataFlow, dwStateMask));
        return *ppDevices != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP GetDefaultAudioEndpoint(EDataFlow dataFlow, ERole role, IMMDevice **ppEndpoint) override
    {
        if (ppEndpoint == nullptr) {
            return E_POINTER;
        }
        *ppEndpoint = nullptr;
        if ((dataFlow != eRender && dataFlow != eCapture) || role < eConsole || role > eCommunications) {
            return E_INVALIDARG;
        }
        std::shared_ptr<endpoint> ep = default_endpoint(dataFlow);
        if (!ep) {
            return E_NOTFOUND;
        }
        *ppEndpoint = create_device(ep);
        return *ppEndpoint != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP GetDevice(LPCWSTR pwstrId, IMMDevice **ppDevice) override
    {
        if (pwstrId == nullptr || ppDevice == nullptr) {
            return E_POINTER;
        }
        *ppDevice = nullptr;
        std::shared_ptr<endpoint> ep = find_endpoint(pwstrId);
        if (!ep) {
            return E_NOTFOUND;
        }
        *ppDevice = create_device(ep);
        return *ppDevice != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP RegisterEndpointNotificationCallback(IMMNotificationClient *pClient) override
    {
        if (pClient == nullptr) {
            return E_POINTER;
        }
        register_notification_client(pClient);
        return S_OK;
    }
    STDMETHODIMP UnregisterEndpointNotificationCallback(IMMNotificationClient *pClient) override
    {
        if (pClient == nullptr) {
            return E_POINTER;
        }
        return unregister_notification_client(pClient) ? S_OK : E_NOTFOUND;
    }
};

struct builtin_registration {
    builtin_registration() { com_register_builtin_class(CLSID_MMDeviceEnumerator, create_enumerator); }
} g_registration;

} // namespace

IMMDevice *create_device(std::shared_ptr<endpoint> ep)
{
    return new (std::nothrow) mm_device(std::move(ep));
}

IMMDeviceCollection *create_collection(std::vector<std::shared_ptr<endpoint>> endpoints)
{
    return new (std::nothrow) device_collection(std::move(endpoints));
}

HRESULT create_enumerator(IUnknown *outer, REFIID riid, void **ppv)
{
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (outer != nullptr) {
        return CLASS_E_NOAGGREGATION;
    }
    auto *enumerator = new (std::nothrow) device_enumerator();
    if (enumerator == nullptr) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = enumerator->QueryInterface(riid, ppv);
    enumerator->Release();
    return hr;
}

} // namespace platform::mmdev

extern "C" HRESULT WINAPI PropVariantClear(PROPVARIANT *pvar)
{
    if (pvar == nullptr) {
        return E_INVALIDARG;
    }
    switch (pvar->vt) {
    case VT_LPWSTR:
        CoTaskMemFree(pvar->pwszVal);
        break;
    case VT_LPSTR:
        CoTaskMemFree(pvar->pszVal);
        break;
    case VT_CLSID:
        CoTaskMemFree(pvar->puuid);
        break;
    case VT_BLOB:
        CoTaskMemFree(pvar->blob.pBlobData);
        break;
    default:
        break;
    }
    PropVariantInit(pvar);
    return S_OK;
}
