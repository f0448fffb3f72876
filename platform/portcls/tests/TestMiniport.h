// A small WaveRT miniport and adapter for the port class tests: a render and a capture
// streaming pin with their bridge pins, volume and mute nodes, jack and component-ID
// properties, and streams whose "hardware" is a periodic timer DPC that consumes render data
// and produces the engine's capture pattern, signalling the registered events.
#pragma once
#include <atomic>
#include <string>
#include <vector>
#include <portcls.h>
#include <stdunk.h>

namespace pctest {

// Pin and node indices of the test filter.
enum : ULONG { pin_render = 0, pin_speaker = 1, pin_capture = 2, pin_microphone = 3, pin_count = 4 };
enum : ULONG { node_volume = 0, node_mute = 1, node_dac = 2, node_adc = 3, node_count = 4 };

constexpr ULONG test_rate = 48000;
constexpr ULONG test_channels = 2;
constexpr ULONG test_bits = 16;
constexpr ULONG test_block = test_channels * test_bits / 8;
// The simulated hardware moves this many milliseconds of audio per timer tick.
constexpr ULONG tick_ms = 5;

// What the miniport and its streams saw, for the tests to check.
struct miniport_log {
    std::atomic<LONG> live_miniports{0};
    std::atomic<LONG> live_streams{0};
    std::atomic<ULONG> init_calls{0};
    std::vector<std::pair<ULONG, KSSTATE>> state_calls; // (pin, new state) in call order
    std::vector<ULONG> power_states;
    std::vector<ULONG> bus_power_states; // device states the bus driver was set to
    std::vector<UCHAR> rendered; // bytes the render stream consumed
    LONG volume[test_channels] = {0, 0};
    LONG mute = 0;
    ULONG jack_connected = 1;
    void reset();
};

miniport_log &log();

// Creates the miniport (referenced) for InstallSubdevice-style use.
NTSTATUS create_miniport(PUNKNOWN *unknown);

// The test adapter: a bus driver with one PDO that has a device node, and the adapter driver
// that portcls runs on it. start() adds and starts the device, whose StartDevice registers
// the subdevice "Wave_48000".
class test_adapter {
public:
    test_adapter();
    ~test_adapter();
    NTSTATUS start();
    // Sends a PnP request with the given minor code to the top of the stack.
    NTSTATUS send_pnp(UCHAR minor);
    NTSTATUS send_power(UCHAR minor, DEVICE_POWER_STATE state);
    // Replaces the subdevice with one of another name (as a rate change does).
    NTSTATUS rename_subdevice(const WCHAR *name);
    NTSTATUS unregister_subdevice();
    PDEVICE_OBJECT fdo() const { return m_fdo; }
    PDEVICE_OBJECT pdo() const { return m_pdo; }
    // Removes the device and unloads the adapter driver.
    void remove();

private:
    DRIVER_OBJECT *m_bus = nullptr;
    DRIVER_OBJECT *m_driver = nullptr;
    PDEVICE_OBJECT m_pdo = nullptr;
    PDEVICE_OBJECT m_fdo = nullptr;
    bool m_removed = false;
};

// The port of the registered subdevice (uncounted; set by StartDevice and rename).
PPORT &current_port();
// A power object StartDevice registers for the device when set (uncounted).
IAdapterPowerManagement *&start_power();

} // namespace pctest
