// OVCAPTURE: the capture direction of the standard ASIO driver, read by the engine thread one
// packet per period into the two ASIO input halves.
#include <cstring>
#include "Stream.h"
#include "OVASIOTrace.h"

DWORD OVCAPTURE::open(DWORD rate, REFERENCE_TIME duration, WORD bits)
{
    return openClient(rate, duration, bits);
}

VOID OVCAPTURE::setBuffers(BYTE *staging, DWORD frames)
{
    m_staging = staging;
    m_stagingFrames = staging != nullptr ? frames : 0;
}

// The packet is copied only as far as both the packet and the staging buffer reach: the
// audio engine may grant a buffer of another length than the host's.
VOID OVCAPTURE::readPeriod(SHORT *left, SHORT *right)
{
    if (m_service == nullptr || left == nullptr || right == nullptr) {
        return;
    }
    BYTE *data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    HRESULT hr = m_service->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "GetBuffer failed: 0x%08X", (unsigned)hr);
        return;
    }
    if (data == nullptr) {
        hr = m_service->ReleaseBuffer(frames);
    } else if ((flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0 || m_staging == nullptr || m_blockAlign != 4) {
        hr = m_service->ReleaseBuffer(frames);
        memset(left, 0, m_stagingFrames * sizeof(SHORT));
        memset(right, 0, m_stagingFrames * sizeof(SHORT));
    } else {
        DWORD copied = m_bufferFrames;
        if (copied > frames) {
            copied = frames;
        }
        if (copied > m_stagingFrames) {
            copied = m_stagingFrames;
        }
        memcpy(m_staging, data, (size_t)copied * m_blockAlign);
        hr = m_service->ReleaseBuffer(frames);
        const SHORT *samples = reinterpret_cast<const SHORT *>(m_staging);
        for (DWORD i = 0; i < copied; i++) {
            left[i] = samples[2 * i];
            right[i] = samples[2 * i + 1];
        }
        if (copied < m_stagingFrames) {
            memset(left + copied, 0, (m_stagingFrames - copied) * sizeof(SHORT));
            memset(right + copied, 0, (m_stagingFrames - copied) * sizeof(SHORT));
        }
    }
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "ReleaseBuffer failed: 0x%08X", (unsigned)hr);
    }
}

VOID OVCAPTURE::readSilence(SHORT *left, SHORT *right, DWORD frames)
{
    if (m_service == nullptr) {
        return;
    }
    BYTE *data = nullptr;
    UINT32 available = 0;
    DWORD flags = 0;
    HRESULT hr = m_service->GetBuffer(&data, &available, &flags, nullptr, nullptr);
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "GetBuffer failed: 0x%08X", (unsigned)hr);
        return;
    }
    hr = m_service->ReleaseBuffer(available);
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "ReleaseBuffer failed: 0x%08X", (unsigned)hr);
    }
    if (data != nullptr && left != nullptr && right != nullptr) {
        const DWORD zeroed = frames < m_stagingFrames ? frames : m_stagingFrames;
        memset(left, 0, zeroed * sizeof(SHORT));
        memset(right, 0, zeroed * sizeof(SHORT));
    }
}
