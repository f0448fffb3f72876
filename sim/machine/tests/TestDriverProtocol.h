// The control code and report of the machine's test driver (ovmtestdrv): one request runs each
// kernel facility once and reports what ran.
#pragma once
#include <ntdef.h>

#define OVMTEST_DEVICE_NAME L"\\Device\\OvmTest"
#define OVMTEST_LINK_NAME L"\\DosDevices\\OvmTest"
#define OVMTEST_USER_PATH L"\\\\.\\OvmTest"

// METHOD_BUFFERED; no input; output: OVMTEST_REPORT.
#define IOCTL_OVMTEST_EXERCISE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)

typedef struct _OVMTEST_REPORT {
    NTSTATUS LowerStatus;        // status the lower device completed the forwarded IRP with
    ULONG CompletionRoutineRuns; // runs of the completion routine set on the forwarded IRP
    ULONG CompletionIrql;
    ULONG DpcRuns;
    ULONG DpcIrql;
    ULONG TimerDpcRuns;
    ULONG WorkItemRuns;
    ULONG WorkItemIrql;
    ULONG ThreadRuns;
    ULONG ThreadIrql;
    ULONG CreateCount;           // CREATE requests seen on the device so far
} OVMTEST_REPORT, *POVMTEST_REPORT;
