// A minimal in-process server for the COM runtime's tests: one class, whose objects answer
// IUnknown only, served through DllGetClassObject.
#include <objbase.h>
#include <atomic>
#include <new>

// {A1B2C3D4-0001-4000-8000-00AA00BB00CC}
DEFINE_GUID(CLSID_Ole32TestObject, 0xA1B2C3D4, 0x0001, 0x4000, 0x80, 0x00, 0x00, 0xAA, 0x00, 0xBB, 0x00, 0xCC);

namespace {

std::atomic<LONG> g_live{0};

class TestObject : public IUnknown {
public:
    TestObject() { g_live += 1; }
    virtual ~TestObject() { g_live -= 1; }
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (riid != IID_IUnknown) {
            return E_NOINTERFACE;
        }
        *ppv = this;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return (ULONG)++m_refs; }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG left = --m_refs;
        if (left == 0) {
            delete this;
        }
        return (ULONG)left;
    }

private:
    std::atomic<LONG> m_refs{0};
};

class TestFactory : public IClassFactory {
public:
    virtual ~TestFactory() = default;
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        *ppv = (riid == IID_IUnknown || riid == IID_IClassFactory) ? this : nullptr;
        if (*ppv == nullptr) {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return (ULONG)++m_refs; }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG left = --m_refs;
        if (left == 0) {
            delete this;
        }
        return (ULONG)left;
    }
    STDMETHODIMP CreateInstance(IUnknown *outer, REFIID riid, void **ppv) override
    {
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        auto *object = new (std::nothrow) TestObject();
        if (object == nullptr) {
            return E_OUTOFMEMORY;
        }
        object->AddRef();
        const HRESULT hr = object->QueryInterface(riid, ppv);
        object->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

private:
    std::atomic<LONG> m_refs{0};
};

} // namespace

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv)
{
    if (rclsid != CLSID_Ole32TestObject) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    auto *factory = new (std::nothrow) TestFactory();
    if (factory == nullptr) {
        return E_OUTOFMEMORY;
    }
    factory->AddRef();
    const HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

STDAPI DllCanUnloadNow()
{
    return g_live.load() == 0 ? S_OK : S_FALSE;
}
