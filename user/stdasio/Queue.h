// OVQUEUE: the ring of fixed-size blocks that carries the host's output from the engine thread
// to the render stream thread, one WASAPI render buffer of interleaved 16-bit stereo per block.
#pragma once
#include <windows.h>

class OVQUEUE {
public:
    OVQUEUE();
    ~OVQUEUE();
    OVQUEUE(const OVQUEUE &) = delete;
    OVQUEUE &operator=(const OVQUEUE &) = delete;

    // 1 when the events, the lock and every block exist; 0 with the thread's last error set
    // (ERROR_INVALID_FUNCTION: an event; ERROR_PATH_NOT_FOUND: memory). An initialised queue
    // is closed first.
    DWORD init(DWORD blockCount, DWORD framesPerBlock);
    // Only once no thread uses the queue any more.
    VOID close();
    // Drops every queued block: the queue is empty and its space event set. Only while no
    // thread pushes or pops.
    VOID flush();
    // Interleaves one block of frames (exactly framesPerBlock) from two 16-bit channels; 0
    // when not initialised, a channel is null, the count differs or the queue is full.
    DWORD push(const SHORT *left, const SHORT *right, DWORD frames);
    DWORD pushSilence();
    // Copies the oldest block (blockBytes) to destination; 0 when there is none.
    DWORD pop(void *destination);
    // The event that is signalled while a block is free; 0 when the queue has none.
    DWORD getSpaceEvent(HANDLE *event);

    DWORD blockBytes() const { return m_blockBytes; }
    DWORD framesPerBlock() const { return m_framesPerBlock; }
    DWORD filled() const { return m_filled; }
    HANDLE dataEvent() const { return m_dataEvent; }

private:
    // Under m_lock: the block at the write index is written; advances and signals.
    VOID commitLocked();

    DWORD m_initialised;
    BYTE **m_blocks;
    DWORD m_blockCount;
    volatile DWORD m_filled;
    DWORD m_readIndex;
    DWORD m_writeIndex;
    DWORD m_framesPerBlock;
    DWORD m_blockBytes;
    CRITICAL_SECTION m_lock;
    BOOL m_lockInitialised;
    HANDLE m_spaceEvent;
    HANDLE m_dataEvent;
};
