// The real-driver fixture of the client tests: devices attached by PnP and the outside handle.
#include "DriverMachineTest.h"
#include <ks.h>
#include <ksmedia.h>
#include <platform/pnp.h>
#include <sim/uac_descriptors.h>

DriverMachineTest::attached_device DriverMachineTest::attach(sim::uac2_options descriptors,
                                                             sim::audio_device_options options)
{
    auto model = std::make_shared<sim::audio_device>(sim::build_uac2_device(descriptors), options);
    attached_device device;
    EXPECT_EQ(STATUS_SUCCESS, m_machine->attach(model, &device.pdo));
    m_models.push_back(model);
    if (device.pdo == nullptr) {
        return device;
    }
    platform::device_node *node = platform::pnp_node_of(device.pdo);
    EXPECT_NE(nullptr, node);
    if (node != nullptr) {
        device.instance_id = node->instance_id;
        device.description = node->description;
    }
    device.channel_path = channel_path_of(device.pdo);
    return device;
}

sim::uac2_options DriverMachineTest::with_serial(const char16_t *serial)
{
    sim::uac2_options descriptors;
    descriptors.serial = serial;
    return descriptors;
}

std::wstring DriverMachineTest::channel_path_of(DEVICE_OBJECT *pdo)
{
    for (const auto &entry : platform::pnp_interfaces(KSCATEGORY_AUDIO, true)) {
        if (entry.pdo != pdo) {
            continue;
        }
        std::wstring path;
        for (WCHAR c : entry.user_path) {
            path.push_back(c >= L'A' && c <= L'Z' ? static_cast<WCHAR>(c - L'A' + L'a') : c);
        }
        const size_t cut = path.rfind(L"\\wave");
        return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut) + QELASIO_CHANNEL_FILE_NAME;
    }
    return {};
}

BOOL DriverMachineTest::channel_is_free(const std::wstring &path)
{
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "the channel does not open";
        return FALSE;
    }
    DWORD bytes = 0;
    const BOOL acquired = DeviceIoControl(handle, IOCTL_QELASIO_ACQUIRE, nullptr, 0, nullptr, 0, &bytes, nullptr);
    CloseHandle(handle);
    return acquired;
}
