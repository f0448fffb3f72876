// Test support for the I/O manager: a booted machine, a driver object, and devices whose
// dispatch routine is a per-test function kept in the device extension.
#pragma once
#include <gtest/gtest.h>
#include <wdm.h>
#include <functional>
#include <string>
#include <platform/io_driver.h>
#include <platform/machine_state.h>
#include <platform/verifier.h>

namespace io_test {

using dispatch_function = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct device_extension {
    dispatch_function dispatch;
};

inline NTSTATUS dispatch_through_extension(PDEVICE_OBJECT device, PIRP irp)
{
    auto extension = static_cast<device_extension *>(device->DeviceExtension);
    return extension->dispatch(device, irp);
}

// Completes the IRP at once with status and information.
inline NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

class IoFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::machine_boot();
        driver = platform::io_create_driver_object(L"iotest", "");
        for (auto &entry : driver->MajorFunction) {
            entry = dispatch_through_extension;
        }
    }

    void TearDown() override
    {
        std::string why;
        EXPECT_TRUE(platform::verifier_thread_clean(&why)) << why;
        while (driver->DeviceObject != nullptr) {
            PDEVICE_OBJECT device = driver->DeviceObject;
            if (device->AttachedDevice != nullptr) {
                device = IoGetAttachedDevice(device);
            }
            PDEVICE_OBJECT lower = nullptr;
            for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) {
                if (d->AttachedDevice == device) {
                    lower = d;
                }
            }
            if (lower != nullptr) {
                IoDetachDevice(lower);
            }
            static_cast<device_extension *>(device->DeviceExtension)->~device_extension();
            IoDeleteDevice(device);
        }
        platform::io_discard_driver_object(driver);
        platform::machine_shutdown();
    }

    // A device with a dispatch function, attached on top of lower when given.
    PDEVICE_OBJECT make_device(dispatch_function dispatch, PDEVICE_OBJECT lower = nullptr, const WCHAR *name = nullptr)
    {
        UNICODE_STRING device_name{};
        if (name != nullptr) {
            RtlInitUnicodeString(&device_name, name);
        }
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, sizeof(device_extension), name ? &device_name : nullptr,
                                                 FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
        new (device->DeviceExtension) device_extension{std::move(dispatch)};
        if (lower != nullptr) {
            EXPECT_EQ(lower, IoAttachDeviceToDeviceStack(device, lower));
        }
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return device;
    }

    PDRIVER_OBJECT driver = nullptr;
};

} // namespace io_test
