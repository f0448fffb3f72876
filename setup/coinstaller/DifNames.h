// Names of the install function codes, for tracing.
#pragma once
#include <windows.h>
#include <setupapi.h>

// The DIF_ name of a code from DIF_SELECTDEVICE to DIF_FINISHINSTALL_ACTION, or null.
PCSTR DifName(DI_FUNCTION InstallFunction);
