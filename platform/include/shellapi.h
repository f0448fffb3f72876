// Shell API (shell32): command-line splitting.
#pragma once
#include <windef.h>

extern "C" {

// Splits a command line as the C runtime does: the first argument ends at the first blank
// outside quotes and takes no escapes; later ones follow the backslash-and-quote rules. An
// empty line gives the current program's path as the one argument. The array and its
// strings are one block, freed with LocalFree. Null with ERROR_INVALID_PARAMETER when
// pNumArgs is null.
LPWSTR *WINAPI CommandLineToArgvW(LPCWSTR lpCmdLine, int *pNumArgs);

} // extern "C"
