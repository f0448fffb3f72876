// Kernel API: rtl.
#pragma once
#include <ntdef.h>
#include <ntstatus.h>
