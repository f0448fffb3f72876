// Win32 API: winioctl.
#pragma once
#include <windef.h>
#include <winerror.h>
