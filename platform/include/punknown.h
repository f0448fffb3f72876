// The kernel's view of IUnknown for COM-style driver objects, and the non-delegating unknown
// that an aggregatable object implements beside it.
#pragma once
#include <unknwn.h>

DECLARE_INTERFACE(INonDelegatingUnknown)
{
    STDMETHOD(NonDelegatingQueryInterface)(REFIID riid, PVOID *ppvObject) PURE;
    STDMETHOD_(ULONG, NonDelegatingAddRef)() PURE;
    STDMETHOD_(ULONG, NonDelegatingRelease)() PURE;

protected:
    ~INonDelegatingUnknown() = default;
};
typedef INonDelegatingUnknown *PNONDELEGATINGUNKNOWN;
