// Audio endpoints of simulated USB audio devices that need no kernel driver: the machine's audio
// engine shows such a device as a render and a capture endpoint whose device path carries its
// USB vendor and product IDs, and which are clocked by the machine clock. The render endpoint
// can loop what it plays back to the capture endpoint.
#pragma once
#include <atomic>
#include <memory>
#include <string>
#include <vector>
#include <platform/audio_endpoint.h>

namespace sim {

struct usb_endpoint_pair_options {
    USHORT vendor_id = 0x3A51; // the standard USB audio device by default
    USHORT product_id = 0x0201;
    // The instance part of the device's instance path; devices of one model differ in it.
    std::wstring instance = L"5&2A6F1C3&0&1";
    std::wstring device_name = L"USB Audio Device"; // the device interface's friendly name
    std::vector<ULONG> rates = {44100, 48000};
    USHORT channels = 2;
    std::vector<USHORT> bits = {16, 24}; // container and valid bits alike
    LONGLONG default_period = 100000;    // 100 ns units
    LONGLONG minimum_period = 30000;
    ULONG alignment_bytes = 0;
    bool with_render = true;
    bool with_capture = true;
    bool loopback = true; // capture returns what render played (same format only)
};

struct loopback_state;

// Registers the endpoints at construction and removes them at destruction.
class usb_endpoint_pair {
public:
    explicit usb_endpoint_pair(const usb_endpoint_pair_options &options = {});
    ~usb_endpoint_pair();
    usb_endpoint_pair(const usb_endpoint_pair &) = delete;
    usb_endpoint_pair &operator=(const usb_endpoint_pair &) = delete;

    // Endpoint identifiers; empty for a direction the device lacks or when registration failed.
    const std::wstring &render_id() const { return m_render_id; }
    const std::wstring &capture_id() const { return m_capture_id; }
    // "USB\VID_xxxx&PID_xxxx\<instance>": the device instance path.
    const std::wstring &device_key() const { return m_device_key; }

    // The device leaves (both endpoints not present) or comes back with the same endpoints.
    void unplug();
    void replug();

    ULONGLONG frames_rendered() const;
    ULONGLONG frames_captured() const;

private:
    void add_endpoints();
    usb_endpoint_pair_options m_options;
    std::shared_ptr<loopback_state> m_loop;
    std::wstring m_device_key;
    std::wstring m_render_id;
    std::wstring m_capture_id;
    bool m_present = false;
};

// Endpoints over a loaded driver's KS filter, as the audio engine builds them for a WaveCyclic
// filter: a render endpoint on its render streaming pin and a capture endpoint on its capture
// streaming pin, each exclusive client a pin of its own, so WASAPI streams go through the driver.
// The device path carries the instance path of the device behind the filter.
struct ks_filter_state;

class ks_endpoint_pair {
public:
    // Opens the present KSCATEGORY_AUDIO interface at user_path and registers an endpoint for
    // each streaming pin direction it has, with the formats of the pin's data ranges.
    // STATUS_OBJECT_NAME_NOT_FOUND when no present interface has that path; the filter's open
    // status when it does not open; STATUS_NOT_FOUND when it has no streaming pin.
    static NTSTATUS create(const std::wstring &user_path, std::unique_ptr<ks_endpoint_pair> *created);
    ~ks_endpoint_pair();
    ks_endpoint_pair(const ks_endpoint_pair &) = delete;
    ks_endpoint_pair &operator=(const ks_endpoint_pair &) = delete;

    const std::wstring &render_id() const { return m_render_id; }
    const std::wstring &capture_id() const { return m_capture_id; }
    const std::wstring &device_key() const { return m_device_key; }
    // The endpoints leave, as when the device is removed; the destructor does it too.
    void remove();

private:
    ks_endpoint_pair() = default;
    std::shared_ptr<ks_filter_state> m_filter;
    std::wstring m_device_key;
    std::wstring m_render_id;
    std::wstring m_capture_id;
};

// Adds one endpoint with any device path (another bus, a malformed path ...) whose render side
// discards and whose capture side records silence. Returns its identifier.
std::wstring add_plain_endpoint(platform::audio_flow flow, const GUID &guid, const std::wstring &device_path,
                                const std::wstring &device_name);

} // namespace sim
