// The adapter tests' fixture: machine, simulated standard device, adapter start and teardown
// with the pool check.
#include "AdapterFixture.h"
#include <thread>
#include <sim/usb_host_controller.h>
#include <platform/pool.h>
#include "StdPoolTags.h"

namespace stddrv_test {
namespace {

HANDLE open_or_create(HANDLE root, const wchar_t *name)
{
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    HANDLE key = nullptr;
    ULONG disposition = 0;
    EXPECT_EQ(STATUS_SUCCESS, ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, &disposition));
    return key;
}

} // namespace

STDMETHODIMP RecordingCallback::QueryInterface(REFIID riid, void **ppv)
{
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IMiniportCallback)) {
        *ppv = static_cast<IMiniportCallback *>(this);
        return STATUS_SUCCESS;
    }
    *ppv = nullptr;
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(void) RecordingCallback::NotifyStream(BOOLEAN Capture)
{
    if (Capture) {
        ++capture_notifications;
    } else {
        ++render_notifications;
    }
}

void AdapterTest::attach_uac1(sim::uac1_options descriptors, sim::audio_device_options options)
{
    device = std::make_shared<sim::audio_device>(sim::build_uac1_device(descriptors), options);
    ASSERT_EQ(STATUS_SUCCESS, machine.attach(device, &pdo));
    ASSERT_NE(nullptr, pdo);
}

void AdapterTest::attach_uac2(sim::uac2_options descriptors, sim::audio_device_options options)
{
    device = std::make_shared<sim::audio_device>(sim::build_uac2_device(descriptors), options);
    ASSERT_EQ(STATUS_SUCCESS, machine.attach(device, &pdo));
    ASSERT_NE(nullptr, pdo);
}

NTSTATUS AdapterTest::start_adapter()
{
    adapter = new (NonPagedPool, STD_ADAPTER_TAG) CAdapterCommon(nullptr);
    EXPECT_NE(nullptr, adapter);
    if (adapter == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    adapter->AddRef();
    NTSTATUS status = adapter->QueryInterface(IID_IAdapterCommon, reinterpret_cast<void **>(&common));
    EXPECT_EQ(STATUS_SUCCESS, status);
    if (NT_SUCCESS(status)) {
        status = common->Init(pdo);
    }
    if (NT_SUCCESS(status)) {
        common->SetCallback(&callback);
    }
    return status;
}

void AdapterTest::TearDown()
{
    if (common != nullptr) {
        common->SetCallback(nullptr);
        if (!common->IsDeviceRemoved()) {
            common->StopStream(TRUE);
            common->StopStream(FALSE);
        }
        common->Release();
    }
    if (adapter != nullptr) {
        adapter->Release();
    }
    EXPECT_EQ(0u, platform::pool_outstanding_blocks(STD_TAG)) << platform::pool_leak_report("");
    EXPECT_EQ(0u, platform::pool_outstanding_blocks(STD_ADAPTER_TAG));
    if (pdo != nullptr && !detached) {
        EXPECT_EQ(STATUS_SUCCESS, machine.detach(pdo));
    }
}

void AdapterTest::store_tuning_bytes(const wchar_t *name, ULONG type, const std::vector<UCHAR> &data)
{
    HANDLE software = open_or_create(nullptr, L"\\Registry\\Machine\\SOFTWARE");
    HANDLE vendor = open_or_create(software, L"Orvan");
    HANDLE key = open_or_create(vendor, L"Marla Series performance");
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    EXPECT_EQ(STATUS_SUCCESS, ZwSetValueKey(key, &valueName, 0, type, const_cast<UCHAR *>(data.data()),
                                            static_cast<ULONG>(data.size())));
    ZwClose(key);
    ZwClose(vendor);
    ZwClose(software);
}

void AdapterTest::store_tuning(const wchar_t *name, ULONG value)
{
    std::vector<UCHAR> data(sizeof(value));
    std::memcpy(data.data(), &value, sizeof(value));
    store_tuning_bytes(name, REG_DWORD, data);
}

bool AdapterTest::wait_until(const std::function<bool()> &condition, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void AdapterTest::wait_frames(ULONG frames)
{
    const ULONG start = machine.usb_bus().current_frame();
    EXPECT_TRUE(wait_until([&] { return machine.usb_bus().current_frame() - start >= frames; }));
}

} // namespace stddrv_test
