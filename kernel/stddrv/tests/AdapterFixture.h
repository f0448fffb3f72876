// Fixture of the adapter and transfer-engine tests: a machine with one simulated standard
// device on a real-time bus and no driver installed, a CAdapterCommon of the test's own
// started on the device's PDO, and a miniport callback that records what the engine reports.
#pragma once
#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <sim/audio_device.h>
#include <sim/machine.h>
#include "AdapterCommon.h"

namespace stddrv_test {

// Records the engine's calls; the addresses are those of the last call of each kind.
class RecordingCallback final : public IMiniportCallback {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return 1; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP_(void) NotifyStream(BOOLEAN Capture) override;
    STDMETHODIMP_(void) SetRenderPosition(PUCHAR Address) override { render_position = Address; }
    STDMETHODIMP_(void) SetCapturePosition(PUCHAR Address) override { capture_position = Address; }

    std::atomic<ULONG> render_notifications{0};
    std::atomic<ULONG> capture_notifications{0};
    std::atomic<PUCHAR> render_position{nullptr};
    std::atomic<PUCHAR> capture_position{nullptr};
};

class AdapterTest : public ::testing::Test {
protected:
    void TearDown() override;

    // Attaches a standard device (no driver is installed, so its node stays unstarted).
    void attach_uac1(sim::uac1_options descriptors = sim::standard_uac1_options(),
                     sim::audio_device_options options = {});
    void attach_uac2(sim::uac2_options descriptors = sim::standard_uac2_options(1),
                     sim::audio_device_options options = {});
    // Creates the adapter, asks it for IAdapterCommon and runs Init on the device's PDO.
    NTSTATUS start_adapter();

    // The tuning key's values; the key is created on first use.
    static void store_tuning(const wchar_t *name, ULONG value);
    static void store_tuning_bytes(const wchar_t *name, ULONG type, const std::vector<UCHAR> &data);

    // Waits (polling, with a generous limit) until condition holds; false on timeout.
    static bool wait_until(const std::function<bool()> &condition,
                           std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Waits until the bus has run at least frames more frames.
    void wait_frames(ULONG frames);
    static bool is_set(PKEVENT event) { return KeReadStateEvent(event) != 0; }

    sim::machine machine;
    std::shared_ptr<sim::audio_device> device;
    DEVICE_OBJECT *pdo = nullptr;
    CAdapterCommon *adapter = nullptr;
    PADAPTERCOMMON common = nullptr;
    RecordingCallback callback;
    bool detached = false;
};

} // namespace stddrv_test
