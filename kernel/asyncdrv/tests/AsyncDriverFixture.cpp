// The asynchronous driver's test fixture: device attach, registry values, PnP requests and
// the unload with its leak checks.
#include "AsyncDriverFixture.h"
#include <wdm.h>
#include <ks.h>
#include <platform/pnp.h>
#include <platform/pool.h>
#include <platform/verifier.h>
#include "AsyncPoolTags.h"

namespace async_test {
namespace {

NTSTATUS on_done(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// One IRP to Top, waited for; its status. fail_nth (when non-zero) makes that allocation after
// the IRP's own fail.
NTSTATUS send_irp(PDEVICE_OBJECT top, UCHAR major, UCHAR minor, PFILE_OBJECT file, ULONG fail_nth)
{
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    irp->IoStatus.Status = major == IRP_MJ_PNP ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    next->FileObject = file;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, on_done, &done, TRUE, TRUE, TRUE);
    platform::pool_fail_nth(fail_nth);
    IoCallDriver(top, irp);
    platform::pool_fail_reset();
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

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

void AsyncDriverTest::TearDown()
{
    remove_and_unload();
    lower.reset();
    model.reset();
    EXPECT_EQ(0u, platform::pool_outstanding_blocks(ASYNC_ADAPTER_TAG));
    EXPECT_EQ(0u, platform::pool_outstanding_blocks(ASYNC_TAG));
    std::string why;
    EXPECT_TRUE(platform::verifier_thread_clean(&why)) << why;
}

void AsyncDriverTest::attach(sim::device_descriptors descriptors, sim::audio_device_options options)
{
    model = std::make_unique<sim::audio_device>(descriptors, options);
    lower = std::make_unique<usbaudio_test::test_lower_device>(descriptors.device, descriptors.configuration,
                                                               model->speed() == sim::usb_speed::high);
    lower->attach(model.get());
    platform::device_node fields;
    fields.instance_id = L"USB\\VID_3A51&PID_0102\\OVM0001";
    fields.hardware_ids = {L"USB\\VID_3A51&PID_0102"};
    fields.service = L"ovmlsaau";
    platform::pnp_create_node(lower->pdo(), fields);
}

void AsyncDriverTest::store_bytes(const wchar_t *name, ULONG type, const std::vector<UCHAR> &data)
{
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(device_pdo(), PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key));
    UNICODE_STRING value;
    RtlInitUnicodeString(&value, name);
    EXPECT_EQ(STATUS_SUCCESS, ZwSetValueKey(key, &value, 0, type, const_cast<UCHAR *>(data.data()),
                                            static_cast<ULONG>(data.size())));
    ZwClose(key);
}

void AsyncDriverTest::store_dword(const wchar_t *name, ULONG value)
{
    std::vector<UCHAR> data(sizeof(value));
    std::memcpy(data.data(), &value, sizeof(value));
    store_bytes(name, REG_DWORD, data);
}

std::optional<ULONG> AsyncDriverTest::stored_dword(const wchar_t *name)
{
    HANDLE key = nullptr;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(device_pdo(), PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key))) {
        return std::nullopt;
    }
    UNICODE_STRING value;
    RtlInitUnicodeString(&value, name);
    UCHAR buffer[64] = {};
    ULONG returned = 0;
    NTSTATUS status = ZwQueryValueKey(key, &value, KeyValuePartialInformation, buffer, sizeof(buffer), &returned);
    ZwClose(key);
    auto info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    if (!NT_SUCCESS(status) || info->Type != REG_DWORD || info->DataLength != sizeof(ULONG)) {
        return std::nullopt;
    }
    ULONG result = 0;
    std::memcpy(&result, info->Data, sizeof(result));
    return result;
}

void AsyncDriverTest::store_tuning_bytes(const wchar_t *name, ULONG type, const std::vector<UCHAR> &data)
{
    HANDLE software = open_or_create(nullptr, L"\\Registry\\Machine\\SOFTWARE");
    HANDLE vendor = open_or_create(software, L"Qel");
    HANDLE key = open_or_create(vendor, L"Sample Device Performance");
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    EXPECT_EQ(STATUS_SUCCESS, ZwSetValueKey(key, &valueName, 0, type, const_cast<UCHAR *>(data.data()),
                                            static_cast<ULONG>(data.size())));
    ZwClose(key);
    ZwClose(vendor);
    ZwClose(software);
}

void AsyncDriverTest::store_tuning(const wchar_t *name, ULONG value)
{
    std::vector<UCHAR> data(sizeof(value));
    std::memcpy(data.data(), &value, sizeof(value));
    store_tuning_bytes(name, REG_DWORD, data);
}

NTSTATUS AsyncDriverTest::start_driver()
{
    if (!loaded) {
        NTSTATUS status = machine.load_driver("ovmlsaau");
        if (!NT_SUCCESS(status)) {
            return status;
        }
        loaded = true;
    }
    PDRIVER_OBJECT driver = machine.driver("ovmlsaau");
    NTSTATUS status = driver->DriverExtension->AddDevice(driver, device_pdo());
    if (!NT_SUCCESS(status)) {
        return status;
    }
    added = true;
    return send_pnp(IRP_MN_START_DEVICE);
}

NTSTATUS AsyncDriverTest::send_pnp(UCHAR minor, ULONG fail_nth)
{
    NTSTATUS status = send_pnp_to(device_pdo(), minor, fail_nth);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        removed = true;
    }
    return status;
}

NTSTATUS AsyncDriverTest::send_pnp_to(PDEVICE_OBJECT pdo, UCHAR minor, ULONG fail_nth)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    NTSTATUS status = send_irp(top, IRP_MJ_PNP, minor, nullptr, fail_nth);
    ObDereferenceObject(top);
    return status;
}

NTSTATUS AsyncDriverTest::send_create(const wchar_t *name)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device_pdo());
    FILE_OBJECT file{};
    file.Type = IO_TYPE_FILE;
    file.Size = sizeof(file);
    file.DeviceObject = device_pdo();
    RtlInitUnicodeString(&file.FileName, name);
    NTSTATUS status = send_irp(top, IRP_MJ_CREATE, 0, &file, 0);
    if (NT_SUCCESS(status)) {
        send_irp(top, IRP_MJ_CLEANUP, 0, &file, 0);
        send_irp(top, IRP_MJ_CLOSE, 0, &file, 0);
    }
    ObDereferenceObject(top);
    return status;
}

void AsyncDriverTest::remove_and_unload()
{
    if (added && !removed) {
        EXPECT_EQ(STATUS_SUCCESS, send_pnp(IRP_MN_REMOVE_DEVICE));
    }
    if (loaded) {
        EXPECT_EQ(STATUS_SUCCESS, machine.unload_driver("ovmlsaau"));
        loaded = false;
    }
}

PDEVICE_OBJECT AsyncDriverTest::fdo() const { return added && !removed ? device_pdo()->AttachedDevice : nullptr; }

PDEVICE_OBJECT AsyncDriverTest::device_pdo() const { return bus_pdo != nullptr ? bus_pdo : lower->pdo(); }

void AsyncDriverTest::attach_on_bus(sim::device_descriptors descriptors, sim::audio_device_options options)
{
    bus_model = std::make_shared<sim::audio_device>(descriptors, options);
    ASSERT_EQ(STATUS_SUCCESS, machine.attach(bus_model, &bus_pdo));
    ASSERT_NE(nullptr, bus_pdo);
}

PADAPTERCOMMON AsyncDriverTest::adapter() const
{
    PDEVICE_OBJECT device = fdo();
    return device != nullptr ? AsyncExtension(device)->Adapter : nullptr;
}

std::vector<std::wstring> AsyncDriverTest::audio_references()
{
    std::vector<std::wstring> references;
    for (const platform::device_interface &entry : platform::pnp_interfaces(KSCATEGORY_AUDIO, true)) {
        references.push_back(entry.reference);
    }
    return references;
}

std::wstring AsyncDriverTest::audio_path(const std::wstring &reference)
{
    for (const platform::device_interface &entry : platform::pnp_interfaces(KSCATEGORY_AUDIO, true)) {
        if (entry.reference == reference) {
            return entry.user_path;
        }
    }
    return L"";
}

} // namespace async_test
