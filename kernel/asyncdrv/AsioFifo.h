// CAsioFifo: one ring buffer of the device channel (the input FIFO for capture, the output FIFO
// for render) with its signed balance of bytes lost on overflow or missed on underrun.
#pragma once
#include <wdm.h>

class CAsioFifo {
public:
    explicit CAsioFifo(BOOLEAN IsInput);
    ~CAsioFifo();
    CAsioFifo(const CAsioFifo &) = delete;
    CAsioFifo &operator=(const CAsioFifo &) = delete;

    // PASSIVE_LEVEL. Size = FrameBytes x Frames, computed in 64 bits: 0 or beyond the 32-bit
    // range (after rounding up to a multiple of 4) gives STATUS_INVALID_PARAMETER; already
    // allocated STATUS_UNSUCCESSFUL; no memory STATUS_INSUFFICIENT_RESOURCES. Every run field
    // starts afresh and the buffer holds the fill byte.
    NTSTATUS Allocate(ULONG FrameBytes, ULONG64 Frames, UCHAR FillByte, POOL_TYPE PoolType);
    // PASSIVE_LEVEL, while nobody reads or writes the FIFO: a buffer of Frames frames of its frame
    // size replaces the old one, which stays when the new one cannot be had. Every run field
    // starts afresh. STATUS_UNSUCCESSFUL when not allocated; otherwise as Allocate.
    NTSTATUS Resize(ULONG64 Frames, POOL_TYPE PoolType);
    VOID Free();

    // Holds Bytes (at most the size) of fill ahead of the first data, stopped, balance 0.
    VOID Prefill(ULONG Bytes);
    // Back to the stored prefill level.
    VOID Reset();
    // A FIFO that is not allocated is never started.
    VOID Start();

    // DISPATCH_LEVEL or below. Destination may be null (the bytes are dropped). A strict read
    // (PartialAllowed FALSE) books a shortfall in the balance. Returns the bytes delivered.
    ULONG Read(PUCHAR Destination, ULONG Bytes, BOOLEAN PartialAllowed);
    // DISPATCH_LEVEL or below. Source may be null (fill bytes are stored). A strict write books
    // an overflow in the balance. Returns the bytes accepted (dropped for the balance + stored).
    ULONG Write(const UCHAR *Source, ULONG Bytes, BOOLEAN PartialAllowed);
    // Input FIFO: drops Frames of data; output FIFO: inserts Frames of fill. 64-bit safe.
    VOID Skip(ULONG64 Frames);

    // Converts the larger of two opposite balances into the other FIFO's frames once either
    // exceeds its FIFO's size. Takes the input lock, then the output lock.
    static VOID Balance(CAsioFifo &Input, CAsioFifo &Output);

    BOOLEAN IsInput() const { return m_IsInput; }
    BOOLEAN IsAllocated();
    BOOLEAN IsStarted();
    ULONG Size();
    ULONG Fill();
    ULONG FrameBytes();
    LONG BalanceBytes();
    UCHAR FillByte();

private:
    ULONG64 ReadLocked(PUCHAR Destination, ULONG64 Bytes, BOOLEAN PartialAllowed);
    ULONG64 WriteLocked(const UCHAR *Source, ULONG64 Bytes, BOOLEAN PartialAllowed);
    VOID AddBalance(LONG64 Delta);
    // Up to Bytes of fill for a positive balance, written to Destination when there is one;
    // returns the bytes paid.
    ULONG64 PayBalanceLocked(PUCHAR Destination, ULONG64 Bytes);
    VOID ResetLocked(ULONG Bytes);
    PUCHAR InstallBuffer(PUCHAR Buffer, ULONG Size, ULONG FrameBytes, UCHAR FillByte);

    KSPIN_LOCK m_Lock;
    ULONG m_Size;
    ULONG m_Fill;
    ULONG m_FrameBytes;
    LONG m_Balance;
    ULONG m_WriteOffset;
    ULONG m_ReadOffset;
    PUCHAR m_Buffer;
    ULONG m_Prefill;
    ULONG m_Started;
    UCHAR m_FillByte;
    BOOLEAN m_IsInput;
};
