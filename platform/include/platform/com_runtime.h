// The stand-in's COM runtime seen from other platform modules: classes served by the platform
// itself (not by a registered module), such as the audio endpoint enumerator.
#pragma once
#include <unknwn.h>

namespace platform {

// Creates an instance of a built-in class and queries riid on it.
using com_builtin_create = HRESULT (*)(IUnknown *outer, REFIID riid, void **ppv);

// Registers a class that CoCreateInstance serves without the registry. Built-in classes stay
// registered across machine boots (a module registers them once, from a static initialiser).
void com_register_builtin_class(const CLSID &clsid, com_builtin_create create);

} // namespace platform
