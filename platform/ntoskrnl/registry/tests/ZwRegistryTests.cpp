// The kernel registry calls: Zw* keys and values with their record layouts and buffer rules,
// RtlQueryRegistryValues, IoOpenDeviceRegistryKey and the PASSIVE_LEVEL rule.
#include <gtest/gtest.h>
#include <cstring>
#include <wdm.h>
#include <platform/machine_state.h>
#include <platform/pnp.h>
#include <platform/registry.h>
#include <platform/thread.h>

using namespace platform;

namespace {

constexpr const WCHAR *tuning_key = L"\\Registry\\Machine\\SOFTWARE\\Qel\\Sample Device Performance";

UNICODE_STRING text(const WCHAR *s)
{
    UNICODE_STRING u;
    u.Buffer = const_cast<PWSTR>(s);
    u.Length = static_cast<USHORT>(std::wcslen(s) * sizeof(WCHAR));
    u.MaximumLength = static_cast<USHORT>(u.Length + sizeof(WCHAR));
    return u;
}

struct ZwRegistry : ::testing::Test {
    void SetUp() override { machine_boot(); }
    void TearDown() override { machine_shutdown(); }

    NTSTATUS open(const WCHAR *path, ACCESS_MASK access, HANDLE *handle, HANDLE root = nullptr)
    {
        UNICODE_STRING name = text(path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
        return ZwOpenKey(handle, access, &attributes);
    }

    NTSTATUS create(const WCHAR *path, ACCESS_MASK access, HANDLE *handle, ULONG *disposition, HANDLE root = nullptr)
    {
        UNICODE_STRING name = text(path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
        return ZwCreateKey(handle, access, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, disposition);
    }

    NTSTATUS query(HANDLE key, const WCHAR *value, KEY_VALUE_INFORMATION_CLASS info_class, void *buffer, ULONG length,
                   ULONG *result)
    {
        UNICODE_STRING name = text(value);
        return ZwQueryValueKey(key, &name, info_class, buffer, length, result);
    }
};

ULONG read_ulong(const BYTE *record, size_t offset)
{
    ULONG value;
    std::memcpy(&value, record + offset, sizeof(value));
    return value;
}

} // namespace

TEST_F(ZwRegistry, CreateReportsDispositionAndNeedsItsParent)
{
    HANDLE key = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(STATUS_SUCCESS, create(L"\\Registry\\Machine\\SOFTWARE\\Qel", KEY_ALL_ACCESS, &key, &disposition));
    EXPECT_EQ(static_cast<ULONG>(REG_CREATED_NEW_KEY), disposition);
    HANDLE child = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, create(L"Sample Device Performance", KEY_ALL_ACCESS, &child, &disposition, key));
    EXPECT_EQ(static_cast<ULONG>(REG_CREATED_NEW_KEY), disposition);
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(child));
    ASSERT_EQ(STATUS_SUCCESS, create(tuning_key, KEY_READ, &child, &disposition));
    EXPECT_EQ(static_cast<ULONG>(REG_OPENED_EXISTING_KEY), disposition);
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(child));

    HANDLE missing = reinterpret_cast<HANDLE>(0x1234);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
              create(L"\\Registry\\Machine\\SOFTWARE\\None\\Deeper", KEY_ALL_ACCESS, &missing, &disposition));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, open(L"\\Registry\\Machine\\SOFTWARE\\None", KEY_READ, &missing));
    EXPECT_EQ(STATUS_OBJECT_PATH_SYNTAX_BAD, open(L"Machine\\SOFTWARE", KEY_READ, &missing));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, ZwOpenKey(&missing, KEY_READ, nullptr));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
    EXPECT_EQ(STATUS_INVALID_HANDLE, open(L"Sample Device Performance", KEY_READ, &missing, key));
}

TEST_F(ZwRegistry, PartialInformationFollowsTheBufferRules)
{
    ASSERT_TRUE(registry_seed_dword(tuning_key, L"param1", 0x11223344));
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, open(tuning_key, KEY_READ, &key));
    const ULONG fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    const ULONG total = fixed + sizeof(DWORD);

    ULONG result = 0;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, query(key, L"param1", KeyValuePartialInformation, nullptr, 0, &result));
    EXPECT_EQ(total, result);

    struct probe {
        ULONG length;
        NTSTATUS status;
        ULONG written;
    };
    for (const probe &p : {probe{fixed - 1, STATUS_BUFFER_TOO_SMALL, 0}, probe{fixed, STATUS_BUFFER_OVERFLOW, fixed},
                           probe{total - 1, STATUS_BUFFER_OVERFLOW, fixed}, probe{total, STATUS_SUCCESS, total},
                           probe{total + 8, STATUS_SUCCESS, total}}) {
        SCOPED_TRACE(p.length);
        BYTE buffer[64];
        std::memset(buffer, 0xCC, sizeof(buffer));
        result = 0;
        EXPECT_EQ(p.status, query(key, L"PARAM1", KeyValuePartialInformation, buffer, p.length, &result));
        EXPECT_EQ(total, result);
        for (ULONG i = p.written; i < sizeof(buffer); ++i) {
            ASSERT_EQ(0xCC, buffer[i]) << "byte " << i;
        }
        if (p.written >= fixed) {
            EXPECT_EQ(0u, read_ulong(buffer, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex)));
            EXPECT_EQ(static_cast<ULONG>(REG_DWORD), read_ulong(buffer, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Type)));
            EXPECT_EQ(4u, read_ulong(buffer, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, DataLength)));
        }
        if (p.written == total) {
            EXPECT_EQ(0x11223344u, read_ulong(buffer, fixed));
        }
    }
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, query(key, L"param2", KeyValuePartialInformation, nullptr, 0, &result));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, query(key, L"param1", KeyValuePartialInformation, nullptr, 0, nullptr));
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              query(key, L"param1", static_cast<KEY_VALUE_INFORMATION_CLASS>(9), nullptr, 0, &result));
    ZwClose(key);
}

TEST_F(ZwRegistry, FullInformationPlacesTheDataAfterTheAlignedName)
{
    const WCHAR *device_key = L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\X\\Device Parameters";
    ASSERT_TRUE(registry_seed_dword(device_key, L"SampleRate", 96000));
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, open(device_key, KEY_ALL_ACCESS, &key));

    const ULONG name_bytes = 10 * sizeof(WCHAR);
    const ULONG fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
    for (auto info_class : {KeyValueFullInformation, KeyValueFullInformationAlign64}) {
        SCOPED_TRACE(info_class);
        const ULONG alignment = info_class == KeyValueFullInformation ? sizeof(ULONG) : 8;
        const ULONG offset = (fixed + name_bytes + alignment - 1) / alignment * alignment;
        // A reader sizes its buffer as the name's length plus 28 bytes: it holds the record.
        std::vector<BYTE> buffer(name_bytes + 28, 0xCC);
        ULONG result = 0;
        ASSERT_EQ(STATUS_SUCCESS, query(key, L"SampleRate", info_class, buffer.data(),
                                        static_cast<ULONG>(buffer.size()), &result));
        EXPECT_EQ(offset + 4, result);
        EXPECT_EQ(static_cast<ULONG>(REG_DWORD), read_ulong(buffer.data(), FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Type)));
        EXPECT_EQ(offset, read_ulong(buffer.data(), FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataOffset)));
        EXPECT_EQ(4u, read_ulong(buffer.data(), FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataLength)));
        EXPECT_EQ(name_bytes, read_ulong(buffer.data(), FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, NameLength)));
        EXPECT_EQ(0, std::memcmp(buffer.data() + fixed, L"SampleRate", name_bytes));
        EXPECT_EQ(96000u, read_ulong(buffer.data(), offset));

        result = 0;
        EXPECT_EQ(STATUS_BUFFER_OVERFLOW, query(key, L"SampleRate", info_class, buffer.data(), offset, &result));
        EXPECT_EQ(offset + 4, result);
    }
    ZwClose(key);
}

TEST_F(ZwRegistry, ValuesNeedTheRightAccessAndSurviveAsWritten)
{
    HANDLE writer = nullptr, reader = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(STATUS_SUCCESS, create(L"\\Registry\\Machine\\SOFTWARE\\Qel", KEY_ALL_ACCESS, &writer, &disposition));
    ASSERT_EQ(STATUS_SUCCESS, open(L"\\Registry\\Machine\\SOFTWARE\\Qel", KEY_READ, &reader));
    UNICODE_STRING name = text(L"SampleRate");
    DWORD rate = 44100;
    EXPECT_EQ(STATUS_ACCESS_DENIED, ZwSetValueKey(reader, &name, 0, REG_DWORD, &rate, sizeof(rate)));
    EXPECT_EQ(STATUS_ACCESS_DENIED, ZwDeleteValueKey(reader, &name));
    EXPECT_EQ(STATUS_ACCESS_DENIED, ZwDeleteKey(reader));
    ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(writer, &name, 0, REG_DWORD, &rate, sizeof(rate)));

    DWORD read = 0;
    EXPECT_TRUE(registry_read_dword(L"\\Registry\\Machine\\SOFTWARE\\Qel", L"SampleRate", &read));
    EXPECT_EQ(44100u, read);
    EXPECT_EQ(STATUS_SUCCESS, ZwDeleteValueKey(writer, &name));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, ZwDeleteValueKey(writer, &name));

    UNICODE_STRING odd = name;
    odd.Length = 3;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, ZwSetValueKey(writer, &odd, 0, REG_DWORD, &rate, sizeof(rate)));
    ZwClose(reader);
    ZwClose(writer);
}

TEST_F(ZwRegistry, DeleteKeyRefusesSubkeysAndLeavesTheHandleOnADeletedKey)
{
    HANDLE parent = nullptr, child = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(STATUS_SUCCESS, create(L"\\Registry\\Machine\\SOFTWARE\\P", KEY_ALL_ACCESS, &parent, &disposition));
    ASSERT_EQ(STATUS_SUCCESS, create(L"C", KEY_ALL_ACCESS, &child, &disposition, parent));
    EXPECT_EQ(STATUS_CANNOT_DELETE, ZwDeleteKey(parent));
    EXPECT_EQ(STATUS_SUCCESS, ZwDeleteKey(child));
    UNICODE_STRING name = text(L"v");
    DWORD v = 1;
    EXPECT_EQ(STATUS_KEY_DELETED, ZwSetValueKey(child, &name, 0, REG_DWORD, &v, sizeof(v)));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(child));
    EXPECT_EQ(STATUS_SUCCESS, ZwDeleteKey(parent));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(parent));
    EXPECT_FALSE(registry_key_exists(L"\\Registry\\Machine\\SOFTWARE\\P"));
}

TEST_F(ZwRegistry, EnumerationAndKeyInformation)
{
    HANDLE key = nullptr, sub = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(STATUS_SUCCESS, create(L"\\Registry\\Machine\\SOFTWARE\\E", KEY_ALL_ACCESS, &key, &disposition));
    for (const WCHAR *name : {L"Second", L"First"}) {
        ASSERT_EQ(STATUS_SUCCESS, create(name, KEY_READ, &sub, &disposition, key));
        ZwClose(sub);
    }
    UNICODE_STRING value = text(L"v");
    BYTE blob[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(key, &value, 0, REG_BINARY, blob, sizeof(blob)));

    BYTE buffer[128];
    ULONG result = 0;
    ASSERT_EQ(STATUS_SUCCESS, ZwEnumerateKey(key, 0, KeyBasicInformation, buffer, sizeof(buffer), &result));
    EXPECT_EQ(FIELD_OFFSET(KEY_BASIC_INFORMATION, Name) + 6 * sizeof(WCHAR), result);
    EXPECT_EQ(6 * sizeof(WCHAR), read_ulong(buffer, FIELD_OFFSET(KEY_BASIC_INFORMATION, NameLength)));
    EXPECT_EQ(0, std::memcmp(buffer + FIELD_OFFSET(KEY_BASIC_INFORMATION, Name), L"Second", 6 * sizeof(WCHAR)));
    EXPECT_EQ(STATUS_SUCCESS, ZwEnumerateKey(key, 1, KeyBasicInformation, buffer, sizeof(buffer), &result));
    EXPECT_EQ(STATUS_NO_MORE_ENTRIES, ZwEnumerateKey(key, 2, KeyBasicInformation, buffer, sizeof(buffer), &result));

    ASSERT_EQ(STATUS_SUCCESS, ZwEnumerateValueKey(key, 0, KeyValueBasicInformation, buffer, sizeof(buffer), &result));
    EXPECT_EQ(static_cast<ULONG>(REG_BINARY), read_ulong(buffer, FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Type)));
    EXPECT_EQ(STATUS_NO_MORE_ENTRIES,
              ZwEnumerateValueKey(key, 1, KeyValuePartialInformation, buffer, sizeof(buffer), &result));

    ASSERT_EQ(STATUS_SUCCESS, ZwQueryKey(key, KeyFullInformation, buffer, sizeof(buffer), &result));
    EXPECT_EQ(2u, read_ulong(buffer, FIELD_OFFSET(KEY_FULL_INFORMATION, SubKeys)));
    EXPECT_EQ(6 * sizeof(WCHAR), read_ulong(buffer, FIELD_OFFSET(KEY_FULL_INFORMATION, MaxNameLen)));
    EXPECT_EQ(1u, read_ulong(buffer, FIELD_OFFSET(KEY_FULL_INFORMATION, Values)));
    EXPECT_EQ(6u, read_ulong(buffer, FIELD_OFFSET(KEY_FULL_INFORMATION, MaxValueDataLen)));

    ASSERT_EQ(STATUS_SUCCESS, ZwQueryKey(key, KeyNameInformation, buffer, sizeof(buffer), &result));
    const std::wstring path = L"\\REGISTRY\\Machine\\SOFTWARE\\E";
    EXPECT_EQ(path.size() * sizeof(WCHAR), read_ulong(buffer, 0));
    EXPECT_EQ(0, std::memcmp(buffer + FIELD_OFFSET(KEY_NAME_INFORMATION, Name), path.data(), path.size() * sizeof(WCHAR)));

    HANDLE reader = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, open(L"\\Registry\\Machine\\SOFTWARE\\E", KEY_QUERY_VALUE, &reader));
    EXPECT_EQ(STATUS_ACCESS_DENIED, ZwEnumerateKey(reader, 0, KeyBasicInformation, buffer, sizeof(buffer), &result));
    ZwClose(reader);
    ZwClose(key);
}

TEST_F(ZwRegistry, QueryRegistryValuesReadsDirectEntriesWithDefaults)
{
    ULONG first = 0xFFFFFFFF, second = 0xFFFFFFFF;
    ULONG first_default = 8, second_default = 8;
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(L"param1"), &first, REG_DWORD, &first_default,
                sizeof(ULONG)};
    table[1] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(L"param2"), &second, REG_DWORD,
                &second_default, sizeof(ULONG)};

    // No key: the call fails and writes nothing.
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, tuning_key, table, nullptr, nullptr));
    EXPECT_EQ(0xFFFFFFFFu, first);
    EXPECT_EQ(STATUS_SUCCESS, RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, tuning_key, table,
                                                     nullptr, nullptr));

    // One value present, the other from its default.
    ASSERT_TRUE(registry_seed_dword(tuning_key, L"param1", 4));
    ASSERT_EQ(STATUS_SUCCESS, RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, tuning_key, table, nullptr, nullptr));
    EXPECT_EQ(4u, first);
    EXPECT_EQ(8u, second);

    table[1].Flags |= RTL_QUERY_REGISTRY_REQUIRED;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
              RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, tuning_key, table, nullptr, nullptr));
    table[1].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    table[1].DefaultType = REG_DWORD | (REG_SZ << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT);
    ASSERT_TRUE(registry_seed_dword(tuning_key, L"param2", 3));
    EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH,
              RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, tuning_key, table, nullptr, nullptr));

    // The type check keeps a string away from a direct entry's four-byte variable.
    const WCHAR text[] = L"a string longer than a dword";
    ASSERT_TRUE(registry_seed_value(tuning_key, L"param2", REG_SZ, reinterpret_cast<const BYTE *>(text), sizeof(text)));
    table[1].DefaultType = REG_DWORD | (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT);
    second = 0xFFFFFFFF;
    EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH,
              RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, tuning_key, table, nullptr, nullptr));
    EXPECT_EQ(0xFFFFFFFFu, second);
}

TEST_F(ZwRegistry, QueryRegistryValuesCallsRoutinesAndFillsLargeBuffers)
{
    ASSERT_TRUE(registry_seed_dword(tuning_key, L"a", 1));
    const BYTE blob[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(registry_seed_value(tuning_key, L"b", REG_BINARY, blob, sizeof(blob)));

    std::vector<std::wstring> seen;
    auto routine = [](PWSTR name, ULONG, PVOID, ULONG, PVOID context, PVOID) -> NTSTATUS {
        static_cast<std::vector<std::wstring> *>(context)->push_back(name);
        return STATUS_SUCCESS;
    };
    RTL_QUERY_REGISTRY_TABLE all[2] = {};
    all[0].QueryRoutine = routine;
    ASSERT_EQ(STATUS_SUCCESS, RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, tuning_key, all, &seen, nullptr));
    EXPECT_EQ((std::vector<std::wstring>{L"a", L"b"}), seen);

    LONG large[4] = {-static_cast<LONG>(sizeof(blob)), 0, 0, 0};
    LONG too_small[2] = {-4, 0};
    RTL_QUERY_REGISTRY_TABLE direct[2] = {};
    direct[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(L"b"), large, REG_NONE, nullptr, 0};
    ASSERT_EQ(STATUS_SUCCESS, RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, tuning_key, direct, nullptr, nullptr));
    EXPECT_EQ(0, std::memcmp(large, blob, sizeof(blob)));
    direct[0].EntryContext = too_small;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, tuning_key, direct, nullptr, nullptr));
    EXPECT_EQ(-4, too_small[0]);
}

TEST_F(ZwRegistry, DeviceKeysBelongToTheInstanceOfThePdo)
{
    auto *pdo = reinterpret_cast<DEVICE_OBJECT *>(0x1000);
    HANDLE key = nullptr;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key));

    device_node fields;
    fields.instance_id = L"USB\\VID_1234&PID_5678\\0001";
    ASSERT_NE(nullptr, pnp_create_node(pdo, fields));
    ASSERT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key));
    UNICODE_STRING name = text(L"SampleRate");
    DWORD rate = 48000;
    ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(key, &name, 0, REG_DWORD, &rate, sizeof(rate)));
    ZwClose(key);
    DWORD read = 0;
    EXPECT_TRUE(registry_read_dword(registry_device_key_path(fields.instance_id), L"SampleRate", &read));
    EXPECT_EQ(48000u, read);

    ASSERT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key));
    ZwClose(key);
    EXPECT_TRUE(registry_key_exists(registry_driver_key_path(fields.instance_id)));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, IoOpenDeviceRegistryKey(pdo, 3, KEY_READ, &key));
    pnp_delete_node(pdo);

    // A test may stand in for the PnP manager.
    registry_set_instance_resolver([pdo](_DEVICE_OBJECT *device, std::wstring *instance) {
        *instance = L"ROOT\\TEST\\0000";
        return device == pdo;
    });
    ASSERT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key));
    ZwClose(key);
    EXPECT_TRUE(registry_key_exists(registry_device_key_path(L"ROOT\\TEST\\0000")));
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              IoOpenDeviceRegistryKey(reinterpret_cast<DEVICE_OBJECT *>(0x2000), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key));
    registry_set_instance_resolver(nullptr);
}

TEST_F(ZwRegistry, CallsAbovePassiveLevelStopTheMachine)
{
    EXPECT_DEATH(
        {
            HANDLE key = nullptr;
            current_thread()->irql = 2;
            open(L"\\Registry\\Machine\\SOFTWARE", KEY_READ, &key);
        },
        "IRQL_NOT_LESS_OR_EQUAL");
}
