// The audio endpoints behind the MMDevice API and exclusive-mode WASAPI. Whoever plays the
// machine's audio hardware (the simulation) adds endpoints here with a backend that moves one
// period of audio per call; the endpoint's clock calls it once per period on the machine clock
// and then signals the client's event. Endpoints are forgotten at every machine boot.
#pragma once
#include <memory>
#include <string>
#include <vector>
#include <guiddef.h>
#include <windef.h>

namespace platform {

enum class audio_flow : ULONG { render = 0, capture = 1 };

// Integer PCM, interleaved, little endian.
struct audio_pcm_format {
    ULONG rate = 0;
    USHORT channels = 0;
    USHORT container_bits = 0;
    USHORT valid_bits = 0;
    USHORT block_align() const { return static_cast<USHORT>(channels * (container_bits / 8)); }
};

// One open stream of an endpoint. Its calls come from the stream's clock thread, one period at
// a time, never concurrently, and must not call back into the audio client.
class audio_endpoint_stream {
public:
    virtual ~audio_endpoint_stream() = default;
    // Render: one period of frames the client played (silence where it wrote none).
    virtual void render(const BYTE *data, UINT32 frames) = 0;
    // Capture: fills one period of frames; false when no audio came (the data is then silence
    // and the packet is flagged silent).
    virtual bool capture(BYTE *data, UINT32 frames) = 0;
};

class audio_endpoint_backend {
public:
    virtual ~audio_endpoint_backend() = default;
    // Opens a stream for a client initialised in an exclusive format with a period of
    // period_frames; null refuses the client (AUDCLNT_E_ENDPOINT_CREATE_FAILED).
    virtual std::unique_ptr<audio_endpoint_stream> open(const audio_pcm_format &format, UINT32 period_frames) = 0;
};

struct audio_endpoint_desc {
    audio_flow flow = audio_flow::render;
    GUID guid{};                 // names the endpoint: its identifier ends in this GUID's text
    std::wstring friendly_name;  // PKEY_Device_FriendlyName ("Speakers (device)")
    std::wstring interface_name; // PKEY_DeviceInterface_FriendlyName (the device's name)
    std::wstring description;    // PKEY_Device_DeviceDesc ("Speakers")
    // The endpoint's device path as the audio engine keeps it among the endpoint's registry
    // properties: "{1}." followed by the device instance path of the device behind it.
    std::wstring device_path;
    std::vector<audio_pcm_format> formats; // exclusive-mode formats; the first is the mix format
    LONGLONG default_period = 100000;      // 100 ns units
    LONGLONG minimum_period = 30000;
    // Exclusive buffers must be a multiple of this many bytes; 0 or 1 imposes nothing.
    ULONG alignment_bytes = 0;
    // The endpoint's driver allocates exclusive buffers in whole multiples of this many frames:
    // Initialize grants the frames asked for rounded up to one, GetBufferSize tells the client
    // and each period moves that many. 0 or 1 grants the frames asked for.
    ULONG buffer_granularity_frames = 0;
    std::shared_ptr<audio_endpoint_backend> backend;
};

// Adds an active endpoint and writes its registry properties (the 64-bit view's key
// HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\MMDevices\Audio\Render|Capture\{guid}\Properties).
// Re-adding the GUID of a removed endpoint makes it active again with the new description.
// Returns the endpoint identifier, or an empty string when an active endpoint has that GUID or
// the description lists no format.
// Registered notification clients hear of it (OnDeviceAdded, OnDeviceStateChanged).
std::wstring audio_endpoint_add(const audio_endpoint_desc &desc);

// The endpoint's device is gone: its state becomes DEVICE_STATE_NOTPRESENT, every client on it
// fails with AUDCLNT_E_DEVICE_INVALIDATED from now on and its sessions are disconnected with
// DisconnectReasonDeviceRemoval. false when no active endpoint has this identifier.
bool audio_endpoint_remove(const std::wstring &id);

// Disconnects every session on an active endpoint with reason (an AudioSessionDisconnectReason,
// such as a format change or an exclusive-mode takeover) and invalidates their clients; the
// endpoint stays active, so a new client may open it.
bool audio_endpoint_disconnect(const std::wstring &id, ULONG reason);

// Makes an active endpoint the default of its flow for every role.
bool audio_endpoint_set_default(const std::wstring &id);

// Number of audio clients alive on the endpoint, and whether one holds it in exclusive mode.
ULONG audio_endpoint_client_count(const std::wstring &id);
bool audio_endpoint_in_exclusive_use(const std::wstring &id);

// Blocks until every session and endpoint notification queued so far has been delivered.
void audio_notifications_drain();

} // namespace platform
