// The device channel's ring buffers: allocation, prefill, strict and partial reads and writes
// with the balance that keeps writer and reader aligned across overflows and underruns.
#include "AsioFifo.h"
#include "AsyncPoolTags.h"
#include "UsbAudioTrace.h"

namespace {

constexpr LONG64 BalanceLimit = 0x7FFFFFFF;

ULONG64 Min64(ULONG64 a, ULONG64 b)
{
    return a < b ? a : b;
}

// Holds the FIFO's in-stack queued lock for one scope.
class FifoLock {
public:
    explicit FifoLock(PKSPIN_LOCK Lock) { KeAcquireInStackQueuedSpinLock(Lock, &m_Handle); }
    ~FifoLock() { KeReleaseInStackQueuedSpinLock(&m_Handle); }
    FifoLock(const FifoLock &) = delete;
    FifoLock &operator=(const FifoLock &) = delete;

private:
    KLOCK_QUEUE_HANDLE m_Handle;
};

// Frames comes from a client; a product or round-up that leaves 32 bits is refused rather
// than wrapped into a small buffer.
BOOLEAN FifoSizeFits(ULONG FrameBytes, ULONG64 Frames)
{
    if (FrameBytes == 0 || Frames == 0 || Frames > MAXULONG) {
        return FALSE;
    }
    const ULONG64 size = static_cast<ULONG64>(FrameBytes) * Frames;
    return ((size + 3) & ~static_cast<ULONG64>(3)) <= MAXULONG;
}

// A buffer of FrameBytes x Frames bytes (allocated up to a multiple of 4) holding FillByte.
NTSTATUS NewFifoBuffer(ULONG FrameBytes, ULONG64 Frames, UCHAR FillByte, POOL_TYPE PoolType, PUCHAR *Buffer,
                       ULONG *Size)
{
    if (!FifoSizeFits(FrameBytes, Frames)) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG64 size = static_cast<ULONG64>(FrameBytes) * Frames;
    const ULONG64 allocation = (size + 3) & ~static_cast<ULONG64>(3);
    auto buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(PoolType, static_cast<SIZE_T>(allocation), ASYNC_TAG));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(buffer, static_cast<SIZE_T>(allocation));
    RtlFillMemory(buffer, static_cast<SIZE_T>(size), FillByte);
    *Buffer = buffer;
    *Size = static_cast<ULONG>(size);
    return STATUS_SUCCESS;
}

} // namespace

CAsioFifo::CAsioFifo(BOOLEAN IsInput)
    : m_Lock(0), m_Size(0), m_Fill(0), m_FrameBytes(0), m_Balance(0), m_WriteOffset(0), m_ReadOffset(0),
      m_Buffer(nullptr), m_Prefill(0), m_Started(0), m_FillByte(0), m_IsInput(IsInput)
{
    KeInitializeSpinLock(&m_Lock);
}

CAsioFifo::~CAsioFifo()
{
    Free();
}

NTSTATUS CAsioFifo::Allocate(ULONG FrameBytes, ULONG64 Frames, UCHAR FillByte, POOL_TYPE PoolType)
{
    if (!FifoSizeFits(FrameBytes, Frames)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsAllocated()) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "%s: FIFO already allocated: 0x%08X",
                    TRACE_DIRECTION(m_IsInput), STATUS_UNSUCCESSFUL);
        return STATUS_UNSUCCESSFUL;
    }
    PUCHAR buffer = nullptr;
    ULONG size = 0;
    NTSTATUS status = NewFifoBuffer(FrameBytes, Frames, FillByte, PoolType, &buffer, &size);
    if (NT_SUCCESS(status)) {
        InstallBuffer(buffer, size, FrameBytes, FillByte);
    }
    return status;
}

NTSTATUS CAsioFifo::Resize(ULONG64 Frames, POOL_TYPE PoolType)
{
    if (!IsAllocated()) {
        return STATUS_UNSUCCESSFUL;
    }
    const ULONG frameBytes = FrameBytes();
    const UCHAR fillByte = FillByte();
    PUCHAR buffer = nullptr;
    ULONG size = 0;
    NTSTATUS status = NewFifoBuffer(frameBytes, Frames, fillByte, PoolType, &buffer, &size);
    if (NT_SUCCESS(status)) {
        PUCHAR old = InstallBuffer(buffer, size, frameBytes, fillByte);
        ExFreePoolWithTag(old, ASYNC_TAG);
    }
    return status;
}

// Takes Buffer as the FIFO's storage with every run field afresh; returns the buffer it held.
PUCHAR CAsioFifo::InstallBuffer(PUCHAR Buffer, ULONG Size, ULONG FrameBytes, UCHAR FillByte)
{
    FifoLock lock(&m_Lock);
    PUCHAR old = m_Buffer;
    m_Buffer = Buffer;
    m_Size = Size;
    m_FrameBytes = FrameBytes;
    m_FillByte = FillByte;
    m_Fill = 0;
    m_Balance = 0;
    m_WriteOffset = 0;
    m_ReadOffset = 0;
    m_Prefill = 0;
    m_Started = 0;
    return old;
}

VOID CAsioFifo::Free()
{
    PUCHAR buffer;
    {
        FifoLock lock(&m_Lock);
        buffer = m_Buffer;
        m_Buffer = nullptr;
        m_Size = 0;
        m_Fill = 0;
        m_FrameBytes = 0;
        m_Balance = 0;
        m_WriteOffset = 0;
        m_ReadOffset = 0;
        m_Prefill = 0;
        m_Started = 0;
        m_FillByte = 0;
    }
    if (buffer != nullptr) {
        ExFreePoolWithTag(buffer, ASYNC_TAG);
    }
}

VOID CAsioFifo::ResetLocked(ULONG Bytes)
{
    if (Bytes > m_Size) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "%s: prefill %lu above size %lu",
                    TRACE_DIRECTION(m_IsInput), Bytes, m_Size);
        Bytes = m_Size;
    }
    m_ReadOffset = 0;
    m_Balance = 0;
    m_Started = 0;
    m_Prefill = Bytes;
    m_WriteOffset = m_Size == 0 ? 0 : Bytes % m_Size;
    m_Fill = Bytes;
    if (m_Buffer != nullptr) {
        RtlFillMemory(m_Buffer, m_Size, m_FillByte);
    }
}

VOID CAsioFifo::Prefill(ULONG Bytes)
{
    FifoLock lock(&m_Lock);
    ResetLocked(Bytes);
}

VOID CAsioFifo::Reset()
{
    FifoLock lock(&m_Lock);
    ResetLocked(m_Prefill);
}

VOID CAsioFifo::Start()
{
    FifoLock lock(&m_Lock);
    if (m_Size != 0) {
        m_Started = 1;
    }
}

VOID CAsioFifo::AddBalance(LONG64 Delta)
{
    LONG64 value = static_cast<LONG64>(m_Balance) + Delta;
    if (value > BalanceLimit) {
        value = BalanceLimit;
    } else if (value < -BalanceLimit) {
        value = -BalanceLimit;
    }
    m_Balance = static_cast<LONG>(value);
}

ULONG64 CAsioFifo::ReadLocked(PUCHAR Destination, ULONG64 Bytes, BOOLEAN PartialAllowed)
{
    if (m_Size == 0 || (!m_IsInput && !m_Started)) {
        return 0;
    }
    // A positive balance (bytes a strict write could not store) is paid in fill bytes: by the
    // input FIFO ahead of its data, by the output FIFO only once its data has gone. Frames the
    // output still holds wait for the device, and the client is held back by short WRITEs; paid
    // ahead of them the balance would keep the FIFO full and send silence in their place.
    ULONG64 padded = m_IsInput ? PayBalanceLocked(Destination, Bytes) : 0;
    if (Destination != nullptr) {
        Destination += padded;
    }
    Bytes -= padded;
    const ULONG64 taken = Min64(m_Fill, Bytes);
    if (Destination != nullptr) {
        const ULONG first = static_cast<ULONG>(Min64(taken, m_Size - m_ReadOffset));
        RtlCopyMemory(Destination, m_Buffer + m_ReadOffset, first);
        RtlCopyMemory(Destination + first, m_Buffer, static_cast<SIZE_T>(taken - first));
        Destination += taken;
    }
    m_ReadOffset = static_cast<ULONG>((m_ReadOffset + taken) % m_Size);
    m_Fill -= static_cast<ULONG>(taken);
    Bytes -= taken;
    if (!m_IsInput) {
        const ULONG64 owed = PayBalanceLocked(Destination, Bytes);
        padded += owed;
        Bytes -= owed;
    }
    if (!PartialAllowed && Bytes != 0) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "%s: underrun of %llu bytes", TRACE_DIRECTION(m_IsInput),
                    Bytes);
        AddBalance(-static_cast<LONG64>(Bytes));
    }
    return padded + taken;
}

ULONG64 CAsioFifo::PayBalanceLocked(PUCHAR Destination, ULONG64 Bytes)
{
    if (m_Balance <= 0) {
        return 0;
    }
    const ULONG64 owed = static_cast<ULONG64>(m_Balance);
    const ULONG64 padded = Min64(Bytes, owed);
    if (Destination != nullptr) {
        RtlFillMemory(Destination, static_cast<SIZE_T>(padded), m_FillByte);
    }
    m_Balance = static_cast<LONG>(owed - padded);
    return padded;
}

ULONG64 CAsioFifo::WriteLocked(const UCHAR *Source, ULONG64 Bytes, BOOLEAN PartialAllowed)
{
    if (m_Size == 0 || (m_IsInput && !m_Started)) {
        return 0;
    }
    ULONG64 dropped = 0;
    if (m_Balance < 0) {
        dropped = Min64(Bytes, static_cast<ULONG64>(-static_cast<LONG64>(m_Balance)));
        AddBalance(static_cast<LONG64>(dropped));
        Bytes -= dropped;
    }
    const ULONG64 stored = Min64(m_Size - m_Fill, Bytes);
    if (!PartialAllowed && stored < Bytes) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "%s: overflow of %llu bytes", TRACE_DIRECTION(m_IsInput),
                    Bytes - stored);
        AddBalance(static_cast<LONG64>(Bytes - stored));
    }
    const ULONG first = static_cast<ULONG>(Min64(stored, m_Size - m_WriteOffset));
    if (Source != nullptr) {
        RtlCopyMemory(m_Buffer + m_WriteOffset, Source, first);
        RtlCopyMemory(m_Buffer, Source + first, static_cast<SIZE_T>(stored - first));
    } else {
        RtlFillMemory(m_Buffer + m_WriteOffset, first, m_FillByte);
        RtlFillMemory(m_Buffer, static_cast<SIZE_T>(stored - first), m_FillByte);
    }
    m_WriteOffset = static_cast<ULONG>((m_WriteOffset + stored) % m_Size);
    m_Fill += static_cast<ULONG>(stored);
    return dropped + stored;
}

ULONG CAsioFifo::Read(PUCHAR Destination, ULONG Bytes, BOOLEAN PartialAllowed)
{
    FifoLock lock(&m_Lock);
    return static_cast<ULONG>(ReadLocked(Destination, Bytes, PartialAllowed));
}

ULONG CAsioFifo::Write(const UCHAR *Source, ULONG Bytes, BOOLEAN PartialAllowed)
{
    FifoLock lock(&m_Lock);
    return static_cast<ULONG>(WriteLocked(Source, Bytes, PartialAllowed));
}

VOID CAsioFifo::Skip(ULONG64 Frames)
{
    FifoLock lock(&m_Lock);
    if (m_Size == 0) {
        return;
    }
    // Frames fits 32 bits and so do frame bytes: the product cannot overflow 64 bits.
    const ULONG64 bytes = Min64(Frames, MAXULONG) * m_FrameBytes;
    if (m_IsInput) {
        ReadLocked(nullptr, bytes, FALSE);
    } else {
        WriteLocked(nullptr, bytes, FALSE);
    }
}

VOID CAsioFifo::Balance(CAsioFifo &Input, CAsioFifo &Output)
{
    KLOCK_QUEUE_HANDLE inputHandle;
    KLOCK_QUEUE_HANDLE outputHandle;
    KeAcquireInStackQueuedSpinLock(&Input.m_Lock, &inputHandle);
    KeAcquireInStackQueuedSpinLockAtDpcLevel(&Output.m_Lock, &outputHandle);
    const LONG64 in = Input.m_Balance;
    const LONG64 out = Output.m_Balance;
    const LONG64 inMagnitude = in < 0 ? -in : in;
    const LONG64 outMagnitude = out < 0 ? -out : out;
    if (Input.m_Size != 0 && Output.m_Size != 0 && ((in < 0) != (out < 0)) && in != 0 && out != 0 &&
        (inMagnitude > Input.m_Size || outMagnitude > Output.m_Size)) {
        const LONG64 inFrames = inMagnitude / Input.m_FrameBytes;
        const LONG64 outFrames = outMagnitude / Output.m_FrameBytes;
        if (inFrames < outFrames) {
            Output.AddBalance((in / static_cast<LONG64>(Input.m_FrameBytes)) * Output.m_FrameBytes);
            Input.m_Balance = 0;
        } else {
            Input.AddBalance((out / static_cast<LONG64>(Output.m_FrameBytes)) * Input.m_FrameBytes);
            Output.m_Balance = 0;
        }
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_STREAM, "balance i %ld o %ld", Input.m_Balance,
                    Output.m_Balance);
    }
    KeReleaseInStackQueuedSpinLockFromDpcLevel(&outputHandle);
    KeReleaseInStackQueuedSpinLock(&inputHandle);
}

BOOLEAN CAsioFifo::IsAllocated()
{
    FifoLock lock(&m_Lock);
    return m_Size != 0;
}

BOOLEAN CAsioFifo::IsStarted()
{
    FifoLock lock(&m_Lock);
    return m_Started != 0;
}

ULONG CAsioFifo::Size()
{
    FifoLock lock(&m_Lock);
    return m_Size;
}

ULONG CAsioFifo::Fill()
{
    FifoLock lock(&m_Lock);
    return m_Fill;
}

ULONG CAsioFifo::FrameBytes()
{
    FifoLock lock(&m_Lock);
    return m_FrameBytes;
}

LONG CAsioFifo::BalanceBytes()
{
    FifoLock lock(&m_Lock);
    return m_Balance;
}

UCHAR CAsioFifo::FillByte()
{
    FifoLock lock(&m_Lock);
    return m_FillByte;
}
