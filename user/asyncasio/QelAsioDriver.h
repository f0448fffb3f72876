// The asynchronous ASIO driver's COM object. For now it carries only its COM identity: it
// answers its class identifier (which hosts pass as the interface identifier) with its own
// face, aggregates like every object of the COM base, and counts toward DllCanUnloadNow.
#pragma once
#include "combase/ComBase.h"

class CQelAsioDriver : public IUnknown, public CUnknown {
public:
    // The class-template creation function.
    static INonDelegatingUnknown *CreateInstance(IUnknown *outer, HRESULT *phr);

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override { return OuterUnknown()->QueryInterface(riid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() override { return OuterUnknown()->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return OuterUnknown()->Release(); }

    HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID riid, void **ppv) override;

private:
    explicit CQelAsioDriver(IUnknown *outer);
    ~CQelAsioDriver() override = default;
};
