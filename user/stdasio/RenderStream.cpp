// OVRENDER: the render direction of the standard ASIO driver, fed one WASAPI buffer per
// period from the render queue by its stream thread.
#include "Stream.h"
#include "OVASIO.h"
#include "PerfLog.h"
#include "Queue.h"

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
        OutputDebugStringW(L"OVRENDER::renderPeriod: GetBuffer failed\n");
        return OV_STREAM_FAILED;
    }
    DWORD flags = AUDCLNT_BUFFERFLAGS_SILENT;
    if (m_queue != nullptr && m_queue->blockBytes() == m_bufferFrames * m_blockAlign && m_queue->pop(data)) {
        flags = 0;
    }
    hr = m_service->ReleaseBuffer(m_bufferFrames, flags);
    if (FAILED(hr)) {
        OutputDebugStringW(L"OVRENDER::renderPeriod: ReleaseBuffer failed\n");
        return OV_STREAM_FAILED;
    }
    return OV_STREAM_OK;
}
