// Fixture of the asynchronous driver's tests: a booted machine, a simulated USB audio device
// behind a test lower device with its device node, registry helpers for the device key and
// the tuning key, and the PnP requests that start and remove the driver's device.
#pragma once
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include <sim/audio_device.h>
#include <sim/machine.h>
#include "AsyncDriver.h"
#include "TestLowerDevice.h"

namespace async_test {

class AsyncDriverTest : public ::testing::Test {
protected:
    void TearDown() override;

    // Builds the device model and the lower device with its node (service "ovmlsaau").
    void attach(sim::device_descriptors descriptors, sim::audio_device_options options = {});
    void attach_default() { attach(sim::build_uac2_device({})); }
    // The device on the machine's simulated bus instead (real-time isochronous transfers), with
    // no driver installed: start_driver loads and starts ovmlsaau on it as for attach.
    void attach_on_bus(sim::device_descriptors descriptors, sim::audio_device_options options = {});
    // The physical device object below the driver: the bus device's or the lower device's.
    PDEVICE_OBJECT device_pdo() const;

    // Device key values of the attached device.
    void store_dword(const wchar_t *name, ULONG value);
    void store_bytes(const wchar_t *name, ULONG type, const std::vector<UCHAR> &data);
    std::optional<ULONG> stored_dword(const wchar_t *name);
    // A value of the tuning key, created on first use.
    static void store_tuning(const wchar_t *name, ULONG value);
    static void store_tuning_bytes(const wchar_t *name, ULONG type, const std::vector<UCHAR> &data);

    // The driver module: load, AddDevice and START through the stack; the start status.
    NTSTATUS start_driver();
    // A PnP request to the top of the device's stack; its status. fail_nth (when non-zero)
    // makes that allocation after the request's own IRP fail.
    NTSTATUS send_pnp(UCHAR minor, ULONG fail_nth = 0);
    // The same to the stack above another physical device object.
    static NTSTATUS send_pnp_to(PDEVICE_OBJECT pdo, UCHAR minor, ULONG fail_nth = 0);
    // IRP_MJ_CREATE of a file named Name (e.g. L"\\asio") sent to the top of the device's
    // stack, as the I/O manager sends it; the status. A channel that opens is closed again.
    NTSTATUS send_create(const wchar_t *name);
    // REMOVE when started, then unload the module with its leak checks.
    void remove_and_unload();

    PDEVICE_OBJECT fdo() const;
    PADAPTERCOMMON adapter() const;
    // References of the enabled KSCATEGORY_AUDIO interfaces ("Wave_48000" ...).
    static std::vector<std::wstring> audio_references();
    // The user path of the enabled interface with that reference, or empty.
    static std::wstring audio_path(const std::wstring &reference);

    sim::machine machine;
    std::unique_ptr<sim::audio_device> model;
    std::unique_ptr<usbaudio_test::test_lower_device> lower;
    std::shared_ptr<sim::audio_device> bus_model;
    DEVICE_OBJECT *bus_pdo = nullptr;
    bool loaded = false;
    bool added = false;
    bool removed = false;
};

} // namespace async_test
