// OVSTREAM: opening, starting, stopping and closing one exclusive-mode WASAPI client, the
// render stream thread and the health check, for both directions.
#include "Stream.h"
#include <avrt.h>
#include <ksmedia.h>
#include <cwchar>
#include <new>
#include "OVASIO.h"
#include "SessionNotifications.h"
#include "OVASIOTrace.h"

namespace {

template <class T>
VOID ReleaseAndNull(T **object)
{
    if (*object != nullptr) {
        (*object)->Release();
        *object = nullptr;
    }
}

template <class TService>
const IID &ServiceId();
template <>
const IID &ServiceId<IAudioRenderClient>()
{
    return IID_IAudioRenderClient;
}
template <>
const IID &ServiceId<IAudioCaptureClient>()
{
    return IID_IAudioCaptureClient;
}

} // namespace

template <class TService>
OVSTREAM<TService>::OVSTREAM(OVASIO *owner, DWORD flow)
    : m_owner(owner), m_flow(flow), m_thread(nullptr), m_device(nullptr), m_client(nullptr), m_service(nullptr),
      m_sessionControl(nullptr), m_bufferEvent(nullptr), m_stopEvent(nullptr), m_sessionEvents(nullptr),
      m_blockAlign(0), m_bufferFrames(0)
{
    m_bufferEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (m_bufferEvent == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%s: CreateEventW(buffer) failed: %u",
                    TRACE_DIRECTION(m_flow != 0), (unsigned)GetLastError());
    }
    m_stopEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (m_stopEvent == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%s: CreateEventW(stop) failed: %u",
                    TRACE_DIRECTION(m_flow != 0), (unsigned)GetLastError());
    }
}

// The driver joins the thread and closes the stream before it deletes the object; a stream
// deleted open is closed here so that no interface outlives it.
template <class TService>
OVSTREAM<TService>::~OVSTREAM()
{
    if (m_thread != nullptr) {
        signalStop();
        joinThread();
    }
    close();
    if (m_bufferEvent != nullptr) {
        CloseHandle(m_bufferEvent);
    }
    if (m_stopEvent != nullptr) {
        CloseHandle(m_stopEvent);
    }
}

template <class TService>
DWORD OVSTREAM<TService>::getDevice(LPCWSTR endpointId)
{
    if (endpointId == nullptr) {
        return OV_STREAM_INVALID;
    }
    if (m_device != nullptr) {
        return OV_STREAM_PRESENT;
    }
    IMMDeviceEnumerator *enumerator = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_INPROC_SERVER, IID_IMMDeviceEnumerator,
                                  reinterpret_cast<void **>(&enumerator));
    if (FAILED(hr) || enumerator == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "%s: CoCreateInstance(MMDeviceEnumerator) failed: 0x%08X",
                    TRACE_DIRECTION(m_flow != 0), (unsigned)hr);
        return OV_STREAM_FAILED;
    }
    IMMDevice *device = nullptr;
    hr = enumerator->GetDevice(endpointId, &device);
    enumerator->Release();
    if (FAILED(hr) || device == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "%s: GetDevice(%ls) failed: 0x%08X",
                    TRACE_DIRECTION(m_flow != 0), endpointId, (unsigned)hr);
        if (device != nullptr) {
            device->Release();
        }
        return hr == E_INVALIDARG ? OV_STREAM_NO_ENDPOINT : OV_STREAM_FAILED;
    }
    m_device = device;
    return OV_STREAM_OK;
}

template <class TService>
DWORD OVSTREAM<TService>::activate()
{
    if (m_device == nullptr) {
        return OV_STREAM_MISSING;
    }
    if (m_client != nullptr) {
        return OV_STREAM_PRESENT;
    }
    IAudioClient *client = nullptr;
    const HRESULT hr =
        m_device->Activate(IID_IAudioClient, CLSCTX_INPROC_SERVER, nullptr, reinterpret_cast<void **>(&client));
    if (FAILED(hr) || client == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "%s: Activate(IAudioClient) failed: 0x%08X",
                    TRACE_DIRECTION(m_flow != 0), (unsigned)hr);
        return OV_STREAM_FAILED;
    }
    m_client = client;
    return OV_STREAM_OK;
}

// A refused IsFormatSupported is only traced: Initialize is the call that decides.
template <class TService>
DWORD OVSTREAM<TService>::openClient(DWORD rate, REFERENCE_TIME duration, WORD bits)
{
    if (m_client == nullptr) {
        return OV_STREAM_MISSING;
    }
    if (rate != 44100 && rate != 48000) {
        return OV_STREAM_INVALID;
    }
    const WORD bytesPerSample = (WORD)((bits + 7) / 8);
    WAVEFORMATEXTENSIBLE format = {};
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = 2;
    format.Format.nSamplesPerSec = rate;
    format.Format.nBlockAlign = (WORD)(2 * bytesPerSample);
    format.Format.nAvgBytesPerSec = format.Format.nBlockAlign * rate;
    format.Format.wBitsPerSample = (WORD)(8 * bytesPerSample);
    format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    format.Samples.wValidBitsPerSample = bits;
    format.dwChannelMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    const WAVEFORMATEX *wave = reinterpret_cast<const WAVEFORMATEX *>(&format);

    HRESULT hr = m_client->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, wave, nullptr);
    if (hr != S_OK) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "%s: IsFormatSupported(%u Hz, %u bits) answers 0x%08X",
                    TRACE_DIRECTION(m_flow != 0), (unsigned)rate, (unsigned)bits, (unsigned)hr);
    }
    hr = m_client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE,
                              AUDCLNT_STREAMFLAGS_EVENTCALLBACK | AUDCLNT_STREAMFLAGS_NOPERSIST, duration, duration,
                              wave, nullptr);
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "%s: Initialize(%u Hz, %lld) failed: 0x%08X",
                    TRACE_DIRECTION(m_flow != 0), (unsigned)rate, (long long)duration, (unsigned)hr);
        return OV_STREAM_FAILED;
    }
    m_blockAlign = format.Format.nBlockAlign;
    if (m_blockAlign == 0) {
        return OV_STREAM_FAILED;
    }
    UINT32 frames = 0;
    hr = m_client->GetBufferSize(&frames);
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "%s: GetBufferSize failed: 0x%08X",
                    TRACE_DIRECTION(m_flow != 0), (unsigned)hr);
        return OV_STREAM_FAILED;
    }
    m_bufferFrames = frames;
    hr = m_client->SetEventHandle(m_bufferEvent);
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "%s: SetEventHandle failed: 0x%08X",
                    TRACE_DIRECTION(m_flow != 0), (unsigned)hr);
        return OV_STREAM_FAILED;
    }
    return OV_STREAM_OK;
}

template <class TService>
DWORD OVSTREAM<TService>::getServices()
{
    if (m_client == nullptr) {
        return OV_STREAM_MISSING;
    }
    if (m_service != nullptr || m_sessionControl != nullptr) {
        return OV_STREAM_PRESENT;
    }
    TService *service = nullptr;
    HRESULT hr = m_client->GetService(ServiceId<TService>(), reinterpret_cast<void **>(&service));
    if (FAILED(hr) || service == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "%s: GetService(client) failed: 0x%08X",
                    TRACE_DIRECTION(m_flow != 0), (unsigned)hr);
        return OV_STREAM_FAILED;
    }
    IAudioSessionControl *control = nullptr;
    hr = m_client->GetService(IID_IAudioSessionControl, reinterpret_cast<void **>(&control));
    if (FAILED(hr) || control == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "%s: GetService(IAudioSessionControl) failed: 0x%08X",
                    TRACE_DIRECTION(m_flow != 0), (unsigned)hr);
        service->Release();
        return OV_STREAM_FAILED;
    }
    m_service = service;
    m_sessionControl = control;
    return OV_STREAM_OK;
}

template <class TService>
DWORD OVSTREAM<TService>::registerSessionEvents(OVAUDIOSESSIONNOTIFICATIONS **out)
{
    if (m_sessionEvents != nullptr) {
        return OV_STREAM_PRESENT;
    }
    if (m_sessionControl == nullptr) {
        return OV_STREAM_MISSING;
    }
    OVAUDIOSESSIONNOTIFICATIONS *events = new (std::nothrow) OVAUDIOSESSIONNOTIFICATIONS(m_flow);
    if (events == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%s: no memory for the session events",
                    TRACE_DIRECTION(m_flow != 0));
        return OV_STREAM_FAILED;
    }
    events->AddRef();
    const HRESULT hr = m_sessionControl->RegisterAudioSessionNotification(events);
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "%s: RegisterAudioSessionNotification failed: 0x%08X",
                    TRACE_DIRECTION(m_flow != 0), (unsigned)hr);
        events->Release();
        return OV_STREAM_FAILED;
    }
    m_sessionEvents = events;
    if (out != nullptr) {
        *out = events;
    }
    return OV_STREAM_OK;
}

template <class TService>
DWORD OVSTREAM<TService>::startThread()
{
    if (m_client == nullptr || m_service == nullptr || m_blockAlign == 0) {
        return OV_STREAM_MISSING;
    }
    if (m_thread != nullptr) {
        return OV_STREAM_PRESENT;
    }
    // A stop signalled while no thread ran (a failed start) must not end the new thread.
    if (m_stopEvent != nullptr) {
        ResetEvent(m_stopEvent);
    }
    m_thread = CreateThread(nullptr, 0, threadProc, this, 0, nullptr);
    if (m_thread == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%s: CreateThread failed: %u", TRACE_DIRECTION(m_flow != 0),
                    (unsigned)GetLastError());
        return OV_STREAM_FAILED;
    }
    return OV_STREAM_OK;
}

template <class TService>
DWORD OVSTREAM<TService>::startClient()
{
    if (m_client == nullptr) {
        return OV_STREAM_MISSING;
    }
    prime();
    const HRESULT hr = m_client->Start();
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "%s: Start failed: 0x%08X", TRACE_DIRECTION(m_flow != 0),
                    (unsigned)hr);
        return OV_STREAM_FAILED;
    }
    return OV_STREAM_OK;
}

template <class TService>
DWORD OVSTREAM<TService>::signalStop()
{
    if (m_stopEvent != nullptr) {
        SetEvent(m_stopEvent);
    }
    return OV_STREAM_OK;
}

template <class TService>
DWORD OVSTREAM<TService>::joinThread()
{
    DWORD result = OV_STREAM_OK;
    if (m_thread != nullptr) {
        DWORD exitCode = 0;
        if (WaitForSingleObject(m_thread, INFINITE) != WAIT_OBJECT_0) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%s: wait for the stream thread failed: %u",
                        TRACE_DIRECTION(m_flow != 0), (unsigned)GetLastError());
            result = OV_STREAM_FAILED;
        } else if (!GetExitCodeThread(m_thread, &exitCode) || exitCode != 0) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%s: stream thread ended with 0x%08X",
                        TRACE_DIRECTION(m_flow != 0), (unsigned)exitCode);
            result = OV_STREAM_FAILED;
        }
        CloseHandle(m_thread);
        m_thread = nullptr;
    }
    if (m_client == nullptr) {
        return OV_STREAM_MISSING;
    }
    const HRESULT hr = m_client->Stop();
    if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "%s: Stop failed: 0x%08X", TRACE_DIRECTION(m_flow != 0),
                    (unsigned)hr);
        result = OV_STREAM_FAILED;
    }
    return result;
}

template <class TService>
DWORD OVSTREAM<TService>::close()
{
    if (m_sessionControl != nullptr && m_sessionEvents != nullptr) {
        const HRESULT hr = m_sessionControl->UnregisterAudioSessionNotification(m_sessionEvents);
        if (FAILED(hr)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "%s: UnregisterAudioSessionNotification failed: 0x%08X",
                        TRACE_DIRECTION(m_flow != 0), (unsigned)hr);
        }
    }
    ReleaseAndNull(&m_sessionEvents);
    ReleaseAndNull(&m_sessionControl);
    ReleaseAndNull(&m_service);
    ReleaseAndNull(&m_client);
    ReleaseAndNull(&m_device);
    return OV_STREAM_OK;
}

template <class TService>
BOOL OVSTREAM<TService>::checkHealth()
{
    if (m_client == nullptr) {
        return FALSE;
    }
    UINT32 padding = 0;
    const HRESULT hr = m_client->GetCurrentPadding(&padding);
    if (SUCCEEDED(hr)) {
        return TRUE;
    }
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "%s: GetCurrentPadding failed: 0x%08X, session lost",
                TRACE_DIRECTION(m_flow != 0), (unsigned)hr);
    if (m_owner != nullptr) {
        if (m_owner->m_stopEvent != nullptr) {
            SetEvent(m_owner->m_stopEvent);
        }
        m_owner->onSessionLost();
    }
    return FALSE;
}

template <class TService>
DWORD WINAPI OVSTREAM<TService>::threadProc(LPVOID context)
{
    return static_cast<OVSTREAM<TService> *>(context)->streamThread();
}

// Until the engine starts the client no buffer event comes; each time-out checks the client.
template <class TService>
DWORD OVSTREAM<TService>::streamThread()
{
    DWORD exitCode = 0;
    DWORD taskIndex = 0;
    const HANDLE task = AvSetMmThreadCharacteristicsW(L"Pro Audio", &taskIndex);
    if (task != nullptr) {
        if (!AvSetMmThreadPriority(task, AVRT_PRIORITY_HIGH)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "%s: AvSetMmThreadPriority failed: %u",
                        TRACE_DIRECTION(m_flow != 0), (unsigned)GetLastError());
        }
    } else {
        exitCode = GetLastError();
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "%s: no MMCSS task (%u), time-critical priority instead",
                    TRACE_DIRECTION(m_flow != 0), (unsigned)exitCode);
        if (!SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "%s: SetThreadPriority failed: %u",
                        TRACE_DIRECTION(m_flow != 0), (unsigned)GetLastError());
        }
    }
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(com)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "%s: CoInitializeEx failed: 0x%08X",
                    TRACE_DIRECTION(m_flow != 0), (unsigned)com);
        if (task != nullptr) {
            AvRevertMmThreadCharacteristics(task);
        }
        return (DWORD)com;
    }
    const HANDLE waits[2] = {m_stopEvent, m_bufferEvent};
    for (;;) {
        const DWORD wait = WaitForMultipleObjects(2, waits, FALSE, OV_STREAM_HEALTH_WAIT_MS);
        if (wait == WAIT_OBJECT_0) {
            break;
        }
        if (wait == WAIT_OBJECT_0 + 1) {
            period();
        } else if (wait == WAIT_TIMEOUT) {
            if (!checkHealth()) {
                break;
            }
        } else {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "%s: wait answered 0x%08X (%u)",
                        TRACE_DIRECTION(m_flow != 0), (unsigned)wait, (unsigned)GetLastError());
            exitCode = wait;
            break;
        }
    }
    CoUninitialize();
    if (task != nullptr) {
        AvRevertMmThreadCharacteristics(task);
    }
    return exitCode;
}

template class OVSTREAM<IAudioRenderClient>;
template class OVSTREAM<IAudioCaptureClient>;
