// Audio sessions: the session control a client reaches through IAudioClient::GetService and
// the session events it registers there.
#pragma once
#include <objbase.h>
#include <audiosessiontypes.h>

typedef enum AudioSessionDisconnectReason {
    DisconnectReasonDeviceRemoval = 0,
    DisconnectReasonServerShutdown = 1,
    DisconnectReasonFormatChanged = 2,
    DisconnectReasonSessionLogoff = 3,
    DisconnectReasonSessionDisconnected = 4,
    DisconnectReasonExclusiveModeOverride = 5,
} AudioSessionDisconnectReason;

// {24918ACC-64B3-37C1-8CA9-74A66E9957A8}
DEFINE_GUID(IID_IAudioSessionEvents, 0x24918ACC, 0x64B3, 0x37C1, 0x8C, 0xA9, 0x74, 0xA6, 0x6E, 0x99, 0x57, 0xA8);
// {F4B1A599-7266-4319-A8CA-E70ACB11E8CD}
DEFINE_GUID(IID_IAudioSessionControl, 0xF4B1A599, 0x7266, 0x4319, 0xA8, 0xCA, 0xE7, 0x0A, 0xCB, 0x11, 0xE8, 0xCD);

// Implemented by a client. The session calls it on a notification thread, never on a thread
// that holds the client's own calls; a callback must not block for long.
interface IAudioSessionEvents : public IUnknown {
    STDMETHOD(OnDisplayNameChanged)(LPCWSTR NewDisplayName, LPCGUID EventContext) PURE;
    STDMETHOD(OnIconPathChanged)(LPCWSTR NewIconPath, LPCGUID EventContext) PURE;
    STDMETHOD(OnSimpleVolumeChanged)(float NewVolume, BOOL NewMute, LPCGUID EventContext) PURE;
    STDMETHOD(OnChannelVolumeChanged)(DWORD ChannelCount, float NewChannelVolumeArray[], DWORD ChangedChannel,
                                      LPCGUID EventContext) PURE;
    STDMETHOD(OnGroupingParamChanged)(LPCGUID NewGroupingParam, LPCGUID EventContext) PURE;
    STDMETHOD(OnStateChanged)(AudioSessionState NewState) PURE;
    STDMETHOD(OnSessionDisconnected)(AudioSessionDisconnectReason DisconnectReason) PURE;

protected:
    ~IAudioSessionEvents() = default;
};

interface IAudioSessionControl : public IUnknown {
    STDMETHOD(GetState)(AudioSessionState *pRetVal) PURE;
    STDMETHOD(GetDisplayName)(LPWSTR *pRetVal) PURE;
    STDMETHOD(SetDisplayName)(LPCWSTR Value, LPCGUID EventContext) PURE;
    STDMETHOD(GetIconPath)(LPWSTR *pRetVal) PURE;
    STDMETHOD(SetIconPath)(LPCWSTR Value, LPCGUID EventContext) PURE;
    STDMETHOD(GetGroupingParam)(GUID *pRetVal) PURE;
    STDMETHOD(SetGroupingParam)(LPCGUID Override, LPCGUID EventContext) PURE;
    // The session holds a reference on a registered sink until it is unregistered.
    STDMETHOD(RegisterAudioSessionNotification)(IAudioSessionEvents *NewNotifications) PURE;
    STDMETHOD(UnregisterAudioSessionNotification)(IAudioSessionEvents *NewNotifications) PURE;

protected:
    ~IAudioSessionControl() = default;
};
