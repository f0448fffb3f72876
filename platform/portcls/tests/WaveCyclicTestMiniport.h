// A small WaveCyclic miniport and adapter for the port's tests: a render and a capture pin of
// 16-bit stereo at 48000 Hz, streams that are their own DMA channel over a buffer of a chosen
// size, and "hardware" the test moves by hand: advancing a stream plays bytes out of its
// buffer (render) or writes the pattern into it (capture), moves its position and notifies the
// port.
#pragma once
#include <atomic>
#include <mutex>
#include <vector>
#include <portcls.h>
#include <stdunk.h>

namespace cyclictest {

enum : ULONG { pin_render = 0, pin_capture = 1, pin_count = 2 };

constexpr ULONG rate = 48000;
constexpr ULONG channels = 2;
constexpr ULONG bits = 16;
constexpr ULONG block = channels * bits / 8;

struct miniport_log {
    std::atomic<LONG> live_miniports{0};
    std::atomic<LONG> live_streams{0};
    std::mutex lock;
    std::vector<std::pair<ULONG, KSSTATE>> states; // (pin, state) in call order
    std::vector<UCHAR> played;                     // render bytes the hardware took
    ULONGLONG captured_frames = 0;                 // frames of the pattern the hardware wrote
    ULONG copies_to = 0;
    ULONG copies_from = 0;
    ULONG notification_interval = 0;
    ULONG buffer_size = 1920;
    NTSTATUS new_stream_result = STATUS_SUCCESS;
    std::atomic<NTSTATUS> position_result{STATUS_SUCCESS};
    void reset();
};

miniport_log &log();

// Moves the live stream of a direction by bytes (a multiple of the block) and notifies the
// port. False when the direction has no stream.
bool advance(bool capture, ULONG bytes);

// The adapter: a bus PDO with a device node and a portcls adapter driver whose StartDevice
// registers the subdevice "Cyclic" with the WaveCyclic port.
class cyclic_adapter {
public:
    cyclic_adapter();
    ~cyclic_adapter();
    NTSTATUS start();
    void remove();

private:
    DRIVER_OBJECT *m_bus = nullptr;
    DRIVER_OBJECT *m_driver = nullptr;
    PDEVICE_OBJECT m_pdo = nullptr;
    PDEVICE_OBJECT m_fdo = nullptr;
    bool m_removed = false;
};

} // namespace cyclictest
