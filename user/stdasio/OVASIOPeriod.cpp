// OVASIO's period arithmetic: the WASAPI buffer duration, the ASIO period in tenths of a
// millisecond, and whether a buffer is long enough to stream with its own period.
#include "OVASIO.h"

// bufferFrames / sampleRate seconds in 100-ns units, rounded to the nearest unit; 0 without a
// rate.
DWORD OVASIO::bufferDuration()
{
    if (m_sampleRate == 0) {
        return 0;
    }
    const double duration = (double)m_bufferFrames / (double)m_sampleRate * 10000000.0 + 0.5;
    return duration >= 4294967295.0 ? 0xFFFFFFFFUL : (DWORD)duration;
}

DWORD OVASIO::periodTenthsMs()
{
    return (DWORD)((double)bufferDuration() / 1000.0 + 0.5);
}

// Whole milliseconds of one buffer, at least 3: 133 frames at 44100 Hz, 144 at 48000 Hz.
BOOL OVASIO::isLongPeriod()
{
    if (m_sampleRate == 0) {
        return FALSE;
    }
    const ULONGLONG wholeMs = (ULONGLONG)m_bufferFrames * 1000 / m_sampleRate;
    return wholeMs * 10 >= 30;
}
