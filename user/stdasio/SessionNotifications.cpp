// OVAUDIOSESSIONNOTIFICATIONS: IAudioSessionEvents of the standard ASIO driver's streams.
#include "SessionNotifications.h"
#include <interlockedapi.h>
#include "OVASIO.h"
#include "OVASIOTrace.h"

OVAUDIOSESSIONNOTIFICATIONS::OVAUDIOSESSIONNOTIFICATIONS(DWORD flow) : m_refCount(0), m_flow(flow), m_owner(nullptr)
{
    InitializeCriticalSection(&m_ownerLock);
}

OVAUDIOSESSIONNOTIFICATIONS::~OVAUDIOSESSIONNOTIFICATIONS()
{
    DeleteCriticalSection(&m_ownerLock);
}

STDMETHODIMP OVAUDIOSESSIONNOTIFICATIONS::QueryInterface(REFIID riid, void **ppv)
{
    if (ppv == nullptr) {
        return E_POINTER;
    }
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IAudioSessionEvents)) {
        *ppv = static_cast<IAudioSessionEvents *>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) OVAUDIOSESSIONNOTIFICATIONS::AddRef()
{
    return (ULONG)InterlockedIncrement(&m_refCount);
}

STDMETHODIMP_(ULONG) OVAUDIOSESSIONNOTIFICATIONS::Release()
{
    const LONG count = InterlockedDecrement(&m_refCount);
    if (count == 0) {
        delete this;
    }
    return (ULONG)count;
}

STDMETHODIMP OVAUDIOSESSIONNOTIFICATIONS::OnDisplayNameChanged(LPCWSTR, LPCGUID)
{
    return S_OK;
}

STDMETHODIMP OVAUDIOSESSIONNOTIFICATIONS::OnIconPathChanged(LPCWSTR, LPCGUID)
{
    return S_OK;
}

STDMETHODIMP OVAUDIOSESSIONNOTIFICATIONS::OnSimpleVolumeChanged(float, BOOL, LPCGUID)
{
    return S_OK;
}

STDMETHODIMP OVAUDIOSESSIONNOTIFICATIONS::OnChannelVolumeChanged(DWORD, float[], DWORD, LPCGUID)
{
    return S_OK;
}

STDMETHODIMP OVAUDIOSESSIONNOTIFICATIONS::OnGroupingParamChanged(LPCGUID, LPCGUID)
{
    return S_OK;
}

STDMETHODIMP OVAUDIOSESSIONNOTIFICATIONS::OnStateChanged(AudioSessionState)
{
    return S_OK;
}

// The report runs under the owner lock, so that releaseBuffers' ClearOwner waits for it and
// a driver object being destroyed is never called from here.
STDMETHODIMP OVAUDIOSESSIONNOTIFICATIONS::OnSessionDisconnected(AudioSessionDisconnectReason DisconnectReason)
{
    const DWORD reason = (DWORD)DisconnectReason;
    if (reason > (DWORD)DisconnectReasonExclusiveModeOverride) {
        return S_OK;
    }
    TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_DEVICE, "%s: session disconnected, reason %u",
                TRACE_DIRECTION(m_flow != 0), (unsigned)reason);
    EnterCriticalSection(&m_ownerLock);
    if (m_owner != nullptr) {
        m_owner->onSessionLost();
    }
    LeaveCriticalSection(&m_ownerLock);
    return S_OK;
}

DWORD OVAUDIOSESSIONNOTIFICATIONS::SetOwner(OVASIO *owner)
{
    if (owner == nullptr) {
        return 0;
    }
    EnterCriticalSection(&m_ownerLock);
    m_owner = owner;
    LeaveCriticalSection(&m_ownerLock);
    return 1;
}

VOID OVAUDIOSESSIONNOTIFICATIONS::ClearOwner()
{
    EnterCriticalSection(&m_ownerLock);
    m_owner = nullptr;
    LeaveCriticalSection(&m_ownerLock);
}
