// Kernel API: ex.
#pragma once
#include <ntdef.h>
#include <ntstatus.h>
