// The property store interface through which devices and audio endpoints expose their
// properties.
#pragma once
#include <objbase.h>
#include <propidl.h>
#include <propkeydef.h>

// Storage access modes used to open a property store.
#ifndef STGM_READ
#define STGM_READ 0x00000000L
#define STGM_WRITE 0x00000001L
#define STGM_READWRITE 0x00000002L
#endif
#ifndef STG_E_ACCESSDENIED
#define STG_E_ACCESSDENIED ((HRESULT)0x80030005L)
#endif

// {886D8EEB-8CF2-4446-8D02-CDBA1DBDCF99}
DEFINE_GUID(IID_IPropertyStore, 0x886D8EEB, 0x8CF2, 0x4446, 0x8D, 0x02, 0xCD, 0xBA, 0x1D, 0xBD, 0xCF, 0x99);

interface IPropertyStore : public IUnknown {
    STDMETHOD(GetCount)(DWORD *cProps) PURE;
    STDMETHOD(GetAt)(DWORD iProp, PROPERTYKEY *pkey) PURE;
    // A property the store lacks gives S_OK with a VT_EMPTY value. The caller frees the value
    // with PropVariantClear.
    STDMETHOD(GetValue)(REFPROPERTYKEY key, PROPVARIANT *pv) PURE;
    STDMETHOD(SetValue)(REFPROPERTYKEY key, REFPROPVARIANT propvar) PURE;
    STDMETHOD(Commit)() PURE;

protected:
    ~IPropertyStore() = default;
};
