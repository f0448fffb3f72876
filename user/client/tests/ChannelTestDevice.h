// The device extension of the client tests' channel driver (ovmclientchdrv): what a test sets
// before it enables a device's audio interface, and what the driver records of the requests
// it answered. The driver answers the device channel protocol with these values and loops
// every WRITE back into the READs of the same device.
#pragma once
#include <wdm.h>
#include "../include/QelAsioIoctl.h"

#define CHANNEL_TEST_MAX_CAPS 16
#define CHANNEL_TEST_MAX_CALLS 256
#define CHANNEL_TEST_LOOP_BYTES 65536

// Function number (0x800..0x811) of a control code, as the failure mask and the call log use it.
#define CHANNEL_TEST_FUNCTION(Code) (((Code) >> 2) & 0xFFF)
#define CHANNEL_TEST_BIT(Code) (1u << (CHANNEL_TEST_FUNCTION(Code) - 0x800))

typedef struct _CHANNEL_TEST_DEVICE {
    // Set by the test before the interface is enabled.
    QELASIO_RATE_RANGE Range;
    ULONG CurrentRate;
    ULONG DsdNative;
    ULONG CaptureTransferMs;
    ULONG Position;
    ULONG StreamReset; // non-zero: READ and WRITE fail with STATUS_REINITIALIZATION_NEEDED (a WRITE
                       // ends the pended READs so as well) until START
    ULONG CapsCount;
    QELASIO_RATE_CAPS Caps[CHANNEL_TEST_MAX_CAPS];
    ULONG FailMask;  // CHANNEL_TEST_BIT(code): that code answers STATUS_UNSUCCESSFUL
    ULONG ShortMask; // CHANNEL_TEST_BIT(code): that code answers one byte short
    ULONG HoldPing;  // non-zero: PING is queued in HeldControl for the test to complete
    ULONG PrimeCaptureBytes; // START puts this many zero bytes in the loop, ahead of any WRITE

    // Recorded by the driver.
    LONG CallCount;
    ULONG Calls[CHANNEL_TEST_MAX_CALLS];    // function numbers, in order
    ULONG Sequence[CHANNEL_TEST_MAX_CALLS]; // the same calls numbered across every device
    QELASIO_PREPARE_REQUEST LastPrepare;
    ULONG LastSetPosition;
    LONG OpenHandles;
    LONG Owner; // 1 while a handle has acquired the channel
    LONG Running;
    PIRP volatile HeldControl;

    // Loopback of the data path, under Lock.
    KSPIN_LOCK Lock;
    LIST_ENTRY PendedReads;
    ULONG LoopRead;
    ULONG LoopFill;
    UCHAR Loop[CHANNEL_TEST_LOOP_BYTES];
} CHANNEL_TEST_DEVICE, *PCHANNEL_TEST_DEVICE;
