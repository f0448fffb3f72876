// The control codes and records of the machine's USB test driver (ovmusbtestdrv): a function
// driver for a USB audio device that starts through PnP, reads the descriptors, configures the
// device and streams isochronous transfers on request.
#pragma once
#include <ntdef.h>

#define OVMUSBTEST_DEVICE_NAME L"\\Device\\OvmUsbTest"
#define OVMUSBTEST_LINK_NAME L"\\DosDevices\\OvmUsbTest"
#define OVMUSBTEST_USER_PATH L"\\\\.\\OvmUsbTest"

// METHOD_BUFFERED; no input; output OVMUSBTEST_STATE.
#define IOCTL_OVMUSBTEST_STATE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x910, METHOD_BUFFERED, FILE_ANY_ACCESS)
// METHOD_BUFFERED; input OVMUSBTEST_STREAM_REQUEST, output OVMUSBTEST_STREAM_REPORT.
#define IOCTL_OVMUSBTEST_STREAM CTL_CODE(FILE_DEVICE_UNKNOWN, 0x911, METHOD_BUFFERED, FILE_ANY_ACCESS)

typedef struct _OVMUSBTEST_STATE {
    ULONG Started;
    ULONG HighSpeed;
    USHORT VendorId;
    USHORT ProductId;
    USHORT BcdUsb;
    USHORT ConfigurationLength; // wTotalLength as read
    ULONG Interfaces;           // interfaces configured
    ULONG SampleRate;           // the render clock's rate, read with a class request (0: none)
    NTSTATUS RateStatus;
    ULONG BusFrame;             // QueryBusTime at the request
    ULONG SurpriseRemoved;
} OVMUSBTEST_STATE, *POVMUSBTEST_STATE;

typedef struct _OVMUSBTEST_STREAM_REQUEST {
    ULONG Transfers;   // per direction
    ULONG InFlight;    // per direction, at most 8
    ULONG TimeoutMs;
} OVMUSBTEST_STREAM_REQUEST, *POVMUSBTEST_STREAM_REQUEST;

typedef struct _OVMUSBTEST_STREAM_REPORT {
    NTSTATUS SelectStatus;
    ULONG OutCompleted;  // transfers completed with success
    ULONG InCompleted;
    ULONG OutFailed;     // transfers completed with an error status
    ULONG InFailed;
    NTSTATUS LastFailure;
    ULONG InBytes;       // bytes received
    ULONG OutBytes;
    ULONG WrongIrql;     // completions that ran below DISPATCH_LEVEL
    ULONG StartFrameGaps; // OUT transfers that did not start where the previous one ended
    ULONG TimedOut;
} OVMUSBTEST_STREAM_REPORT, *POVMUSBTEST_STREAM_REPORT;
