// The class factory over the module's class-template table, the lock count, and the exported
// entry points DllGetClassObject and DllCanUnloadNow.
#include "ComBase.h"
#include <UserTrace.h>
#include <new>

namespace {

// Changed by LockServer only, which the COM runtime calls on the creating thread.
LONG g_lockCount = 0;

const ClassTemplate *FindTemplate(REFCLSID rclsid)
{
    for (int i = 0; i < ClassTemplateCount; ++i) {
        if (IsEqualCLSID(*ClassTemplates[i].clsid, rclsid)) {
            return &ClassTemplates[i];
        }
    }
    return nullptr;
}

} // namespace

LONG ComBaseLockCount()
{
    return g_lockCount;
}

CClassFactory::CClassFactory(const ClassTemplate *classTemplate) : m_refCount(0), m_template(classTemplate) {}

STDMETHODIMP CClassFactory::QueryInterface(REFIID riid, void **ppv)
{
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
        *ppv = static_cast<IClassFactory *>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CClassFactory::AddRef()
{
    return (ULONG)++m_refCount;
}

STDMETHODIMP_(ULONG) CClassFactory::Release()
{
    const LONG count = --m_refCount;
    if (count == 0) {
        delete this;
        return 0;
    }
    return (ULONG)count;
}

// Aggregation is accepted only for IID_IUnknown. A failed query destroys the new object again.
STDMETHODIMP CClassFactory::CreateInstance(IUnknown *pUnkOuter, REFIID riid, void **ppv)
{
    if (ppv == nullptr) {
        return E_POINTER;
    }
    if (pUnkOuter != nullptr && !IsEqualIID(riid, IID_IUnknown)) {
        return E_NOINTERFACE;
    }
    HRESULT hr = S_OK;
    INonDelegatingUnknown *object = m_template->create(pUnkOuter, &hr);
    if (object == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ls not created", m_template->name);
        return E_OUTOFMEMORY;
    }
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ls failed: 0x%08X", m_template->name, (unsigned)hr);
        delete object;
        return hr;
    }
    object->InnerAddRef();
    hr = object->InnerQueryInterface(riid, ppv);
    object->InnerRelease();
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "%ls: interface not answered: 0x%08X", m_template->name,
                    (unsigned)hr);
    }
    return hr;
}

STDMETHODIMP CClassFactory::LockServer(BOOL fLock)
{
    if (fLock) {
        ++g_lockCount;
    } else {
        --g_lockCount;
    }
    return S_OK;
}

// The interface identifier is checked before the class table is searched. A null ppv (which
// the table search would otherwise write through) gives E_POINTER.
STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv)
{
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "not a factory interface");
        return E_NOINTERFACE;
    }
    const ClassTemplate *classTemplate = FindTemplate(rclsid);
    if (classTemplate == nullptr) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "class not available");
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    if (ppv == nullptr) {
        return E_POINTER;
    }
    CClassFactory *factory = new (std::nothrow) CClassFactory(classTemplate);
    *ppv = factory;
    if (factory == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "no memory for the class factory");
        return E_OUTOFMEMORY;
    }
    factory->AddRef();
    return S_OK;
}

// Class factories do not count: only live objects and outstanding server locks keep the
// library loaded.
STDAPI DllCanUnloadNow()
{
    return (g_lockCount > 0 || ComBaseObjectCount() != 0) ? S_FALSE : S_OK;
}
