// The endpoint enumerator: enumeration by flow and state, devices by identifier, the endpoint
// property store and its registry copy, default endpoints and endpoint notifications.
#include "MmdevTestSupport.h"

#include <atomic>
#include <functiondiscoverykeys_devpkey.h>
#include <string>

using namespace mmdev_test;

namespace {

DEFINE_PROPERTYKEY(device_path_key, 0xB3F8FA53, 0x0004, 0x438E, 0x90, 0x03, 0x51, 0xA4, 0x6E, 0x13, 0x9B, 0xFC, 2);

std::wstring id_of(IMMDevice *device)
{
    LPWSTR id = nullptr;
    EXPECT_EQ(device->GetId(&id), S_OK);
    std::wstring text = id != nullptr ? id : L"";
    CoTaskMemFree(id);
    return text;
}

std::vector<std::wstring> enumerate(IMMDeviceEnumerator *enumerator, EDataFlow flow, DWORD mask)
{
    std::vector<std::wstring> ids;
    IMMDeviceCollection *collection = nullptr;
    EXPECT_EQ(enumerator->EnumAudioEndpoints(flow, mask, &collection), S_OK);
    if (collection == nullptr) {
        return ids;
    }
    UINT count = 0;
    EXPECT_EQ(collection->GetCount(&count), S_OK);
    for (UINT i = 0; i < count; ++i) {
        IMMDevice *device = nullptr;
        EXPECT_EQ(collection->Item(i, &device), S_OK);
        ids.push_back(id_of(device));
        device->Release();
    }
    IMMDevice *poison = reinterpret_cast<IMMDevice *>(1);
    EXPECT_EQ(collection->Item(count, &poison), E_INVALIDARG);
    EXPECT_EQ(poison, nullptr);
    collection->Release();
    return ids;
}

std::wstring string_property(IMMDevice *device, const PROPERTYKEY &key)
{
    IPropertyStore *store = nullptr;
    EXPECT_EQ(device->OpenPropertyStore(STGM_READ, &store), S_OK);
    PROPVARIANT value;
    PropVariantInit(&value);
    EXPECT_EQ(store->GetValue(key, &value), S_OK);
    std::wstring text = value.vt == VT_LPWSTR ? value.pwszVal : L"<not a string>";
    PropVariantClear(&value);
    store->Release();
    return text;
}

class notification_recorder final : public IMMNotificationClient {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        *ppv = (riid == IID_IUnknown || riid == IID_IMMNotificationClient) ? this : nullptr;
        return *ppv != nullptr ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    STDMETHODIMP OnDeviceStateChanged(LPCWSTR id, DWORD state) override
    {
        log(L"state " + std::to_wstring(state) + L" " + id);
        return S_OK;
    }
    STDMETHODIMP OnDeviceAdded(LPCWSTR id) override
    {
        log(std::wstring(L"added ") + id);
        return S_OK;
    }
    STDMETHODIMP OnDeviceRemoved(LPCWSTR id) override
    {
        log(std::wstring(L"removed ") + id);
        return S_OK;
    }
    STDMETHODIMP OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR id) override
    {
        log(L"default " + std::to_wstring(flow) + L"/" + std::to_wstring(role) + L" " + id);
        return S_OK;
    }
    STDMETHODIMP OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override { return S_OK; }

    std::vector<std::wstring> events()
    {
        std::lock_guard<std::mutex> guard(lock);
        return log_lines;
    }
    std::atomic<ULONG> refs{1};

private:
    void log(const std::wstring &line)
    {
        std::lock_guard<std::mutex> guard(lock);
        log_lines.push_back(line);
    }
    std::mutex lock;
    std::vector<std::wstring> log_lines;
};

using DeviceEnumeratorTest = MmdevTest;

TEST_F(DeviceEnumeratorTest, EnumeratesActiveEndpointsPerFlowInArrivalOrder)
{
    const std::wstring render1 = add_endpoint(platform::audio_flow::render, 1);
    const std::wstring capture = add_endpoint(platform::audio_flow::capture, 2);
    const std::wstring render2 = add_endpoint(platform::audio_flow::render, 3);
    ASSERT_FALSE(render1.empty());
    EXPECT_EQ(render1.rfind(L"{0.0.0.00000000}.{", 0), 0u);
    EXPECT_EQ(capture.rfind(L"{0.0.1.00000000}.{", 0), 0u);

    EXPECT_EQ(enumerate(m_enumerator, eRender, DEVICE_STATE_ACTIVE), (std::vector<std::wstring>{render1, render2}));
    EXPECT_EQ(enumerate(m_enumerator, eCapture, DEVICE_STATE_ACTIVE), (std::vector<std::wstring>{capture}));
    EXPECT_EQ(enumerate(m_enumerator, eAll, DEVICE_STATE_ACTIVE).size(), 3u);

    ASSERT_TRUE(platform::audio_endpoint_remove(render1));
    EXPECT_EQ(enumerate(m_enumerator, eRender, DEVICE_STATE_ACTIVE), (std::vector<std::wstring>{render2}));
    EXPECT_EQ(enumerate(m_enumerator, eRender, DEVICE_STATE_NOTPRESENT), (std::vector<std::wstring>{render1}));
    EXPECT_EQ(enumerate(m_enumerator, eRender, DEVICE_STATEMASK_ALL), (std::vector<std::wstring>{render1, render2}));
}

TEST_F(DeviceEnumeratorTest, RefusesBadEnumerationArguments)
{
    IMMDeviceCollection *poison = reinterpret_cast<IMMDeviceCollection *>(1);
    EXPECT_EQ(m_enumerator->EnumAudioEndpoints(static_cast<EDataFlow>(3), DEVICE_STATE_ACTIVE, &poison), E_INVALIDARG);
    EXPECT_EQ(poison, nullptr);
    EXPECT_EQ(m_enumerator->EnumAudioEndpoints(eRender, 0x10, &poison), E_INVALIDARG);
    EXPECT_EQ(m_enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, nullptr), E_POINTER);
}

TEST_F(DeviceEnumeratorTest, GetDeviceFindsPresentAndRemovedEndpointsButNotUnknownOnes)
{
    const std::wstring id = add_endpoint(platform::audio_flow::render, 1);
    IMMDevice *dev = device(id);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(id_of(dev), id);
    DWORD state = 0;
    EXPECT_EQ(dev->GetState(&state), S_OK);
    EXPECT_EQ(state, static_cast<DWORD>(DEVICE_STATE_ACTIVE));
    IMMEndpoint *endpoint = nullptr;
    ASSERT_EQ(dev->QueryInterface(IID_IMMEndpoint, reinterpret_cast<void **>(&endpoint)), S_OK);
    EDataFlow flow = eAll;
    EXPECT_EQ(endpoint->GetDataFlow(&flow), S_OK);
    EXPECT_EQ(flow, eRender);
    endpoint->Release();

    ASSERT_TRUE(platform::audio_endpoint_remove(id));
    EXPECT_EQ(dev->GetState(&state), S_OK);
    EXPECT_EQ(state, static_cast<DWORD>(DEVICE_STATE_NOTPRESENT));
    void *client = reinterpret_cast<void *>(1);
    EXPECT_EQ(dev->Activate(IID_IAudioClient, CLSCTX_INPROC_SERVER, nullptr, &client), AUDCLNT_E_DEVICE_INVALIDATED);
    EXPECT_EQ(client, nullptr);
    dev->Release();

    IMMDevice *missing = reinterpret_cast<IMMDevice *>(1);
    EXPECT_EQ(m_enumerator->GetDevice(L"{0.0.0.00000000}.{00000000-0000-0000-0000-000000000000}", &missing), E_NOTFOUND);
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(m_enumerator->GetDevice(nullptr, &missing), E_POINTER);
}

TEST_F(DeviceEnumeratorTest, PropertyStoreAndRegistryHoldTheEndpointsNamesGuidAndDevicePath)
{
    const std::wstring path = L"{1}.USB\\VID_1234&PID_5678&MI_00\\7&1D2E3F&0&0000";
    const std::wstring id = add_endpoint(platform::audio_flow::capture, 7, path);
    IMMDevice *dev = device(id);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(string_property(dev, PKEY_Device_FriendlyName), L"Speakers (Test 7)");
    EXPECT_EQ(string_property(dev, PKEY_DeviceInterface_FriendlyName), L"Test 7");
    EXPECT_EQ(string_property(dev, device_path_key), path);
    const std::wstring guid = string_property(dev, PKEY_AudioEndpoint_GUID);
    EXPECT_EQ(guid, L"{5eed0007-1111-4222-8333-444455556666}");
    EXPECT_EQ(id, L"{0.0.1.00000000}." + guid);

    IPropertyStore *store = nullptr;
    ASSERT_EQ(dev->OpenPropertyStore(STGM_READ, &store), S_OK);
    PROPVARIANT value;
    value.vt = VT_UI4;
    const PROPERTYKEY absent = {test_guid(99), 1};
    EXPECT_EQ(store->GetValue(absent, &value), S_OK);
    EXPECT_EQ(value.vt, VT_EMPTY);
    EXPECT_EQ(store->SetValue(absent, &value), STG_E_ACCESSDENIED);
    store->Release();
    IPropertyStore *writable = reinterpret_cast<IPropertyStore *>(1);
    EXPECT_EQ(dev->OpenPropertyStore(STGM_READWRITE, &writable), E_ACCESSDENIED);
    EXPECT_EQ(writable, nullptr);
    dev->Release();

    const std::wstring key_path =
        L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio\\Capture\\" + guid + L"\\Properties";
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key), ERROR_SUCCESS);
    WCHAR text[256] = {};
    DWORD type = 0;
    DWORD size = sizeof(text);
    EXPECT_EQ(RegQueryValueExW(key, L"{b3f8fa53-0004-438e-9003-51a46e139bfc},2", nullptr, &type,
                               reinterpret_cast<BYTE *>(text), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(std::wstring(text), path);
    EXPECT_EQ(size, (path.size() + 1) * sizeof(WCHAR));
    RegCloseKey(key);
}

TEST_F(DeviceEnumeratorTest, DefaultEndpointIsTheFirstActiveOneUntilAnotherIsChosen)
{
    IMMDevice *dev = reinterpret_cast<IMMDevice *>(1);
    EXPECT_EQ(m_enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &dev), E_NOTFOUND);
    EXPECT_EQ(dev, nullptr);
    const std::wstring first = add_endpoint(platform::audio_flow::render, 1);
    const std::wstring second = add_endpoint(platform::audio_flow::render, 2);
    ASSERT_EQ(m_enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &dev), S_OK);
    EXPECT_EQ(id_of(dev), first);
    dev->Release();
    ASSERT_TRUE(platform::audio_endpoint_set_default(second));
    ASSERT_EQ(m_enumerator->GetDefaultAudioEndpoint(eRender, eMultimedia, &dev), S_OK);
    EXPECT_EQ(id_of(dev), second);
    dev->Release();
    EXPECT_EQ(m_enumerator->GetDefaultAudioEndpoint(eAll, eConsole, &dev), E_INVALIDARG);
}

TEST_F(DeviceEnumeratorTest, NotificationClientsHearArrivalRemovalAndDefaultChangesUntilUnregistered)
{
    notification_recorder recorder;
    ASSERT_EQ(m_enumerator->RegisterEndpointNotificationCallback(&recorder), S_OK);
    const std::wstring id = add_endpoint(platform::audio_flow::render, 1);
    ASSERT_TRUE(platform::audio_endpoint_set_default(id));
    ASSERT_TRUE(platform::audio_endpoint_remove(id));
    EXPECT_FALSE(platform::audio_endpoint_remove(id));
    platform::audio_notifications_drain();
    EXPECT_EQ(recorder.events(), (std::vector<std::wstring>{L"added " + id, L"state 1 " + id, L"default 0/0 " + id,
                                                            L"default 0/1 " + id, L"default 0/2 " + id,
                                                            L"state 4 " + id}));

    // The endpoint comes back under the same identifier.
    EXPECT_EQ(add_endpoint(platform::audio_flow::render, 1), id);
    EXPECT_TRUE(add_endpoint(platform::audio_flow::render, 1).empty());
    platform::audio_endpoint_desc formatless;
    formatless.guid = test_guid(50);
    EXPECT_TRUE(platform::audio_endpoint_add(formatless).empty());
    ASSERT_EQ(m_enumerator->UnregisterEndpointNotificationCallback(&recorder), S_OK);
    EXPECT_EQ(m_enumerator->UnregisterEndpointNotificationCallback(&recorder), E_NOTFOUND);
    platform::audio_notifications_drain();
    const size_t heard = recorder.events().size();
    add_endpoint(platform::audio_flow::render, 2);
    platform::audio_notifications_drain();
    EXPECT_EQ(recorder.events().size(), heard);
    EXPECT_EQ(recorder.refs.load(), 1u);
}

} // namespace
