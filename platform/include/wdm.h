// The kernel-mode driver API. The pieces live in km/, one per executive component.
#pragma once
#include <ntdef.h>
#include <ntstatus.h>
#include <km/wdm_rtl.h>
#include <km/wdm_ke.h>
#include <km/wdm_ex.h>
#include <km/wdm_io.h>
#include <km/wdm_zw.h>
#include <km/wdm_etw.h>
