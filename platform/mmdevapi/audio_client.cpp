// IAudioClient on an endpoint in exclusive mode, with its render, capture and clock services.
// A started stream has a clock thread that, once per period on the machine clock, moves the
// period between the client's buffer and the endpoint's backend and then sets the client's
// event, as the audio engine does for an exclusive, event-driven stream.
#include "mmdevapi_private.h"

#include <atomic>
#include <cstring>
#include <new>
#include <audioclient.h>
#include <ksmedia.h>
#include <platform/clock.h>
#include <platform/thread.h>
#include <platform/win32_handles.h>

namespace platform::mmdev {

namespace {

constexpr LONGLONG k_longest_exclusive_buffer = 5000000; // 500 ms
constexpr DWORD k_known_stream_flags = AUDCLNT_STREAMFLAGS_CROSSPROCESS | AUDCLNT_STREAMFLAGS_EVENTCALLBACK |
                                       AUDCLNT_STREAMFLAGS_NOPERSIST | AUDCLNT_STREAMFLAGS_RATEADJUST |
                                       AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM;
constexpr UINT32 k_capture_packets = 2;

// Reads an integer PCM format; false for anything else or for inconsistent fields.
bool read_pcm_format(const WAVEFORMATEX *format, audio_pcm_format *pcm)
{
    pcm->rate = format->nSamplesPerSec;
    pcm->channels = format->nChannels;
    pcm->container_bits = format->wBitsPerSample;
    pcm->valid_bits = format->wBitsPerSample;
    if (format->wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        if (format->cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX)) {
            return false;
        }
        const auto *extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE *>(format);
        if (extensible->SubFormat != KSDATAFORMAT_SUBTYPE_PCM) {
            return false;
        }
        pcm->valid_bits = extensible->Samples.wValidBitsPerSample;
    } else if (format->wFormatTag != WAVE_FORMAT_PCM) {
        return false;
    }
    return pcm->channels != 0 && pcm->rate != 0 && pcm->container_bits % 8 == 0 && pcm->container_bits != 0 &&
           pcm->valid_bits != 0 && pcm->valid_bits <= pcm->container_bits &&
           format->nBlockAlign == pcm->block_align() && format->nAvgBytesPerSec == pcm->rate * format->nBlockAlign;
}

bool endpoint_supports(const endpoint &ep, const audio_pcm_format &pcm)
{
    for (const audio_pcm_format &f : ep.desc.formats) {
        if (f.rate == pcm.rate && f.channels == pcm.channels && f.container_bits == pcm.container_bits &&
            f.valid_bits == pcm.valid_bits) {
            return true;
        }
    }
    return false;
}

WAVEFORMATEX *task_format(const audio_pcm_format &pcm)
{
    auto *format = static_cast<WAVEFORMATEXTENSIBLE *>(CoTaskMemAlloc(sizeof(WAVEFORMATEXTENSIBLE)));
    if (format == nullptr) {
        return nullptr;
    }
    std::memset(format, 0, sizeof(*format));
    format->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format->Format.nChannels = pcm.channels;
    format->Format.nSamplesPerSec = pcm.rate;
    format->Format.nBlockAlign = pcm.block_align();
    format->Format.nAvgBytesPerSec = pcm.rate * pcm.block_align();
    format->Format.wBitsPerSample = pcm.container_bits;
    format->Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    format->Samples.wValidBitsPerSample = pcm.valid_bits;
    format->dwChannelMask = pcm.channels == 2 ? (SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT) : 0;
    format->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return &format->Format;
}

ULONG greatest_common_divisor(ULONG a, ULONG b)
{
    while (b != 0) {
        const ULONG r = a % b;
        a = b;
        b = r;
    }
    return a;
}

} // namespace

class audio_client final : public IAudioClient,
                           public IAudioRenderClient,
                           public IAudioCaptureClient,
                           public IAudioClock {
public:
    explicit audio_client(std::shared_ptr<endpoint> ep) : m_endpoint(std::move(ep))
    {
        dispatcher_init(&m_clock_stop, notification_event, 0);
        std::lock_guard<std::mutex> guard(table_lock());
        m_endpoint->clients.push_back(this);
    }

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IAudioClient) {
            return E_NOINTERFACE;
        }
        AddRef();
        *ppv = static_cast<IAudioClient *>(this);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG left = --m_refs;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    // ---- IAudioClient ----
    // Checks and the commit run under m_lock; claiming the endpoint takes the table lock and
    // opening the backend takes neither, since the table lock is taken before m_lock when the
    // endpoint goes away.
    STDMETHODIMP Initialize(AUDCLNT_SHAREMODE ShareMode, DWORD StreamFlags, REFERENCE_TIME hnsBufferDuration,
                            REFERENCE_TIME hnsPeriodicity, const WAVEFORMATEX *pFormat, LPCGUID) override
    {
        audio_pcm_format pcm;
        UINT32 frames = 0;
        LONGLONG duration = 0;
        bool event_driven = false;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            const HRESULT hr = check_initialize(ShareMode, StreamFlags, hnsBufferDuration, hnsPeriodicity, pFormat, &pcm,
                                                &frames, &duration, &event_driven);
            if (hr != S_OK) {
                return hr;
            }
            m_init = init_state::initializing;
        }
        std::unique_ptr<audio_endpoint_stream> stream;
        HRESULT hr = claim_endpoint(pcm, frames, &stream);
        std::shared_ptr<session_state> session = create_session_state();
        IAudioSessionControl *control = SUCCEEDED(hr) ? create_session_control(session) : nullptr;
        if (SUCCEEDED(hr) && control == nullptr) {
            hr = E_OUTOFMEMORY;
        }
        if (FAILED(hr)) {
            release_endpoint();
        }
        std::lock_guard<std::mutex> guard(m_lock);
        if (SUCCEEDED(hr) && m_invalid) {
            hr = AUDCLNT_E_DEVICE_INVALIDATED; // the endpoint's removal took the claim back
        }
        if (FAILED(hr)) {
            m_init = init_state::none;
            if (control != nullptr) {
                control->Release();
            }
            return hr;
        }
        m_stream = std::move(stream);
        m_session = std::move(session);
        m_session_control = control;
        m_format = pcm;
        m_block = pcm.block_align();
        m_frames = frames;
        m_period = duration;
        m_event_driven = event_driven;
        m_buffer.assign(static_cast<size_t>(frames) * m_block, 0);
        m_packets.assign(k_capture_packets, packet{std::vector<BYTE>(static_cast<size_t>(frames) * m_block), 0, 0, 0});
        m_init = init_state::initialized;
        return S_OK;
    }

    STDMETHODIMP GetBufferSize(UINT32 *pNumBufferFrames) override
    {
        if (pNumBufferFrames == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_init == init_state::none) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        *pNumBufferFrames = m_frames;
        return S_OK;
    }

    STDMETHODIMP GetStreamLatency(REFERENCE_TIME *phnsLatency) override
    {
        if (phnsLatency == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> guard(m_lock);
        const HRESULT hr = usable();
        if (SUCCEEDED(hr)) {
            *phnsLatency = m_period;
        }
        return hr;
    }

    STDMETHODIMP GetCurrentPadding(UINT32 *pNumPaddingFrames) override
    {
        if (pNumPaddingFrames == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> guard(m_lock);
        const HRESULT hr = usable();
        if (SUCCEEDED(hr)) {
            *pNumPaddingFrames = render() ? m_pending : m_packet_count * m_frames;
        }
        return hr;
    }

    STDMETHODIMP IsFormatSupported(AUDCLNT_SHAREMODE ShareMode, const WAVEFORMATEX *pFormat,
                                   WAVEFORMATEX **ppClosestMatch) override
    {
        if (ppClosestMatch != nullptr) {
            *ppClosestMatch = nullptr;
        }
        if (pFormat == nullptr) {
            return E_POINTER;
        }
        if (invalidated()) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        audio_pcm_format pcm;
        const bool supported = read_pcm_format(pFormat, &pcm) && endpoint_supports(*m_endpoint, pcm);
        if (ShareMode == AUDCLNT_SHAREMODE_EXCLUSIVE) {
            return supported ? S_OK : AUDCLNT_E_UNSUPPORTED_FORMAT;
        }
        if (ShareMode != AUDCLNT_SHAREMODE_SHARED) {
            return E_INVALIDARG;
        }
        // Shared streams are not provided; the mix format is the only shared format.
        const audio_pcm_format &mix = m_endpoint->desc.formats.front();
        if (supported && pcm.rate == mix.rate && pcm.channels == mix.channels &&
            pcm.container_bits == mix.container_bits && pcm.valid_bits == mix.valid_bits) {
            return S_OK;
        }
        if (ppClosestMatch == nullptr) {
            return E_POINTER;
        }
        *ppClosestMatch = task_format(mix);
        return *ppClosestMatch != nullptr ? S_FALSE : E_OUTOFMEMORY;
    }

    STDMETHODIMP GetMixFormat(WAVEFORMATEX **ppDeviceFormat) override
    {
        if (ppDeviceFormat == nullptr) {
            return E_POINTER;
        }
        *ppDeviceFormat = nullptr;
        if (invalidated()) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        *ppDeviceFormat = task_format(m_endpoint->desc.formats.front());
        return *ppDeviceFormat != nullptr ? S_OK : E_OUTOFMEMORY;
    }

    STDMETHODIMP GetDevicePeriod(REFERENCE_TIME *phnsDefaultDevicePeriod, REFERENCE_TIME *phnsMinimumDevicePeriod) override
    {
        if (phnsDefaultDevicePeriod == nullptr && phnsMinimumDevicePeriod == nullptr) {
            return E_POINTER;
        }
        if (invalidated()) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        if (phnsDefaultDevicePeriod != nullptr) {
            *phnsDefaultDevicePeriod = m_endpoint->desc.default_period;
        }
        if (phnsMinimumDevicePeriod != nullptr) {
            *phnsMinimumDevicePeriod = m_endpoint->desc.minimum_period;
        }
        return S_OK;
    }

    STDMETHODIMP Start() override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        HRESULT hr = usable();
        if (FAILED(hr)) {
            return hr;
        }
        if (m_running) {
            return AUDCLNT_E_NOT_STOPPED;
        }
        if (m_event_driven && m_event == nullptr) {
            return AUDCLNT_E_EVENTHANDLE_NOT_SET;
        }
        dispatcher_reset_event(&m_clock_stop);
        const LONGLONG start = clock_now();
        m_clock = thread_start([this, start] { clock_loop(start); }, nullptr, false);
        m_running = true;
        session_set_state(*m_session, AudioSessionStateActive);
        return S_OK;
    }

    STDMETHODIMP Stop() override
    {
        platform::thread *clock = nullptr;
        HRESULT hr;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            hr = usable();
            if (SUCCEEDED(hr) && !m_running) {
                hr = S_FALSE;
            }
            if (hr == S_OK) {
                m_running = false;
                clock = take_clock_locked();
                session_set_state(*m_session, AudioSessionStateInactive);
            }
        }
        join_clock(clock);
        return hr;
    }

    STDMETHODIMP Reset() override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        HRESULT hr = usable();
        if (FAILED(hr)) {
            return hr;
        }
        if (m_running) {
            return AUDCLNT_E_NOT_STOPPED;
        }
        if (m_held) {
            return AUDCLNT_E_BUFFER_OPERATION_PENDING;
        }
        m_pending = 0;
        m_packet_count = 0;
        m_position = 0;
        m_discontinuity = false;
        return S_OK;
    }

    STDMETHODIMP SetEventHandle(HANDLE eventHandle) override
    {
        if (eventHandle == nullptr || eventHandle == INVALID_HANDLE_VALUE) {
            return E_INVALIDARG;
        }
        std::lock_guard<std::mutex> guard(m_lock);
        HRESULT hr = usable();
        if (FAILED(hr)) {
            return hr;
        }
        if (!m_event_driven) {
            return AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED;
        }
        win32_object *event = win32_handle_reference(eventHandle, win32_object_type::event);
        if (event == nullptr) {
            return E_INVALIDARG;
        }
        if (m_event != nullptr) {
            win32_object_dereference(m_event);
        }
        m_event = event;
        return S_OK;
    }

    STDMETHODIMP GetService(REFIID riid, void **ppv) override
    {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        std::lock_guard<std::mutex> guard(m_lock);
        HRESULT hr = usable();
        if (FAILED(hr)) {
            return hr;
        }
        if (riid == IID_IAudioRenderClient || riid == IID_IAudioCaptureClient) {
            if ((riid == IID_IAudioRenderClient) != render()) {
                return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
            }
            AddRef();
            *ppv = render() ? static_cast<void *>(static_cast<IAudioRenderClient *>(this))
                            : static_cast<void *>(static_cast<IAudioCaptureClient *>(this));
            return S_OK;
        }
        if (riid == IID_IAudioClock) {
            AddRef();
            *ppv = static_cast<IAudioClock *>(this);
            return S_OK;
        }
        if (riid == IID_IAudioSessionControl) {
            m_session_control->AddRef();
            *ppv = m_session_control;
            return S_OK;
        }
        return E_NOINTERFACE;
    }

    // ---- IAudioRenderClient ----
    STDMETHODIMP GetBuffer(UINT32 NumFramesRequested, BYTE **ppData) override
    {
        if (ppData == nullptr) {
            return E_POINTER;
        }
        *ppData = nullptr;
        std::lock_guard<std::mutex> guard(m_lock);
        HRESULT hr = usable();
        if (FAILED(hr)) {
            return hr;
        }
        if (m_held) {
            return AUDCLNT_E_OUT_OF_ORDER;
        }
        if (NumFramesRequested > m_frames - m_pending) {
            return AUDCLNT_E_BUFFER_TOO_LARGE;
        }
        if (NumFramesRequested != 0) {
            *ppData = m_buffer.data() + static_cast<size_t>(m_pending) * m_block;
            m_held = true;
            m_held_frames = NumFramesRequested;
        }
        return S_OK;
    }

    STDMETHODIMP ReleaseBuffer(UINT32 NumFramesWritten, DWORD dwFlags) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        HRESULT hr = usable();
        if (FAILED(hr)) {
            return hr;
        }
        if ((dwFlags & ~static_cast<DWORD>(AUDCLNT_BUFFERFLAGS_SILENT)) != 0) {
            return E_INVALIDARG;
        }
        if (!m_held) {
            return NumFramesWritten == 0 ? S_OK : AUDCLNT_E_OUT_OF_ORDER;
        }
        if (NumFramesWritten > m_held_frames) {
            return AUDCLNT_E_INVALID_SIZE;
        }
        if ((dwFlags & AUDCLNT_BUFFERFLAGS_SILENT) != 0) {
            std::memset(m_buffer.data() + static_cast<size_t>(m_pending) * m_block, 0,
                        static_cast<size_t>(NumFramesWritten) * m_block);
        }
        m_pending += NumFramesWritten;
        m_held = false;
        return S_OK;
    }

    // ---- IAudioCaptureClient ----
    STDMETHODIMP GetBuffer(BYTE **ppData, UINT32 *pNumFramesToRead, DWORD *pdwFlags, UINT64 *pu64DevicePosition,
                           UINT64 *pu64QPCPosition) override
    {
        if (ppData == nullptr || pNumFramesToRead == nullptr || pdwFlags == nullptr) {
            return E_POINTER;
        }
        *ppData = nullptr;
        *pNumFramesToRead = 0;
        *pdwFlags = 0;
        std::lock_guard<std::mutex> guard(m_lock);
        HRESULT hr = usable();
        if (FAILED(hr)) {
            return hr;
        }
        if (m_held) {
            return AUDCLNT_E_OUT_OF_ORDER;
        }
        if (m_packet_count == 0) {
            return AUDCLNT_S_BUFFER_EMPTY;
        }
        packet &front = m_packets[m_packet_first];
        *ppData = front.data.data();
        *pNumFramesToRead = m_frames;
        *pdwFlags = front.flags;
        if (pu64DevicePosition != nullptr) {
            *pu64DevicePosition = front.position;
        }
        if (pu64QPCPosition != nullptr) {
            *pu64QPCPosition = front.qpc;
        }
        m_held = true;
        return S_OK;
    }

    STDMETHODIMP ReleaseBuffer(UINT32 NumFramesRead) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        HRESULT hr = usable();
        if (FAILED(hr)) {
            return hr;
        }
        if (!m_held) {
            return AUDCLNT_E_OUT_OF_ORDER;
        }
        if (NumFramesRead != 0 && NumFramesRead != m_frames) {
            return AUDCLNT_E_INVALID_SIZE;
        }
        m_held = false;
        if (NumFramesRead != 0) {
            m_packet_first = (m_packet_first + 1) % k_capture_packets;
            --m_packet_count;
        }
        return S_OK;
    }

    STDMETHODIMP GetNextPacketSize(UINT32 *pNumFramesInNextPacket) override
    {
        if (pNumFramesInNextPacket == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> guard(m_lock);
        HRESULT hr = usable();
        if (SUCCEEDED(hr)) {
            *pNumFramesInNextPacket = m_packet_count != 0 ? m_frames : 0;
        }
        return hr;
    }

    // ---- IAudioClock: positions in bytes ----
    STDMETHODIMP GetFrequency(UINT64 *pu64Frequency) override
    {
        if (pu64Frequency == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> guard(m_lock);
        HRESULT hr = usable();
        if (SUCCEEDED(hr)) {
            *pu64Frequency = static_cast<UINT64>(m_format.rate) * m_block;
        }
        return hr;
    }

    STDMETHODIMP GetPosition(UINT64 *pu64Position, UINT64 *pu64QPCPosition) override
    {
        if (pu64Position == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> guard(m_lock);
        HRESULT hr = usable();
        if (SUCCEEDED(hr)) {
            *pu64Position = m_position * m_block;
            if (pu64QPCPosition != nullptr) {
                *pu64QPCPosition = static_cast<UINT64>(clock_now());
            }
        }
        return hr;
    }

    STDMETHODIMP GetCharacteristics(DWORD *pdwCharacteristics) override
    {
        if (pdwCharacteristics == nullptr) {
            return E_POINTER;
        }
        *pdwCharacteristics = AUDIOCLOCK_CHARACTERISTIC_FIXED_FREQ;
        return S_OK;
    }

    // Called with table_lock held.
    void invalidate(ULONG reason)
    {
        std::shared_ptr<session_state> session;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_invalid) {
                return;
            }
            m_invalid = true;
            dispatcher_set_event(&m_clock_stop);
            session = m_session;
        }
        if (m_endpoint->exclusive_owner == this) {
            m_endpoint->exclusive_owner = nullptr;
        }
        if (session) {
            session_disconnect(*session, reason);
        }
    }

private:
    enum class init_state { none, alignment_refused, initializing, initialized };
    struct packet {
        std::vector<BYTE> data;
        DWORD flags;
        UINT64 position;
        UINT64 qpc;
    };

    ~audio_client()
    {
        join_clock(take_clock_locked());
        {
            std::lock_guard<std::mutex> table(table_lock());
            auto &clients = m_endpoint->clients;
            clients.erase(std::remove(clients.begin(), clients.end(), this), clients.end());
            if (m_endpoint->exclusive_owner == this) {
                m_endpoint->exclusive_owner = nullptr;
            }
        }
        if (m_session_control != nullptr) {
            m_session_control->Release();
        }
        if (m_event != nullptr) {
            win32_object_dereference(m_event);
        }
    }

    // The arguments of Initialize against the endpoint; m_lock held. S_OK when the client
    // may claim the endpoint with the format and frame count it computed.
    HRESULT check_initialize(AUDCLNT_SHAREMODE mode, DWORD flags, REFERENCE_TIME buffer_duration,
                             REFERENCE_TIME periodicity, const WAVEFORMATEX *format, audio_pcm_format *pcm,
                             UINT32 *frames_out, LONGLONG *duration_out, bool *event_driven_out)
    {
        if (m_invalid) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        if (m_init != init_state::none) {
            return AUDCLNT_E_ALREADY_INITIALIZED;
        }
        if (format == nullptr) {
            return E_POINTER;
        }
        if (mode == AUDCLNT_SHAREMODE_SHARED) {
            return AUDCLNT_E_EXCLUSIVE_MODE_ONLY;
        }
        if (mode != AUDCLNT_SHAREMODE_EXCLUSIVE || (flags & ~k_known_stream_flags) != 0 || buffer_duration < 0 ||
            periodicity < 0) {
            return E_INVALIDARG;
        }
        if (!read_pcm_format(format, pcm) || !endpoint_supports(*m_endpoint, *pcm)) {
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        }
        const bool event_driven = (flags & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) != 0;
        const LONGLONG period = periodicity != 0 ? periodicity : m_endpoint->desc.default_period;
        const LONGLONG duration = buffer_duration != 0 ? buffer_duration : period;
        if (event_driven && duration != period) {
            return AUDCLNT_E_BUFDURATION_PERIOD_NOT_EQUAL;
        }
        if (period < m_endpoint->desc.minimum_period) {
            return AUDCLNT_E_INVALID_DEVICE_PERIOD;
        }
        if (duration > k_longest_exclusive_buffer) {
            return AUDCLNT_E_BUFFER_SIZE_ERROR;
        }
        UINT32 frames = static_cast<UINT32>((duration * pcm->rate + ticks_per_second / 2) / ticks_per_second);
        const ULONG granularity = m_endpoint->desc.buffer_granularity_frames;
        if (granularity > 1) {
            frames = (frames + granularity - 1) / granularity * granularity;
        }
        const ULONG block = pcm->block_align();
        const ULONG alignment = m_endpoint->desc.alignment_bytes;
        if (alignment > 1 && (static_cast<ULONGLONG>(frames) * block) % alignment != 0) {
            // The client learns the aligned size from GetBufferSize and retries on a new client.
            const ULONG step = alignment / greatest_common_divisor(alignment, block);
            m_frames = (frames + step - 1) / step * step;
            m_init = init_state::alignment_refused;
            return AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED;
        }
        if (frames == 0) {
            return AUDCLNT_E_BUFFER_SIZE_ERROR;
        }
        *frames_out = frames;
        *duration_out = duration;
        *event_driven_out = event_driven;
        return S_OK;
    }

    // Makes this client the endpoint's exclusive owner and opens the backend's stream; no lock
    // held by the caller.
    HRESULT claim_endpoint(const audio_pcm_format &pcm, UINT32 frames, std::unique_ptr<audio_endpoint_stream> *stream)
    {
        std::shared_ptr<audio_endpoint_backend> backend;
        {
            std::lock_guard<std::mutex> table(table_lock());
            if (m_endpoint->state != DEVICE_STATE_ACTIVE) {
                return AUDCLNT_E_DEVICE_INVALIDATED;
            }
            if (m_endpoint->exclusive_owner != nullptr) {
                return AUDCLNT_E_DEVICE_IN_USE;
            }
            m_endpoint->exclusive_owner = this;
            backend = m_endpoint->desc.backend;
        }
        if (backend) {
            *stream = backend->open(pcm, frames);
        }
        return *stream ? S_OK : AUDCLNT_E_ENDPOINT_CREATE_FAILED;
    }

    // Gives up the endpoint when this client holds it.
    void release_endpoint()
    {
        std::lock_guard<std::mutex> table(table_lock());
        if (m_endpoint->exclusive_owner == this) {
            m_endpoint->exclusive_owner = nullptr;
        }
    }

    bool render() const { return m_endpoint->desc.flow == audio_flow::render; }

    bool invalidated()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_invalid;
    }

    // m_lock held.
    HRESULT usable() const
    {
        if (m_invalid) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        return m_init == init_state::initialized ? S_OK : AUDCLNT_E_NOT_INITIALIZED;
    }

    // Hands the clock thread to the caller for joining; m_lock held or the object unshared. The
    // clock thread holds no reference: the last Release joins it before the object goes.
    platform::thread *take_clock_locked()
    {
        platform::thread *clock = m_clock;
        m_clock = nullptr;
        dispatcher_set_event(&m_clock_stop);
        return clock;
    }

    void join_clock(platform::thread *clock)
    {
        if (clock == nullptr) {
            return;
        }
        DISPATCHER_HEADER *header = &clock->header;
        dispatcher_wait(1, &header, false, nullptr, false);
        thread_dereference(clock);
    }

    // The engine's period timer runs at the real-time priority of the audio engine's threads.
    static constexpr KPRIORITY engine_priority = 26;

    // Deadlines follow the stream's frame count from its start, so periods never drift.
    void clock_loop(LONGLONG start)
    {
        thread *self = current_thread();
        self->priority = engine_priority;
        thread_apply_priority(self);
        const LONGLONG frames_per_period = m_frames;
        for (LONGLONG k = 1;; ++k) {
            const LONGLONG deadline = start + k * frames_per_period * ticks_per_second / m_format.rate;
            DISPATCHER_HEADER *stop = &m_clock_stop;
            if (dispatcher_wait(1, &stop, false, &deadline, false) != STATUS_TIMEOUT) {
                break;
            }
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_invalid) {
                break;
            }
            if (render()) {
                render_period();
            } else {
                capture_period();
            }
            m_position += m_frames;
            if (m_event != nullptr) {
                dispatcher_set_event(m_event->wait_header());
            }
        }
    }

    // A buffer still held by the client was not finished in time: the device plays silence.
    void render_period()
    {
        if (m_held) {
            std::vector<BYTE> silence(m_buffer.size(), 0);
            m_stream->render(silence.data(), m_frames);
            return;
        }
        std::memset(m_buffer.data() + static_cast<size_t>(m_pending) * m_block, 0,
                    static_cast<size_t>(m_frames - m_pending) * m_block);
        m_stream->render(m_buffer.data(), m_frames);
        m_pending = 0;
    }

    // Packets the client has not read are overwritten oldest first, except the one it holds;
    // the first packet after the gap carries the discontinuity.
    void capture_period()
    {
        if (m_packet_count == k_capture_packets) {
            if (m_held) {
                std::vector<BYTE> dropped(m_buffer.size());
                m_stream->capture(dropped.data(), m_frames);
                m_discontinuity = true;
                return;
            }
            m_packet_first = (m_packet_first + 1) % k_capture_packets;
            --m_packet_count;
            m_packets[m_packet_first].flags |= AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
        }
        packet &slot = m_packets[(m_packet_first + m_packet_count) % k_capture_packets];
        const bool audible = m_stream->capture(slot.data.data(), m_frames);
        slot.flags = (audible ? 0 : AUDCLNT_BUFFERFLAGS_SILENT) | (m_discontinuity ? AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY : 0);
        slot.position = m_position;
        slot.qpc = static_cast<UINT64>(clock_now());
        m_discontinuity = false;
        ++m_packet_count;
    }

    std::atomic<ULONG> m_refs{1};
    std::shared_ptr<endpoint> m_endpoint;
    std::mutex m_lock;
    init_state m_init = init_state::none;
    bool m_invalid = false;
    audio_pcm_format m_format;
    ULONG m_block = 0;
    UINT32 m_frames = 0;
    LONGLONG m_period = 0;
    bool m_event_driven = false;
    win32_object *m_event = nullptr;
    std::unique_ptr<audio_endpoint_stream> m_stream;
    std::shared_ptr<session_state> m_session;
    IAudioSessionControl *m_session_control = nullptr;
    bool m_running = false;
    platform::thread *m_clock = nullptr;
    DISPATCHER_HEADER m_clock_stop;
    UINT64 m_position = 0;
    std::vector<BYTE> m_buffer; // render
    UINT32 m_pending = 0;
    bool m_held = false;
    UINT32 m_held_frames = 0;
    std::vector<packet> m_packets; // capture
    UINT32 m_packet_first = 0;
    UINT32 m_packet_count = 0;
    bool m_discontinuity = false;
};

IAudioClient *create_audio_client(std::shared_ptr<endpoint> ep)
{
    return new (std::nothrow) audio_client(std::move(ep));
}

void invalidate_client(audio_client *client, ULONG reason)
{
    client->invalidate(reason);
}

} // namespace platform::mmdev
