// The device channel protocol between the asynchronous kernel driver and its user-mode clients:
// the seventeen control codes, the channel states and the records they carry (little-endian,
// fields back to back). Shared by kernel/asyncdrv and user/client.
#pragma once
#include <ntdef.h>

#define QELASIO_FUNCTION(Function) CTL_CODE(FILE_DEVICE_UNKNOWN, (Function), METHOD_BUFFERED, FILE_ANY_ACCESS)

#define IOCTL_QELASIO_GET_RATE_RANGE QELASIO_FUNCTION(0x800)
#define IOCTL_QELASIO_GET_RATE_CAPS QELASIO_FUNCTION(0x801)
#define IOCTL_QELASIO_GET_SAMPLE_RATE QELASIO_FUNCTION(0x802)
#define IOCTL_QELASIO_SET_SAMPLE_RATE QELASIO_FUNCTION(0x803)
#define IOCTL_QELASIO_GET_DSD_SUPPORT QELASIO_FUNCTION(0x804)
// Function 0x805 is not used; the driver answers it as an unknown code.
#define IOCTL_QELASIO_ACQUIRE QELASIO_FUNCTION(0x806)
#define IOCTL_QELASIO_PREPARE QELASIO_FUNCTION(0x807)
#define IOCTL_QELASIO_START QELASIO_FUNCTION(0x808)
#define IOCTL_QELASIO_STOP QELASIO_FUNCTION(0x809)
#define IOCTL_QELASIO_UNPREPARE QELASIO_FUNCTION(0x80A)
#define IOCTL_QELASIO_RELEASE QELASIO_FUNCTION(0x80B)
#define IOCTL_QELASIO_GET_CAPTURE_TRANSFER_MS QELASIO_FUNCTION(0x80C)
#define IOCTL_QELASIO_PING QELASIO_FUNCTION(0x80D)
#define IOCTL_QELASIO_GET_STREAM_RESET QELASIO_FUNCTION(0x80E)
#define IOCTL_QELASIO_START_CAPTURE QELASIO_FUNCTION(0x80F)
#define IOCTL_QELASIO_GET_POSITION QELASIO_FUNCTION(0x810)
#define IOCTL_QELASIO_SET_POSITION QELASIO_FUNCTION(0x811)

static_assert(IOCTL_QELASIO_GET_RATE_RANGE == 0x222000, "first control code");
static_assert(IOCTL_QELASIO_ACQUIRE == 0x222018, "0x805 is skipped, not renumbered");
static_assert(IOCTL_QELASIO_SET_POSITION == 0x222044, "last control code");

// The file name that opens a device channel on the device's audio interface.
#define QELASIO_CHANNEL_FILE_NAME L"\\asio"

// Per-handle channel states.
enum QELASIO_CHANNEL_STATE : ULONG {
    CHANNEL_CLOSED = 0,
    CHANNEL_OPEN = 1,
    CHANNEL_ACQUIRED = 2,
    CHANNEL_PREPARED = 3,
    CHANNEL_RUNNING = 4,
};

// PrepareRequest.Mode values.
#define QELASIO_MODE_PCM 0
#define QELASIO_MODE_DSD 1

#pragma pack(push, 1)

// Output of GET_RATE_RANGE: the lowest and highest rate of the device, Hz.
typedef struct _QELASIO_RATE_RANGE {
    ULONG Lowest;
    ULONG Highest;
} QELASIO_RATE_RANGE, *PQELASIO_RATE_RANGE;

// Input and output of GET_RATE_CAPS: Rate is the question; channels and container bits of the
// widest PCM format per direction are the answer (0 and 0 for a direction the device lacks).
typedef struct _QELASIO_RATE_CAPS {
    ULONG Rate;
    ULONG RenderChannels;
    ULONG RenderBits;
    ULONG CaptureChannels;
    ULONG CaptureBits;
} QELASIO_RATE_CAPS, *PQELASIO_RATE_CAPS;

// Input of PREPARE.
typedef struct _QELASIO_PREPARE_REQUEST {
    ULONG BufferFrames;   // frames per READ or WRITE buffer, non-zero
    ULONG CaptureEnable;  // 0 or non-zero
    ULONG RenderEnable;   // 0 or non-zero
    ULONG PrefillPercent; // render prefill of the mix, above 100 counts as 100
    USHORT Mode;          // QELASIO_MODE_PCM or QELASIO_MODE_DSD
} QELASIO_PREPARE_REQUEST, *PQELASIO_PREPARE_REQUEST;

#pragma pack(pop)

static_assert(sizeof(QELASIO_RATE_RANGE) == 8, "RateRange is 8 bytes on the wire");
static_assert(sizeof(QELASIO_RATE_CAPS) == 20, "RateCaps is 20 bytes on the wire");
static_assert(sizeof(QELASIO_PREPARE_REQUEST) == 18, "PrepareRequest is 18 bytes on the wire");
static_assert(offsetof(QELASIO_PREPARE_REQUEST, Mode) == 16, "mode follows the four u32 fields");

// Short names of the records.
typedef QELASIO_RATE_RANGE RateRange;
typedef QELASIO_RATE_CAPS RateCaps;
typedef QELASIO_PREPARE_REQUEST PrepareRequest;
