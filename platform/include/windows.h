// The Win32 API. Each module's declarations live in their own header.
#pragma once
#include <ntdef.h>
#include <ntstatus.h>
#include <windef.h>
#include <winerror.h>
#include <winbase.h>
#include <winnls.h>
#include <winreg.h>
#include <winioctl.h>
#include <winuser.h>
