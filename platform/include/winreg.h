// Win32 API: winreg.
#pragma once
#include <windef.h>
#include <winerror.h>
