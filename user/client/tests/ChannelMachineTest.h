// The fixture of the device discovery, channel and group tests: a machine with the channel
// test driver loaded, on which a test puts audio devices (device node, KSCATEGORY_AUDIO
// interface with a reference string, and the answers of their device channel).
#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <ks.h>
#include <ksmedia.h>
#include <memory>
#include <string>
#include <vector>
#include <platform/pnp.h>
#include <sim/machine.h>
#include "ChannelTestDevice.h"

class ChannelMachineTest : public ::testing::Test {
protected:
    struct test_device {
        DEVICE_OBJECT *pdo = nullptr;
        PCHANNEL_TEST_DEVICE state = nullptr;
        UNICODE_STRING link = {};
        std::wstring instance_id;
        std::wstring description;
    };

    struct device_setup {
        std::wstring instance_id;
        std::wstring description = L"Marla Test Interface";
        std::wstring service = L"OVMLSAAU";
        std::wstring reference = L"Wave_48000";
    };

    void SetUp() override
    {
        m_machine = std::make_unique<sim::machine>();
        ASSERT_EQ(STATUS_SUCCESS, m_machine->load_driver("ovmclientchdrv"));
    }

    void TearDown() override
    {
        for (auto &device : m_devices) {
            EXPECT_EQ(0, device->state->OpenHandles) << "a channel handle was left open";
            remove_device(*device);
        }
        m_devices.clear();
        m_machine.reset();
    }

    // A duplex device: 44100..96000 Hz, current 48000, two channels each way in 32-bit
    // containers at every table rate of the range, DSD-native, 1 ms capture transfers.
    static void default_answers(CHANNEL_TEST_DEVICE &state)
    {
        state.Range = {44100, 96000};
        state.CurrentRate = 48000;
        state.DsdNative = 1;
        state.CaptureTransferMs = 1;
        state.CapsCount = 0;
        for (ULONG rate : {44100u, 48000u, 88200u, 96000u}) {
            state.Caps[state.CapsCount++] = {rate, 2, 32, 2, 32};
        }
    }

    template <typename Configure>
    test_device &add_device(const device_setup &setup, Configure configure)
    {
        auto device = std::make_unique<test_device>();
        device->instance_id = setup.instance_id;
        device->description = setup.description;
        EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(m_machine->driver("ovmclientchdrv"), sizeof(CHANNEL_TEST_DEVICE),
                                                 nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device->pdo));
        device->state = static_cast<PCHANNEL_TEST_DEVICE>(device->pdo->DeviceExtension);
        RtlZeroMemory(device->state, sizeof(CHANNEL_TEST_DEVICE));
        KeInitializeSpinLock(&device->state->Lock);
        InitializeListHead(&device->state->PendedReads);
        default_answers(*device->state);
        configure(*device->state);
        device->pdo->Flags |= DO_BUFFERED_IO;
        device->pdo->Flags &= ~DO_DEVICE_INITIALIZING;

        platform::device_node node;
        node.instance_id = setup.instance_id;
        node.service = setup.service;
        node.description = setup.description;
        node.started = true;
        platform::pnp_create_node(device->pdo, node);
        UNICODE_STRING reference;
        RtlInitUnicodeString(&reference, setup.reference.c_str());
        EXPECT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(device->pdo, &KSCATEGORY_AUDIO,
                                                            setup.reference.empty() ? nullptr : &reference,
                                                            &device->link));
        EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&device->link, TRUE));
        m_devices.push_back(std::move(device));
        return *m_devices.back();
    }

    test_device &add_device(const device_setup &setup)
    {
        return add_device(setup, [](CHANNEL_TEST_DEVICE &) {});
    }

    static void remove_device(test_device &device)
    {
        IoSetDeviceInterfaceState(&device.link, FALSE);
        RtlFreeUnicodeString(&device.link);
        IoDeleteDevice(device.pdo);
        device.pdo = nullptr;
    }

    // The function numbers of the control codes a device answered, in order.
    static std::vector<ULONG> calls(const test_device &device)
    {
        const LONG count = std::min<LONG>(device.state->CallCount, CHANNEL_TEST_MAX_CALLS);
        return std::vector<ULONG>(device.state->Calls, device.state->Calls + count);
    }

    // The sequence number (across all devices) of the last call of a function on a device, 0
    // when it never came.
    static ULONG last_sequence_of(const test_device &device, ULONG code)
    {
        ULONG sequence = 0;
        const LONG count = std::min<LONG>(device.state->CallCount, CHANNEL_TEST_MAX_CALLS);
        for (LONG i = 0; i < count; ++i) {
            if (device.state->Calls[i] == CHANNEL_TEST_FUNCTION(code)) {
                sequence = device.state->Sequence[i];
            }
        }
        return sequence;
    }

    // The channel path discovery derives for a device with this instance ID.
    static std::wstring channel_path_of(const std::wstring &instance_id)
    {
        std::wstring path = L"\\\\?\\";
        for (WCHAR c : instance_id) {
            path.push_back(c == L'\\' ? L'#' : (c >= L'A' && c <= L'Z' ? (WCHAR)(c - L'A' + L'a') : c));
        }
        return path + L"#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\asio";
    }

    std::unique_ptr<sim::machine> m_machine;
    std::vector<std::unique_ptr<test_device>> m_devices;
};
