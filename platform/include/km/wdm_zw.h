// Kernel API: zw.
#pragma once
#include <ntdef.h>
#include <ntstatus.h>
