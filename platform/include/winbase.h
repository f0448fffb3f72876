// Win32 API: winbase.
#pragma once
#include <windef.h>
#include <winerror.h>
