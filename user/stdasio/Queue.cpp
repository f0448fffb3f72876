// OVQUEUE: two-block render queue between the engine thread and the render stream thread.
#include "Queue.h"
#include <cstring>
#include <new>
#include "OVASIOTrace.h"

namespace {
const DWORD BytesPerFrame = 2 * sizeof(SHORT);
}

OVQUEUE::OVQUEUE()
    : m_initialised(0), m_blocks(nullptr), m_blockCount(0), m_filled(0), m_readIndex(0), m_writeIndex(0),
      m_framesPerBlock(0), m_blockBytes(0), m_lock(), m_lockInitialised(FALSE), m_spaceEvent(nullptr),
      m_dataEvent(nullptr)
{
}

OVQUEUE::~OVQUEUE()
{
    close();
}

DWORD OVQUEUE::init(DWORD blockCount, DWORD framesPerBlock)
{
    close();
    if (blockCount == 0 || framesPerBlock == 0 || framesPerBlock > 0xFFFFFFFFUL / BytesPerFrame) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    m_spaceEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_dataEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (m_spaceEvent == nullptr || m_dataEvent == nullptr) {
        close();
        SetLastError(ERROR_INVALID_FUNCTION);
        return 0;
    }
    InitializeCriticalSection(&m_lock);
    m_lockInitialised = TRUE;
    const DWORD bytes = framesPerBlock * BytesPerFrame;
    m_blocks = new (std::nothrow) BYTE *[blockCount];
    if (m_blocks != nullptr) {
        m_blockCount = blockCount;
        for (DWORD i = 0; i < blockCount; i++) {
            m_blocks[i] = nullptr;
        }
        for (DWORD i = 0; i < blockCount && m_blocks != nullptr; i++) {
            m_blocks[i] = new (std::nothrow) BYTE[bytes];
            if (m_blocks[i] == nullptr) {
                break;
            }
        }
    }
    if (m_blocks == nullptr || m_blocks[blockCount - 1] == nullptr) {
        close();
        SetLastError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    m_framesPerBlock = framesPerBlock;
    m_blockBytes = bytes;
    m_initialised = 1;
    SetEvent(m_spaceEvent);
    return 1;
}

VOID OVQUEUE::close()
{
    if (m_spaceEvent != nullptr) {
        CloseHandle(m_spaceEvent);
        m_spaceEvent = nullptr;
    }
    if (m_dataEvent != nullptr) {
        CloseHandle(m_dataEvent);
        m_dataEvent = nullptr;
    }
    if (m_lockInitialised) {
        // A lock still held means a thread is inside the queue: leave it rather than delete
        // it under that thread.
        if (TryEnterCriticalSection(&m_lock)) {
            LeaveCriticalSection(&m_lock);
            DeleteCriticalSection(&m_lock);
            m_lockInitialised = FALSE;
        } else {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "lock held, left in place");
        }
    }
    if (m_blocks != nullptr) {
        for (DWORD i = 0; i < m_blockCount; i++) {
            delete[] m_blocks[i];
        }
        delete[] m_blocks;
    }
    m_initialised = 0;
    m_blocks = nullptr;
    m_blockCount = 0;
    m_filled = 0;
    m_readIndex = 0;
    m_writeIndex = 0;
    m_blockBytes = 0;
}

VOID OVQUEUE::flush()
{
    if (!m_initialised) {
        return;
    }
    EnterCriticalSection(&m_lock);
    m_filled = 0;
    m_readIndex = 0;
    m_writeIndex = 0;
    ResetEvent(m_dataEvent);
    SetEvent(m_spaceEvent);
    LeaveCriticalSection(&m_lock);
}

VOID OVQUEUE::commitLocked()
{
    m_writeIndex = (m_writeIndex + 1) % m_blockCount;
    m_filled = m_filled + 1;
    if (m_filled == m_blockCount) {
        ResetEvent(m_spaceEvent);
    }
    SetEvent(m_dataEvent);
}

DWORD OVQUEUE::push(const SHORT *left, const SHORT *right, DWORD frames)
{
    if (!m_initialised || left == nullptr || right == nullptr || frames != m_framesPerBlock ||
        m_filled >= m_blockCount) {
        return 0;
    }
    EnterCriticalSection(&m_lock);
    if (m_filled >= m_blockCount) {
        LeaveCriticalSection(&m_lock);
        return 0;
    }
    SHORT *block = reinterpret_cast<SHORT *>(m_blocks[m_writeIndex]);
    for (DWORD i = 0; i < frames; i++) {
        block[2 * i] = left[i];
        block[2 * i + 1] = right[i];
    }
    commitLocked();
    LeaveCriticalSection(&m_lock);
    return 1;
}

DWORD OVQUEUE::pushSilence()
{
    if (!m_initialised || m_filled >= m_blockCount) {
        return 0;
    }
    EnterCriticalSection(&m_lock);
    if (m_filled >= m_blockCount) {
        LeaveCriticalSection(&m_lock);
        return 0;
    }
    memset(m_blocks[m_writeIndex], 0, m_blockBytes);
    commitLocked();
    LeaveCriticalSection(&m_lock);
    return 1;
}

// The block is copied outside the lock: a block counted as filled is not written again until
// it has been popped, and only this thread pops.
DWORD OVQUEUE::pop(void *destination)
{
    if (!m_initialised || destination == nullptr || m_filled == 0) {
        return 0;
    }
    memcpy(destination, m_blocks[m_readIndex], m_blockBytes);
    DWORD taken = 0;
    EnterCriticalSection(&m_lock);
    if (m_filled != 0) {
        m_readIndex = (m_readIndex + 1) % m_blockCount;
        m_filled = m_filled - 1;
        SetEvent(m_spaceEvent);
        if (m_filled == 0) {
            ResetEvent(m_dataEvent);
        }
        taken = 1;
    }
    LeaveCriticalSection(&m_lock);
    return taken;
}

DWORD OVQUEUE::getSpaceEvent(HANDLE *event)
{
    if (event == nullptr || m_spaceEvent == nullptr) {
        return 0;
    }
    *event = m_spaceEvent;
    return 1;
}
