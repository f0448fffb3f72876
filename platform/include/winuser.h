// Win32 API: winuser.
#pragma once
#include <windef.h>
#include <winerror.h>
