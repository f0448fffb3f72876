// Win32 API: self-registration entry points of in-process servers and their results.
#pragma once
#include <objbase.h>

#ifndef SELFREG_E_TYPELIB
#define SELFREG_E_TYPELIB ((HRESULT)0x80040200L)
#endif
#ifndef SELFREG_E_CLASS
#define SELFREG_E_CLASS ((HRESULT)0x80040201L)
#endif

STDAPI DllRegisterServer();
STDAPI DllUnregisterServer();
