// The fixture of the client library's tests on the real asynchronous driver: a machine on which
// PnP loads ovmlsaau for each simulated USB audio device a test attaches, and an outside handle
// that tells whether a device's channel is free.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <memory>
#include <string>
#include <vector>
#include <sim/audio_device.h>
#include <sim/machine.h>
#include <sim/paced_clock.h>
#include "../include/QelAsioIoctl.h"

class DriverMachineTest : public ::testing::Test {
protected:
    struct attached_device {
        DEVICE_OBJECT *pdo = nullptr;
        std::wstring instance_id;
        std::wstring description;
        std::wstring channel_path; // as discovery forms it
    };

    void SetUp() override
    {
        m_machine = std::make_unique<sim::machine>();
        m_machine->install_driver(L"USB\\Class_01&SubClass_01", "ovmlsaau", L"OVMLSAAU");
    }

    // Detaching the devices and unloading the driver check that nothing was left behind.
    void TearDown() override
    {
        m_bus.reset();
        m_machine.reset();
        m_models.clear();
    }

    // Puts the machine's bus on the paced bus, moved on only while the machine is quiescent, so
    // that a stream through the driver loses no audio. Before the first attach.
    void pace_bus() { m_bus = sim::quiescent_paced_bus(*m_machine); }
    // Attaches a device; serial tells several devices apart.
    attached_device attach(sim::uac2_options descriptors = {}, sim::audio_device_options options = {});
    // The default descriptors with another serial number.
    static sim::uac2_options with_serial(const char16_t *serial);
    // The device's audio interface path, lower case, cut at "\wave" and ended by "\asio".
    static std::wstring channel_path_of(DEVICE_OBJECT *pdo);

    // Opens the channel from outside the client and asks for ownership: TRUE when the channel
    // was free. The handle is closed again, which gives the channel back.
    static BOOL channel_is_free(const std::wstring &path);

    std::unique_ptr<sim::machine> m_machine;
    std::unique_ptr<sim::paced_bus> m_bus;
    std::vector<std::shared_ptr<sim::audio_device>> m_models;
};
