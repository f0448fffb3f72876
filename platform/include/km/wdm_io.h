// Kernel API: io.
#pragma once
#include <ntdef.h>
#include <ntstatus.h>
