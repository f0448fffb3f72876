// Audio sessions of exclusive clients: the session control handed out by GetService, its
// registered event sinks, and the state and disconnect notices delivered to them.
#include "mmdevapi_private.h"

#include <algorithm>
#include <atomic>
#include <new>

namespace platform::mmdev {

struct session_state {
    std::mutex lock;
    AudioSessionState state = AudioSessionStateInactive;
    std::vector<IAudioSessionEvents *> sinks; // each holds a reference
    ~session_state()
    {
        for (IAudioSessionEvents *sink : sinks) {
            sink->Release();
        }
    }
};

namespace {

// Posts call for each sink registered now; every posted call holds its own reference.
void post_to_sinks(session_state &session, const std::function<void(IAudioSessionEvents *)> &call)
{
    std::vector<IAudioSessionEvents *> sinks;
    {
        std::lock_guard<std::mutex> guard(session.lock);
        sinks = session.sinks;
        for (IAudioSessionEvents *sink : sinks) {
            sink->AddRef();
        }
    }
    for (IAudioSessionEvents *sink : sinks) {
        post_notification([sink, call] {
            call(sink);
            sink->Release();
        });
    }
}

class session_control final : public IAudioSessionControl {
public:
    explicit session_control(std::shared_ptr<session_state> session) : m_session(std::move(session)) {}

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IAudioSessionControl) {
            return E_NOINTERFACE;
        }
        AddRef();
        *ppv = static_cast<IAudioSessionControl *>(this);
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

    STDMETHODIMP GetState(AudioSessionState *pRetVal) override
    {
        if (pRetVal == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> guard(m_session->lock);
        *pRetVal = m_session->state;
        return S_OK;
    }
    STDMETHODIMP GetDisplayName(LPWSTR *pRetVal) override { return text_of(m_display_name, pRetVal); }
    STDMETHODIMP SetDisplayName(LPCWSTR Value, LPCGUID) override { return set_text(&m_display_name, Value); }
    STDMETHODIMP GetIconPath(LPWSTR *pRetVal) override { return text_of(m_icon_path, pRetVal); }
    STDMETHODIMP SetIconPath(LPCWSTR Value, LPCGUID) override { return set_text(&m_icon_path, Value); }
    STDMETHODIMP GetGroupingParam(GUID *pRetVal) override
    {
        if (pRetVal == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> guard(m_session->lock);
        *pRetVal = m_grouping;
        return S_OK;
    }
    STDMETHODIMP SetGroupingParam(LPCGUID Override, LPCGUID) override
    {
        if (Override == nullptr) {
            return E_INVALIDARG;
        }
        std::lock_guard<std::mutex> guard(m_session->lock);
        m_grouping = *Override;
        return S_OK;
    }
    STDMETHODIMP RegisterAudioSessionNotification(IAudioSessionEvents *NewNotifications) override
    {
        if (NewNotifications == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> guard(m_session->lock);
        NewNotifications->AddRef();
        m_session->sinks.push_back(NewNotifications);
        return S_OK;
    }
    STDMETHODIMP UnregisterAudioSessionNotification(IAudioSessionEvents *NewNotifications) override
    {
        if (NewNotifications == nullptr) {
            return E_POINTER;
        }
        IAudioSessionEvents *found = nullptr;
        {
            std::lock_guard<std::mutex> guard(m_session->lock);
            auto &sinks = m_session->sinks;
            auto it = std::find(sinks.begin(), sinks.end(), NewNotifications);
            if (it != sinks.end()) {
                found = *it;
                sinks.erase(it);
            }
        }
        if (found == nullptr) {
            return E_NOTFOUND;
        }
        found->Release();
        return S_OK;
    }

private:
    ~session_control() = default;

    HRESULT text_of(const std::wstring &text, LPWSTR *out)
    {
        if (out == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> guard(m_session->lock);
        *out = task_string(text);
        return *out != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT set_text(std::wstring *text, LPCWSTR value)
    {
        if (value == nullptr) {
            return E_INVALIDARG;
        }
        std::lock_guard<std::mutex> guard(m_session->lock);
        *text = value;
        return S_OK;
    }

    std::atomic<ULONG> m_refs{1};
    std::shared_ptr<session_state> m_session;
    std::wstring m_display_name;
    std::wstring m_icon_path;
    GUID m_grouping = GUID_NULL;
};

} // namespace

std::shared_ptr<session_state> create_session_state()
{
    return std::make_shared<session_state>();
}

IAudioSessionControl *create_session_control(std::shared_ptr<session_state> session)
{
    return new (std::nothrow) session_control(std::move(session));
}

void session_set_state(session_state &session, AudioSessionState state)
{
    {
        std::lock_guard<std::mutex> guard(session.lock);
        if (session.state == state || session.state == AudioSessionStateExpired) {
            return;
        }
        session.state = state;
    }
    post_to_sinks(session, [state](IAudioSessionEvents *sink) { sink->OnStateChanged(state); });
}

void session_disconnect(session_state &session, ULONG reason)
{
    {
        std::lock_guard<std::mutex> guard(session.lock);
        if (session.state == AudioSessionStateExpired) {
            return;
        }
        session.state = AudioSessionStateExpired;
    }
    const auto why = static_cast<AudioSessionDisconnectReason>(reason);
    post_to_sinks(session, [why](IAudioSessionEvents *sink) { sink->OnSessionDisconnected(why); });
}

} // namespace platform::mmdev
