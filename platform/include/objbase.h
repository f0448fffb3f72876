// Win32 API: the COM base header.
#pragma once
#include <windows.h>
#include <unknwn.h>
#include <combaseapi.h>
#include <objidl.h>
