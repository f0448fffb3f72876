// Registry operations of the ASIO drivers' self-registration: the COM class keys under
// HKEY_CLASSES_ROOT\CLSID and the driver entry under HKEY_LOCAL_MACHINE\SOFTWARE\ASIO. Keys are
// opened in the calling process's registry view.
#pragma once
#include <windows.h>

// Path buffers of the registry operations, in characters.
constexpr int REG_PATH_CHARS = 360;

// Results of RegisterDriverServer and UnregisterDriverServer.
constexpr LONG COMREG_OK = 0;
constexpr LONG COMREG_MODULE_NOT_LOADED = -101;
constexpr LONG COMREG_NO_MODULE_PATH = -102;
constexpr LONG COMREG_CLSID_TEXT_FAILED = -103;
constexpr LONG COMREG_CLSID_TEXT_TOO_LONG = -104;
constexpr LONG COMREG_WRITE_FAILED = -105;

// 1 when root\path opens, 0 when not, -1 for a null path.
LONG KeyExists(HKEY root, LPCWSTR path);

// Creates root\path\name under an existing root\path; 0 also when it exists, else -1.
LONG createRegPath(HKEY root, LPCWSTR path, LPCWSTR name);

// Writes REG_SZ text without its terminating NUL (a null value name: the default value).
LONG SetStringValue(HKEY root, LPCWSTR path, LPCWSTR valueName, LPCWSTR text);

// Reads a value of any type when its size fits bufferBytes: 0, else -1. The buffer is not
// terminated here; callers pass a cleared one larger than bufferBytes.
LONG GetStringValue(HKEY root, LPCWSTR path, LPCWSTR valueName, LPWSTR buffer, DWORD bufferBytes);

// Deletes root\path\name with its whole subtree, children first. 0 when at least one key was
// deleted, else -1. A key that cannot be opened is left with its subtree.
LONG DeleteKeyTree(HKEY root, LPCWSTR path, LPCWSTR name);

// Registers the loaded module moduleFileName as the in-process server of clsid and as the ASIO
// driver driverName. Results: COMREG_OK, COMREG_MODULE_NOT_LOADED, COMREG_NO_MODULE_PATH,
// COMREG_CLSID_TEXT_FAILED, COMREG_CLSID_TEXT_TOO_LONG, or COMREG_WRITE_FAILED when a key or
// value could not be written (every write is still attempted).
LONG RegisterDriverServer(REFCLSID clsid, LPCWSTR moduleFileName, LPCWSTR driverName, LPCWSTR description,
                          LPCWSTR threadingModel);

// Removes the class keys of clsid and the ASIO entry driverName (SOFTWARE\ASIO itself stays).
// Nothing registered is not a failure.
LONG UnregisterDriverServer(REFCLSID clsid, LPCWSTR moduleFileName, LPCWSTR driverName);
