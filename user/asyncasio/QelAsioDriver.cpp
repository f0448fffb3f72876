// Creation and interface identity of the asynchronous ASIO driver's COM object.
#include "QelAsioDriver.h"
#include "AsioDriverIds.h"
#include <new>

CQelAsioDriver::CQelAsioDriver(IUnknown *outer) : CUnknown(L"QelAsioDriver", outer) {}

INonDelegatingUnknown *CQelAsioDriver::CreateInstance(IUnknown *outer, HRESULT *phr)
{
    CQelAsioDriver *driver = new (std::nothrow) CQelAsioDriver(outer);
    if (driver == nullptr) {
        *phr = E_OUTOFMEMORY;
        return nullptr;
    }
    return driver;
}

HRESULT STDMETHODCALLTYPE CQelAsioDriver::InnerQueryInterface(REFIID riid, void **ppv)
{
    if (IsEqualCLSID(riid, CLSID_QelAsioDriver)) {
        return ReturnInterface(static_cast<IUnknown *>(this), ppv);
    }
    return CUnknown::InnerQueryInterface(riid, ppv);
}
