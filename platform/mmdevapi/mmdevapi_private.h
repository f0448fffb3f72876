// Shared state of the mmdevapi module: the endpoint table, the notification thread, and the
// factories of the COM objects the enumerator hands out.
#pragma once
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include <audioclient.h>
#include <audiopolicy.h>
#include <mmdeviceapi.h>
#include <platform/audio_endpoint.h>

namespace platform::mmdev {

class audio_client;

struct endpoint {
    audio_endpoint_desc desc;
    std::wstring id;
    std::wstring guid_text; // "{xxxxxxxx-...}", lower case
    DWORD state = DEVICE_STATE_ACTIVE;
    audio_client *exclusive_owner = nullptr;  // guarded by table_lock
    std::vector<audio_client *> clients;      // guarded by table_lock
};

// Guards the endpoint table, each endpoint's client list and its exclusive owner.
std::mutex &table_lock();
std::shared_ptr<endpoint> find_endpoint(const std::wstring &id);
std::vector<std::shared_ptr<endpoint>> list_endpoints(EDataFlow flow, DWORD state_mask);
std::shared_ptr<endpoint> default_endpoint(EDataFlow flow);

// Queues a call for the notification thread, which delivers session and endpoint
// notifications in order, never on the thread of the call that caused them.
void post_notification(std::function<void()> call);

// Endpoint notification clients registered through any enumerator.
void register_notification_client(IMMNotificationClient *client);
bool unregister_notification_client(IMMNotificationClient *client);

// COM objects. Each returns a new object with one reference, or null when out of memory.
IMMDevice *create_device(std::shared_ptr<endpoint> ep);
IMMDeviceCollection *create_collection(std::vector<std::shared_ptr<endpoint>> endpoints);
IAudioClient *create_audio_client(std::shared_ptr<endpoint> ep);
HRESULT create_enumerator(IUnknown *outer, REFIID riid, void **ppv);

// Called under table_lock by the endpoint table when the endpoint goes away or is taken
// over; the client fails every later call and posts its sessions' disconnect notices.
void invalidate_client(audio_client *client, ULONG reason);

// Duplicates text with CoTaskMemAlloc; null when out of memory.
LPWSTR task_string(const std::wstring &text);

std::wstring guid_text_lower(const GUID &guid);

} // namespace platform::mmdev

namespace platform::mmdev {

// The session of one audio client: its state and the event sinks registered on its control.
struct session_state;
std::shared_ptr<session_state> create_session_state();
// A new session control object over the session, with one reference; null when out of memory.
IAudioSessionControl *create_session_control(std::shared_ptr<session_state> session);
// Moves the session to a state; sinks hear of a change through OnStateChanged.
void session_set_state(session_state &session, AudioSessionState state);
// Sinks hear OnSessionDisconnected(reason); the session expires.
void session_disconnect(session_state &session, ULONG reason);

} // namespace platform::mmdev
