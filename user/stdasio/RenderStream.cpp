// OVRENDER: the render direction of the standard ASIO driver, fed one WASAPI buffer per
// period from the render queue by its stream thread.
#include "Stream.h"
#include "OVASIO.h"
#include "PerfLog.h"
#include "Queue.h"
#include "OVASIOTrace.h"

OVRENDER::~OVRENDER()
{
    // The thread runs this object's period: it ends before the object does.
    if (hasThread()) {
        signalStop();
        joinThread();
    }
}

DWORD OVRENDER::open(DWORD rate, REFERENCE_TIME duration, WORD bits)
{
    return openClient(rate, duration, bits);
}

DWORD OVRENDER::prime()
{
    return renderPeriod();
}

// A queue block is one whole WASAPI buffer; a queue sized for another buffer (or none) gives
// the device silence rather than a short or overlong copy.
DWORD OVRENDER::renderPeriod()
{
    PerfLogRecord(PERF_EVENT_RENDER_PERIOD);
    if (m_service == nullptr) {
        return OV_STREAM_MISSING;
    }
    BYTE *data = nullptr;
    HRESULT hr = m_service->GetBuffer(m_bufferFrames, &data);
    if (FAILED(hr) || data == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "GetBuffer failed: 0x%08X", (unsigned)hr);
        return OV_STREAM_FAILED;
    }
    DWORD flags = AUDCLNT_BUFFERFLAGS_SILENT;
    if (m_queue != nullptr && m_queue->blockBytes() == m_bufferFrames * m_blockAlign && m_queue->pop(data)) {
        flags = 0;
    }
    hr = m_service->ReleaseBuffer(m_bufferFrames, flags);
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "ReleaseBuffer failed: 0x%08X", (unsigned)hr);
        return OV_STREAM_FAILED;
    }
    return OV_STREAM_OK;
}
