// OVAUDIOSESSIONNOTIFICATIONS: the audio-session event sink each open stream registers; a
// disconnected session is reported to the owning driver object as a lost session.
#pragma once
#include <windows.h>
#include <audiopolicy.h>

class OVASIO;

class OVAUDIOSESSIONNOTIFICATIONS : public IAudioSessionEvents {
public:
    // flow: 0 render, 1 capture. The count starts at 0; the creator takes the first reference.
    explicit OVAUDIOSESSIONNOTIFICATIONS(DWORD flow);

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP OnDisplayNameChanged(LPCWSTR NewDisplayName, LPCGUID EventContext) override;
    STDMETHODIMP OnIconPathChanged(LPCWSTR NewIconPath, LPCGUID EventContext) override;
    STDMETHODIMP OnSimpleVolumeChanged(float NewVolume, BOOL NewMute, LPCGUID EventContext) override;
    STDMETHODIMP OnChannelVolumeChanged(DWORD ChannelCount, float NewChannelVolumeArray[], DWORD ChangedChannel,
                                        LPCGUID EventContext) override;
    STDMETHODIMP OnGroupingParamChanged(LPCGUID NewGroupingParam, LPCGUID EventContext) override;
    STDMETHODIMP OnStateChanged(AudioSessionState NewState) override;
    // Every documented reason (device removal to exclusive-mode override) reports a lost
    // session to the owner; other values and an object without owner do nothing.
    STDMETHODIMP OnSessionDisconnected(AudioSessionDisconnectReason DisconnectReason) override;

    virtual ~OVAUDIOSESSIONNOTIFICATIONS();
    // 1 when owner was stored; 0 for a null owner, which changes nothing.
    virtual DWORD SetOwner(OVASIO *owner);
    // After this returns no new report reaches the old owner; one already running completes
    // first, so the owner may be destroyed once ClearOwner is back.
    virtual VOID ClearOwner();

    DWORD flow() const { return m_flow; }

private:
    volatile LONG m_refCount;
    DWORD m_flow;
    OVASIO *volatile m_owner;
    // Guards m_owner against a report that runs while the owner is cleared.
    CRITICAL_SECTION m_ownerLock;
};
