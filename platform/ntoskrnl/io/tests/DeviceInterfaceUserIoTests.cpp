// Device interfaces on device nodes (links, enable and disable, events, listing, properties) and
// files opened from user mode (name resolution, CREATE/CLEANUP/CLOSE, buffers, cancellation).
#include "io_test_support.h"
#include <platform/pnp.h>
#include <platform/thread.h>
#include <platform/user_io.h>
#include <cstring>
#include <cwctype>
#include <optional>

using namespace io_test;

namespace {

// {6994AD04-93EF-11D0-A3CC-00A0C9223196}
const GUID audio_class = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
const WCHAR *const base_link = L"usb#vid_1234&pid_abcd#0001#{6994ad04-93ef-11d0-a3cc-00a0c9223196}";

std::wstring text_of(const UNICODE_STRING &s)
{
    return std::wstring(s.Buffer, s.Length / sizeof(WCHAR));
}

class DeviceInterfaceTests : public IoFixture {
protected:
    void SetUp() override
    {
        IoFixture::SetUp();
        pdo = make_device([this](PDEVICE_OBJECT, PIRP irp) { return dispatch(irp); });
        platform::device_node fields;
        fields.instance_id = L"USB\\VID_1234&PID_ABCD\\0001";
        fields.hardware_ids = {L"USB\\VID_1234&PID_ABCD&REV_0100", L"USB\\VID_1234&PID_ABCD"};
        fields.service = L"OVMTEST";
        fields.description = L"Test device";
        ASSERT_NE(nullptr, platform::pnp_create_node(pdo, fields));
    }

    UNICODE_STRING register_interface(const WCHAR *reference)
    {
        UNICODE_STRING ref{}, link{};
        RtlInitUnicodeString(&ref, reference);
        EXPECT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(pdo, &audio_class, reference ? &ref : nullptr, &link));
        return link;
    }

    // Requests reaching the device: CREATE records the file name; the rest as the test sets.
    NTSTATUS dispatch(PIRP irp)
    {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        majors.push_back(stack->MajorFunction);
        if (stack->MajorFunction == IRP_MJ_CREATE) {
            file_names.push_back(text_of(stack->FileObject->FileName));
            return complete(irp, create_status);
        }
        if (handler) {
            return handler(irp);
        }
        return complete(irp, STATUS_SUCCESS);
    }

    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS create_status = STATUS_SUCCESS;
    std::vector<UCHAR> majors;
    std::vector<std::wstring> file_names;
    std::function<NTSTATUS(PIRP)> handler;
};

TEST_F(DeviceInterfaceTests, LinkIsBuiltFromTheInstanceIdClassAndReference)
{
    UNICODE_STRING link = register_interface(L"Wave_48000");
    EXPECT_EQ(std::wstring(L"\\??\\") + base_link + L"\\Wave_48000", text_of(link));
    EXPECT_EQ(link.Length + sizeof(WCHAR), link.MaximumLength);
    EXPECT_EQ(L'\0', link.Buffer[link.Length / sizeof(WCHAR)]);

    UNICODE_STRING again = register_interface(L"wave_48000"); // same interface, same link
    EXPECT_EQ(text_of(link), text_of(again));
    EXPECT_EQ(1u, platform::pnp_interfaces(audio_class, false).size());
    RtlFreeUnicodeString(&link);
    RtlFreeUnicodeString(&again);
}

TEST_F(DeviceInterfaceTests, RegistrationNeedsADeviceNodeAndAPlainReference)
{
    PDEVICE_OBJECT other = make_device(nullptr);
    UNICODE_STRING link{}, bad{};
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, IoRegisterDeviceInterface(other, &audio_class, nullptr, &link));
    RtlInitUnicodeString(&bad, L"a\\b");
    EXPECT_EQ(STATUS_INVALID_PARAMETER, IoRegisterDeviceInterface(pdo, &audio_class, &bad, &link));
}

TEST_F(DeviceInterfaceTests, EnableAndDisableAreListedAndRecordedOncePerChange)
{
    std::vector<platform::interface_event> heard;
    ULONG id = platform::pnp_listen([&](const platform::interface_event &e) { heard.push_back(e); });
    UNICODE_STRING link = register_interface(L"Wave_44100");
    EXPECT_TRUE(platform::pnp_interfaces(audio_class, true).empty());

    EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&link, TRUE));
    EXPECT_EQ(STATUS_OBJECT_NAME_EXISTS, IoSetDeviceInterfaceState(&link, TRUE));
    auto present = platform::pnp_interfaces(audio_class, true);
    ASSERT_EQ(1u, present.size());
    EXPECT_EQ(std::wstring(L"\\\\?\\") + base_link + L"\\Wave_44100", present[0].user_path);
    EXPECT_EQ(L"USB\\VID_1234&PID_ABCD\\0001", present[0].instance_id);

    EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&link, FALSE));
    EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&link, FALSE));
    EXPECT_TRUE(platform::pnp_interfaces(audio_class, true).empty());
    ASSERT_EQ(2u, heard.size());
    EXPECT_TRUE(heard[0].arrival);
    EXPECT_FALSE(heard[1].arrival);
    EXPECT_EQ(2u, platform::pnp_interface_events().size());

    UNICODE_STRING unknown;
    RtlInitUnicodeString(&unknown, L"\\??\\nothing");
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, IoSetDeviceInterfaceState(&unknown, TRUE));
    platform::pnp_unlisten(id);
    RtlFreeUnicodeString(&link);
}

TEST_F(DeviceInterfaceTests, RemovalDisablesInterfacesAndRefusesEnable)
{
    UNICODE_STRING link = register_interface(L"Wave_48000");
    ASSERT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&link, TRUE));
    platform::pnp_mark_removed(pdo);
    EXPECT_TRUE(platform::pnp_interfaces(audio_class, true).empty());
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, IoSetDeviceInterfaceState(&link, TRUE));
    RtlFreeUnicodeString(&link);
}

TEST_F(DeviceInterfaceTests, PropertiesReportSizeWhenTheBufferIsShort)
{
    ULONG needed = 0;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, IoGetDeviceProperty(pdo, DevicePropertyDeviceDescription, 0, nullptr, &needed));
    EXPECT_EQ(12 * sizeof(WCHAR), needed);
    WCHAR text[12];
    EXPECT_EQ(STATUS_SUCCESS, IoGetDeviceProperty(pdo, DevicePropertyDeviceDescription, sizeof(text), text, &needed));
    EXPECT_STREQ(L"Test device", text);

    WCHAR ids[128];
    ASSERT_EQ(STATUS_SUCCESS, IoGetDeviceProperty(pdo, DevicePropertyHardwareID, sizeof(ids), ids, &needed));
    EXPECT_STREQ(L"USB\\VID_1234&PID_ABCD&REV_0100", ids);
    EXPECT_STREQ(L"USB\\VID_1234&PID_ABCD", ids + 31);
    EXPECT_EQ((31 + 22 + 1) * sizeof(WCHAR), needed);
}

class UserIoTests : public DeviceInterfaceTests {
protected:
    void SetUp() override
    {
        DeviceInterfaceTests::SetUp();
        link = register_interface(L"Wave_48000");
        ASSERT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&link, TRUE));
    }
    void TearDown() override
    {
        RtlFreeUnicodeString(&link);
        DeviceInterfaceTests::TearDown();
    }
    platform::user_file *open(const std::wstring &path)
    {
        platform::user_file *file = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, platform::user_io_open(path.c_str(), GENERIC_READ | GENERIC_WRITE, &file));
        return file;
    }
    UNICODE_STRING link{};
};

TEST_F(UserIoTests, OpenPassesWhatFollowsTheInterfaceAsFileName)
{
    struct row {
        std::wstring path;
        std::wstring file_name;
    } rows[] = {
        {std::wstring(L"\\\\?\\") + base_link + L"\\asio", L"\\asio"},
        {std::wstring(L"\\\\?\\") + base_link + L"\\Wave_48000", L"\\Wave_48000"},
        {L"\\\\?\\USB#VID_1234&PID_ABCD#0001#{6994AD04-93EF-11D0-A3CC-00A0C9223196}\\ASIO", L"\\ASIO"},
        {std::wstring(L"\\??\\") + base_link, L""},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(::testing::Message() << std::string(r.path.begin(), r.path.end()));
        file_names.clear();
        platform::user_file *file = open(r.path);
        ASSERT_NE(nullptr, file);
        ASSERT_EQ(1u, file_names.size());
        EXPECT_EQ(r.file_name, file_names[0]);
        EXPECT_EQ(pdo, platform::user_io_file_object(file)->DeviceObject);
        platform::user_io_close(file);
    }
}

TEST_F(UserIoTests, OpenFailsForUnknownDisabledRemovedOrRefusedDevices)
{
    platform::user_file *file = reinterpret_cast<platform::user_file *>(0x1);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, platform::user_io_open(L"\\\\?\\usb#nothing\\asio", GENERIC_READ, &file));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, platform::user_io_open(L"C:\\file", GENERIC_READ, &file));

    create_status = STATUS_DELETE_PENDING;
    const std::wstring path = std::wstring(L"\\\\?\\") + base_link + L"\\asio";
    EXPECT_EQ(STATUS_DELETE_PENDING, platform::user_io_open(path.c_str(), GENERIC_READ, &file));
    EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_CREATE}), majors); // a failed CREATE gets no CLEANUP or CLOSE

    ASSERT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&link, FALSE));
    create_status = STATUS_SUCCESS;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, platform::user_io_open(path.c_str(), GENERIC_READ, &file));
    EXPECT_EQ(reinterpret_cast<platform::user_file *>(0x1), file);
}

TEST_F(UserIoTests, NamedDevicesOpenThroughTheirLinks)
{
    PDEVICE_OBJECT named = make_device([](PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS); },
                                       nullptr, L"\\Device\\OvmNamed");
    UNICODE_STRING link_name, device_name;
    RtlInitUnicodeString(&link_name, L"\\DosDevices\\OvmNamed");
    RtlInitUnicodeString(&device_name, L"\\Device\\OvmNamed");
    ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&link_name, &device_name));
    for (const WCHAR *path : {L"\\\\.\\ovmnamed", L"\\Device\\OvmNamed\\x"}) {
        platform::user_file *file = open(path);
        ASSERT_NE(nullptr, file);
        EXPECT_EQ(named, platform::user_io_file_object(file)->DeviceObject);
        platform::user_io_close(file);
    }
    EXPECT_EQ(STATUS_SUCCESS, IoDeleteSymbolicLink(&link_name));
    platform::user_file *file = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, platform::user_io_open(L"\\\\.\\OvmNamed", GENERIC_READ, &file));
}

TEST_F(UserIoTests, BufferedIoctlCopiesBackAtMostInformationAndOutLen)
{
    ULONG_PTR information = 0;
    NTSTATUS status = STATUS_SUCCESS;
    handler = [&](PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        auto buffer = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
        const ULONG size = std::max(stack->Parameters.DeviceIoControl.InputBufferLength,
                                    stack->Parameters.DeviceIoControl.OutputBufferLength);
        for (ULONG i = 0; i < size; ++i) {
            buffer[i] = (UCHAR)(0xA0 + i);
        }
        return complete(irp, status, information);
    };
    platform::user_file *file = open(std::wstring(L"\\\\?\\") + base_link + L"\\asio");
    ASSERT_NE(nullptr, file);
    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
    struct row {
        ULONG_PTR information;
        NTSTATUS status;
        ULONG copied;
    } rows[] = {{4, STATUS_SUCCESS, 4}, {0, STATUS_SUCCESS, 0}, {64, STATUS_SUCCESS, 8},
                {8, STATUS_BUFFER_OVERFLOW, 8}, {8, STATUS_UNSUCCESSFUL, 0}};
    for (const row &r : rows) {
        SCOPED_TRACE(::testing::Message() << "information " << r.information << " status 0x" << std::hex << r.status);
        information = r.information;
        status = r.status;
        UCHAR out[10];
        std::memset(out, 0xCC, sizeof(out));
        std::optional<std::pair<NTSTATUS, ULONG_PTR>> result;
        EXPECT_EQ(r.status, platform::user_io_ioctl(file, code, "in", 2, out, 8, [&](NTSTATUS s, ULONG_PTR i) {
            result.emplace(s, i);
        }));
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(r.status, result->first);
        EXPECT_EQ(r.information, result->second);
        for (ULONG i = 0; i < sizeof(out); ++i) {
            EXPECT_EQ(i < r.copied ? 0xA0 + i : 0xCC, out[i]) << i;
        }
    }
    platform::user_io_close(file);
}

TEST_F(UserIoTests, CloseSendsCleanupAndDefersCloseUntilPendingReadsEnd)
{
    PIRP held = nullptr;
    handler = [&](PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ) {
            IoMarkIrpPending(irp);
            held = irp;
            return STATUS_PENDING;
        }
        return complete(irp, STATUS_SUCCESS);
    };
    pdo->Flags |= DO_BUFFERED_IO;
    platform::user_file *file = open(std::wstring(L"\\\\?\\") + base_link + L"\\asio");
    ASSERT_NE(nullptr, file);
    UCHAR data[16];
    std::memset(data, 0, sizeof(data));
    std::optional<NTSTATUS> read_status;
    EXPECT_EQ(STATUS_PENDING, platform::user_io_read(file, data, sizeof(data), [&](NTSTATUS s, ULONG_PTR) {
        read_status = s;
    }));
    ASSERT_NE(nullptr, held);
    EXPECT_EQ(sizeof(data), IoGetCurrentIrpStackLocation(held)->Parameters.Read.Length);
    EXPECT_EQ(1u, platform::user_io_outstanding(file));

    platform::user_io_cancel(file, platform::current_thread()); // no cancel routine: stays pending
    EXPECT_FALSE(read_status.has_value());
    EXPECT_TRUE(held->Cancel);

    platform::user_io_close(file);
    EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP}), majors);

    std::memcpy(held->AssociatedIrp.SystemBuffer, "0123456789abcdef", 16);
    complete(held, STATUS_SUCCESS, 5);
    EXPECT_EQ(STATUS_SUCCESS, *read_status);
    EXPECT_EQ(0, std::memcmp(data, "01234\0", 6));
    EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}), majors);
}

TEST_F(UserIoTests, CancelReachesOnlyTheIssuingThreadsRequests)
{
    std::vector<PIRP> pended;
    handler = [&](PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_WRITE) {
            return complete(irp, STATUS_SUCCESS);
        }
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP i) {
            IoReleaseCancelSpinLock(i->CancelIrql);
            complete(i, STATUS_CANCELLED);
        });
        pended.push_back(irp);
        return STATUS_PENDING;
    };
    platform::user_file *file = open(std::wstring(L"\\\\?\\") + base_link + L"\\asio");
    ASSERT_NE(nullptr, file);
    UCHAR mine[4], theirs[4];
    std::vector<NTSTATUS> statuses;
    platform::user_io_write(file, mine, sizeof(mine), [&](NTSTATUS s, ULONG_PTR) { statuses.push_back(s); });
    platform::thread *other = nullptr;
    std::thread([&] {
        other = platform::current_thread();
        platform::user_io_write(file, theirs, sizeof(theirs), [&](NTSTATUS s, ULONG_PTR) { statuses.push_back(s); });
    }).join();
    ASSERT_EQ(2u, pended.size());
    EXPECT_EQ(mine, pended[0]->UserBuffer); // neither buffered nor direct: the caller's buffer

    platform::user_io_cancel(file, platform::current_thread());
    EXPECT_EQ((std::vector<NTSTATUS>{STATUS_CANCELLED}), statuses);
    EXPECT_EQ(1u, platform::user_io_outstanding(file));
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(pended[1], nullptr);
    IoReleaseCancelSpinLock(irql);
    EXPECT_NE(nullptr, routine);
    complete(pended[1], STATUS_SUCCESS, 4);
    EXPECT_EQ((std::vector<NTSTATUS>{STATUS_CANCELLED, STATUS_SUCCESS}), statuses);
    platform::user_io_close(file);
}

} // namespace
