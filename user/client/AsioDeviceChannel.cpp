// CAsioDeviceChannel: open and probe, the control requests, the prepared halves and the
// overlapped capture reads and render writes of one device channel.
#include "AsioDeviceChannel.h"
#include "RateTables.h"
#include <UserTrace.h>
#include <atomic>
#include <cstring>
#include <cwchar>
#include <new>

namespace {

const DWORD DefaultRate = 44100;
const DWORD DefaultBits = 32;
const BYTE DsdSilence = 0x96;
// OVERLAPPED.Internal of a request that has not completed.
const ULONG_PTR RequestPending = 0x103;
// How long Close waits for a half's request that the closing handle's clean-up must end.
const DWORD CloseDrainMs = 10000;

bool IsPending(OVERLAPPED &Overlapped)
{
    return std::atomic_ref<ULONG_PTR>(Overlapped.Internal).load() == RequestPending;
}

VOID WINAPI IgnoreWriteCompletion(DWORD ErrorCode, DWORD BytesTransferred, LPOVERLAPPED Overlapped)
{
    UNREFERENCED_PARAMETER(ErrorCode);
    UNREFERENCED_PARAMETER(BytesTransferred);
    UNREFERENCED_PARAMETER(Overlapped);
}

void CopyField(WCHAR *Field, size_t Capacity, LPCWSTR Source)
{
    Field[0] = L'\0';
    if (Source != nullptr) {
        std::wcsncpy(Field, Source, Capacity - 1);
        Field[Capacity - 1] = L'\0';
    }
}

class ControlLock {
public:
    explicit ControlLock(CRITICAL_SECTION *Lock) : m_Lock(Lock) { EnterCriticalSection(m_Lock); }
    ~ControlLock() { LeaveCriticalSection(m_Lock); }
    ControlLock(const ControlLock &) = delete;
    ControlLock &operator=(const ControlLock &) = delete;

private:
    CRITICAL_SECTION *m_Lock;
};

} // namespace

CAsioDeviceChannel::CAsioDeviceChannel()
    : m_Handle(INVALID_HANDLE_VALUE), m_ControlLock(), m_ControlLockInitialized(FALSE), m_ControlOverlapped(),
      m_Halves(), m_WithInputs(0), m_CurrentRate(DefaultRate), m_InputCount(0), m_OutputCount(0),
      m_InputBits(DefaultBits), m_OutputBits(DefaultBits), m_DsdMode(0), m_InstanceId(), m_DeviceName(), m_Range(),
      m_DsdNative(0), m_CaptureTransferMs(0), m_Overrides(AsioShippedLatencyOverrides())
{
    InitializeCriticalSection(&m_ControlLock);
    m_ControlLockInitialized = TRUE;
}

CAsioDeviceChannel::~CAsioDeviceChannel()
{
    Close();
    if (m_ControlLockInitialized) {
        DeleteCriticalSection(&m_ControlLock);
    }
}

BOOL CAsioDeviceChannel::Open(LPCWSTR Path, LPCWSTR InstanceId, LPCWSTR Name)
{
    Close();
    m_Handle = CreateFileW(Path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (m_Handle == INVALID_HANDLE_VALUE) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_DEVICE, "CreateFileW failed: %u", (unsigned)GetLastError());
        return FALSE;
    }
    m_ControlOverlapped = OVERLAPPED{};
    m_ControlOverlapped.hEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    if (m_ControlOverlapped.hEvent == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "CreateEventW failed: %u", (unsigned)GetLastError());
        Close();
        return FALSE;
    }
    CopyField(m_InstanceId, ASIO_DEVICE_ID_CHARS, InstanceId);
    CopyField(m_DeviceName, ASIO_DEVICE_DESC_CHARS, Name);
    DWORD rate = 0;
    BOOL probed = GetSampleRate(&rate);
    if (probed) {
        // A device on which no rate was ever chosen reports 0.
        m_CurrentRate = rate != 0 ? rate : DefaultRate;
        probed = GetRateRange(&m_Range);
    }
    probed = probed && QueryRateCaps();
    probed = probed && GetDsdSupport(&m_DsdNative);
    probed = probed && GetCaptureTransferMs(&m_CaptureTransferMs);
    if (!probed) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_DEVICE, "%ls does not answer the probes", m_InstanceId);
        Close();
        return FALSE;
    }
    UpdateFormat();
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "%ls: %u Hz (%u..%u), %u rates, DSD %u", m_InstanceId,
                (unsigned)m_CurrentRate, (unsigned)m_Range.Lowest, (unsigned)m_Range.Highest,
                (unsigned)m_RateCaps.size(), (unsigned)m_DsdNative);
    return TRUE;
}

VOID CAsioDeviceChannel::Close()
{
    if (m_Handle != INVALID_HANDLE_VALUE) {
        CloseHandle(m_Handle);
        m_Handle = INVALID_HANDLE_VALUE;
        // The handle's clean-up ends every request still queued; a half is freed only once
        // its request no longer writes into it.
        for (Half &half : m_Halves) {
            if (half.Buffer != nullptr && half.Overlapped.hEvent != nullptr && IsPending(half.Overlapped)) {
                WaitForSingleObject(half.Overlapped.hEvent, CloseDrainMs);
            }
        }
    }
    if (m_ControlOverlapped.hEvent != nullptr) {
        CloseHandle(m_ControlOverlapped.hEvent);
        m_ControlOverlapped.hEvent = nullptr;
    }
    FreeBuffers();
    m_InputCount = 0;
    m_OutputCount = 0;
}

BOOL CAsioDeviceChannel::IoControl(DWORD Code, LPVOID InBuffer, DWORD InSize, LPVOID OutBuffer, DWORD OutSize,
                                   LPDWORD BytesReturned)
{
    if (m_Handle == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ControlLock lock(&m_ControlLock);
    DWORD local = 0;
    LPDWORD bytes = BytesReturned != nullptr ? BytesReturned : &local;
    *bytes = 0;
    if (!DeviceIoControl(m_Handle, Code, InBuffer, InSize, OutBuffer, OutSize, bytes, &m_ControlOverlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_DEVICE, "request 0x%08X failed: %u", (unsigned)Code,
                    (unsigned)GetLastError());
        return FALSE;
    }
    // A request the driver queued still owns the caller's buffers and the control OVERLAPPED:
    // it is waited for, never abandoned.
    if (!GetOverlappedResult(m_Handle, &m_ControlOverlapped, bytes, TRUE)) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_DEVICE, "request 0x%08X failed: %u", (unsigned)Code,
                    (unsigned)GetLastError());
        return FALSE;
    }
    return TRUE;
}

BOOL CAsioDeviceChannel::Acquire()
{
    return IoControl(IOCTL_QELASIO_ACQUIRE, nullptr, 0, nullptr, 0);
}

BOOL CAsioDeviceChannel::AllocateHalf(Half &half, ULONGLONG Bytes)
{
    // A read or write carries at most a DWORD of bytes.
    if (Bytes == 0 || Bytes > 0xFFFFFFF0ULL) {
        return FALSE;
    }
    const size_t words = (size_t)((Bytes + sizeof(DWORD) - 1) / sizeof(DWORD));
    half.Buffer = new (std::nothrow) DWORD[words]();
    if (half.Buffer == nullptr) {
        return FALSE;
    }
    half.Size = (DWORD)Bytes;
    return TRUE;
}

BOOL CAsioDeviceChannel::Prepare(DWORD Frames, BOOL WithInputs, BOOL WithOutputs, DWORD PrefillPercent, BOOL Dsd)
{
    if (AnyHalfPending()) {
        return FALSE;
    }
    FreeBuffers();
    m_DsdMode = Dsd ? QELASIO_MODE_DSD : QELASIO_MODE_PCM;
    m_WithInputs = WithInputs ? 1 : 0;
    // Each direction is sized by its own container width, as the kernel sizes its FIFOs.
    const ULONGLONG inputBytes = (ULONGLONG)Frames * m_InputCount * (m_InputBits / 8);
    const ULONGLONG outputBytes = (ULONGLONG)Frames * m_OutputCount * (m_OutputBits / 8);
    BOOL allocated = TRUE;
    if (m_InputCount != 0) {
        allocated = AllocateHalf(m_Halves[InputHalf0], inputBytes) && AllocateHalf(m_Halves[InputHalf1], inputBytes);
    }
    if (allocated && m_OutputCount != 0) {
        allocated =
            AllocateHalf(m_Halves[OutputHalf0], outputBytes) && AllocateHalf(m_Halves[OutputHalf1], outputBytes);
    }
    if (allocated) {
        ClearBuffers();
    }
    // Buffers follow the device's channel counts; events follow the directions asked for.
    for (int half = InputHalf0; allocated && half < HalfCount; ++half) {
        const BOOL wanted = half < OutputHalf0 ? WithInputs : WithOutputs;
        if (wanted) {
            m_Halves[half].Overlapped.hEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
            allocated = m_Halves[half].Overlapped.hEvent != nullptr;
        }
    }
    if (!allocated) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "halves of %u frames not made", (unsigned)Frames);
        FreeBuffers();
        return FALSE;
    }
    PrepareRequest request = {};
    request.BufferFrames = Frames;
    request.CaptureEnable = WithInputs ? 1 : 0;
    request.RenderEnable = WithOutputs ? 1 : 0;
    request.PrefillPercent = PrefillPercent;
    request.Mode = m_DsdMode;
    if (!IoControl(IOCTL_QELASIO_PREPARE, &request, sizeof(request), nullptr, 0)) {
        FreeBuffers();
        return FALSE;
    }
    return TRUE;
}

BOOL CAsioDeviceChannel::Start()
{
    return IoControl(IOCTL_QELASIO_START, nullptr, 0, nullptr, 0);
}

BOOL CAsioDeviceChannel::Stop()
{
    return IoControl(IOCTL_QELASIO_STOP, nullptr, 0, nullptr, 0);
}

BOOL CAsioDeviceChannel::Unprepare()
{
    const BOOL result = IoControl(IOCTL_QELASIO_UNPREPARE, nullptr, 0, nullptr, 0);
    // A refused UNPREPARE may leave the channel running with reads or writes queued on the
    // halves; those halves stay until Close, which ends the requests before freeing.
    if (!AnyHalfPending()) {
        FreeBuffers();
    }
    return result;
}

BOOL CAsioDeviceChannel::AnyHalfPending()
{
    for (Half &half : m_Halves) {
        if (half.Buffer != nullptr && IsPending(half.Overlapped)) {
            return TRUE;
        }
    }
    return FALSE;
}

BOOL CAsioDeviceChannel::Release()
{
    return IoControl(IOCTL_QELASIO_RELEASE, nullptr, 0, nullptr, 0);
}

BOOL CAsioDeviceChannel::SetSampleRate(DWORD Rate)
{
    if (!IoControl(IOCTL_QELASIO_SET_SAMPLE_RATE, &Rate, sizeof(Rate), nullptr, 0)) {
        return FALSE;
    }
    m_CurrentRate = Rate;
    UpdateFormat();
    return TRUE;
}

BOOL CAsioDeviceChannel::GetSampleRate(DWORD *Rate)
{
    DWORD value = 0;
    DWORD bytes = 0;
    if (!IoControl(IOCTL_QELASIO_GET_SAMPLE_RATE, nullptr, 0, &value, sizeof(value), &bytes) ||
        bytes != sizeof(value)) {
        return FALSE;
    }
    *Rate = value;
    return TRUE;
}

BOOL CAsioDeviceChannel::GetRateRange(RateRange *Range)
{
    RateRange value = {};
    DWORD bytes = 0;
    if (!IoControl(IOCTL_QELASIO_GET_RATE_RANGE, nullptr, 0, &value, sizeof(value), &bytes) ||
        bytes != sizeof(value)) {
        return FALSE;
    }
    *Range = value;
    return TRUE;
}

BOOL CAsioDeviceChannel::QueryRateCaps()
{
    m_RateCaps.clear();
    for (const RATE_ENTRY &entry : g_PcmRates) {
        const DWORD rate = entry.rate;
        if (rate < m_Range.Lowest) {
            continue;
        }
        if (rate > m_Range.Highest) {
            break;
        }
        RateCaps caps = {};
        caps.Rate = rate;
        DWORD bytes = 0;
        if (!IoControl(IOCTL_QELASIO_GET_RATE_CAPS, &caps, sizeof(caps), &caps, sizeof(caps), &bytes) ||
            bytes != sizeof(caps)) {
            continue;
        }
        try {
            m_RateCaps.push_back(caps);
        } catch (const std::bad_alloc &) {
            break;
        }
    }
    return TRUE;
}

BOOL CAsioDeviceChannel::GetDsdSupport(DWORD *Supported)
{
    DWORD value = 0;
    DWORD bytes = 0;
    if (!IoControl(IOCTL_QELASIO_GET_DSD_SUPPORT, nullptr, 0, &value, sizeof(value), &bytes) ||
        bytes != sizeof(value)) {
        *Supported = 0;
        return FALSE;
    }
    *Supported = value;
    return TRUE;
}

BOOL CAsioDeviceChannel::GetCaptureTransferMs(DWORD *Milliseconds)
{
    return IoControl(IOCTL_QELASIO_GET_CAPTURE_TRANSFER_MS, nullptr, 0, Milliseconds, sizeof(*Milliseconds));
}

BOOL CAsioDeviceChannel::Ping()
{
    return IoControl(IOCTL_QELASIO_PING, nullptr, 0, nullptr, 0);
}

BOOL CAsioDeviceChannel::GetStreamReset(DWORD *Reset)
{
    DWORD value = 0;
    DWORD bytes = 0;
    if (!IoControl(IOCTL_QELASIO_GET_STREAM_RESET, nullptr, 0, &value, sizeof(value), &bytes) ||
        bytes != sizeof(value)) {
        return FALSE;
    }
    *Reset = value;
    return TRUE;
}

BOOL CAsioDeviceChannel::StartCapture()
{
    return IoControl(IOCTL_QELASIO_START_CAPTURE, nullptr, 0, nullptr, 0);
}

BOOL CAsioDeviceChannel::GetPosition(DWORD *Frames)
{
    DWORD value = 0;
    DWORD bytes = 0;
    if (!IoControl(IOCTL_QELASIO_GET_POSITION, nullptr, 0, &value, sizeof(value), &bytes) ||
        bytes != sizeof(value)) {
        return FALSE;
    }
    *Frames = value;
    return TRUE;
}

BOOL CAsioDeviceChannel::SetPosition(DWORD Frames)
{
    return IoControl(IOCTL_QELASIO_SET_POSITION, &Frames, sizeof(Frames), nullptr, 0);
}

BOOL CAsioDeviceChannel::GetDevicePowerState(BOOL *IsOn)
{
    return ::GetDevicePowerState(m_Handle, IsOn);
}

BOOL CAsioDeviceChannel::ReadHalf(DWORD Half)
{
    if (Half > 1 || m_Halves[InputHalf0 + Half].Buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct Half &half = m_Halves[InputHalf0 + Half];
    return ReadFile(m_Handle, half.Buffer, half.Size, &half.Transferred, &half.Overlapped);
}

BOOL CAsioDeviceChannel::WriteHalf(DWORD Half)
{
    if (Half > 1 || m_Halves[OutputHalf0 + Half].Buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct Half &half = m_Halves[OutputHalf0 + Half];
    if (half.Overlapped.hEvent != nullptr) {
        return WriteFile(m_Handle, half.Buffer, half.Size, &half.Transferred, &half.Overlapped);
    }
    // Without an event of its own the write is followed through its completion routine,
    // which runs in the streaming thread's next alertable wait.
    return WriteFileEx(m_Handle, half.Buffer, half.Size, &half.Overlapped, IgnoreWriteCompletion);
}

DWORD CAsioDeviceChannel::WaitHalf(DWORD Half, HANDLE StopEvent)
{
    if (Half > 1) {
        return ASIO_WAIT_HALF_FAILED;
    }
    struct Half &half = m_Halves[(m_WithInputs ? InputHalf0 : OutputHalf0) + Half];
    const HANDLE handles[2] = {half.Overlapped.hEvent, StopEvent};
    const DWORD result = WaitForMultipleObjectsEx(2, handles, FALSE, INFINITE, TRUE);
    switch (result) {
    case WAIT_OBJECT_0:
        return GetOverlappedResult(m_Handle, &half.Overlapped, &half.Transferred, TRUE) ? WAIT_OBJECT_0
                                                                                        : ASIO_WAIT_HALF_FAILED;
    case WAIT_FAILED:
        return ASIO_WAIT_HALF_FAILED;
    default:
        return result;
    }
}

BOOL CAsioDeviceChannel::CancelIo()
{
    return ::CancelIo(m_Handle);
}

VOID CAsioDeviceChannel::ClearBuffers()
{
    const int fill = m_DsdMode == QELASIO_MODE_DSD ? DsdSilence : 0;
    for (int half = InputHalf0; half < HalfCount; ++half) {
        const DWORD count = half < OutputHalf0 ? m_InputCount : m_OutputCount;
        if (count != 0 && m_Halves[half].Buffer != nullptr) {
            std::memset(m_Halves[half].Buffer, fill, m_Halves[half].Size);
        }
    }
}

BYTE *CAsioDeviceChannel::GetInputBuffer(DWORD Half)
{
    return Half > 1 ? nullptr : reinterpret_cast<BYTE *>(m_Halves[InputHalf0 + Half].Buffer);
}

BYTE *CAsioDeviceChannel::GetOutputBuffer(DWORD Half)
{
    return Half > 1 ? nullptr : reinterpret_cast<BYTE *>(m_Halves[OutputHalf0 + Half].Buffer);
}

BOOL CAsioDeviceChannel::GetFormatAt(DWORD Rate, BOOL IsInput, DWORD *Count, DWORD *Bits) const
{
    for (const RateCaps &caps : m_RateCaps) {
        if (caps.Rate == Rate) {
            *Count = (IsInput ? caps.CaptureChannels : caps.RenderChannels) & 0xFFFF;
            *Bits = (IsInput ? caps.CaptureBits : caps.RenderBits) & 0xFFFF;
            return TRUE;
        }
    }
    *Count = 0;
    return FALSE;
}

VOID CAsioDeviceChannel::UpdateFormat()
{
    DWORD bits = 0;
    if (!GetFormatAt(m_CurrentRate, TRUE, &m_InputCount, &bits)) {
        m_OutputCount = 0;
        return;
    }
    if (m_InputCount != 0) {
        m_InputBits = bits;
    }
    GetFormatAt(m_CurrentRate, FALSE, &m_OutputCount, &bits);
    if (m_OutputCount != 0) {
        m_OutputBits = bits;
    }
}

VOID CAsioDeviceChannel::FreeBuffers()
{
    for (Half &half : m_Halves) {
        if (half.Buffer != nullptr && IsPending(half.Overlapped)) {
            // Still written by a request that would not end: kept rather than freed under it.
            continue;
        }
        if (half.Overlapped.hEvent != nullptr) {
            CloseHandle(half.Overlapped.hEvent);
        }
        delete[] half.Buffer;
        half = Half{};
    }
}
