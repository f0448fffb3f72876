// The kernel's view of the registry: Zw* key and value calls over the machine's registry store,
// key handles in the kernel handle table, and IoOpenDeviceRegistryKey.
#include <cstring>
#include <km/wdm_zw.h>
#include <platform/kernel_handles.h>
#include <platform/registry.h>
#include "registry_kernel.h"

namespace platform {

namespace {

constexpr ACCESS_MASK access_delete = 0x00010000;
constexpr ACCESS_MASK generic_read = 0x80000000;
constexpr ACCESS_MASK generic_write = 0x40000000;
constexpr ACCESS_MASK generic_execute = 0x20000000;
constexpr ACCESS_MASK generic_all = 0x10000000;
constexpr ACCESS_MASK maximum_allowed = 0x02000000;

struct kernel_key {
    registry_key node;
    ACCESS_MASK access;
};

ACCESS_MASK map_access(ACCESS_MASK desired)
{
    ACCESS_MASK access = desired & ~(generic_read | generic_write | generic_execute | generic_all | maximum_allowed);
    if ((desired & (generic_read | generic_execute)) != 0) {
        access |= KEY_READ;
    }
    if ((desired & generic_write) != 0) {
        access |= KEY_WRITE;
    }
    if ((desired & (generic_all | maximum_allowed)) != 0) {
        access |= KEY_ALL_ACCESS;
    }
    return access;
}

void close_kernel_key(void *object) { delete static_cast<kernel_key *>(object); }

NTSTATUS key_from_handle(HANDLE handle, ACCESS_MASK needed, kernel_key **key)
{
    auto *found = static_cast<kernel_key *>(kernel_handle_lookup(handle, kernel_handle_type::registry_key));
    if (found == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if ((found->access & needed) != needed) {
        return STATUS_ACCESS_DENIED;
    }
    *key = found;
    return STATUS_SUCCESS;
}

// A counted string as a view; false when its length is not whole characters.
bool string_view_of(PCUNICODE_STRING string, std::wstring_view *view)
{
    if (string == nullptr || string->Length == 0) {
        *view = {};
        return true;
    }
    if (string->Buffer == nullptr || string->Length % sizeof(WCHAR) != 0 || string->Length > string->MaximumLength) {
        return false;
    }
    *view = std::wstring_view(string->Buffer, string->Length / sizeof(WCHAR));
    return true;
}

NTSTATUS open_or_create(PHANDLE handle, ACCESS_MASK desired, POBJECT_ATTRIBUTES attributes, bool create,
                        ULONG options, PULONG disposition)
{
    if (handle == nullptr || attributes == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::wstring_view path;
    if (!string_view_of(attributes->ObjectName, &path)) {
        return STATUS_INVALID_PARAMETER;
    }
    registry_key base;
    if (attributes->RootDirectory != nullptr) {
        kernel_key *root = nullptr;
        NTSTATUS status = key_from_handle(attributes->RootDirectory, 0, &root);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        base = root->node;
    }
    registry_key node;
    bool created = false;
    NTSTATUS status = create ? registry_create(base, path, registry_view::native, false,
                                               (options & REG_OPTION_VOLATILE) != 0, &node, &created)
                             : registry_open(base, path, registry_view::native, &node);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *handle = kernel_handle_insert(new kernel_key{node, map_access(desired)}, kernel_handle_type::registry_key,
                                   close_kernel_key);
    if (disposition != nullptr) {
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return STATUS_SUCCESS;
}

// Copies a whole record when it fits, else only its fixed part when that fits.
NTSTATUS copy_record(const std::vector<BYTE> &record, ULONG fixed, PVOID buffer, ULONG length, PULONG result)
{
    if (result == nullptr || (buffer == nullptr && length != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    *result = static_cast<ULONG>(record.size());
    if (length < fixed) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (length < record.size()) {
        std::memcpy(buffer, record.data(), fixed);
        return STATUS_BUFFER_OVERFLOW;
    }
    std::memcpy(buffer, record.data(), record.size());
    return STATUS_SUCCESS;
}

template <typename T> void put(std::vector<BYTE> &record, size_t offset, T value)
{
    std::memcpy(record.data() + offset, &value, sizeof(value));
}

void put_text(std::vector<BYTE> &record, size_t offset, const std::wstring &text)
{
    std::memcpy(record.data() + offset, text.data(), text.size() * sizeof(WCHAR));
}

ULONG align_up(ULONG value, ULONG alignment) { return (value + alignment - 1) & ~(alignment - 1); }

// Builds a value record of the given class; *fixed receives the size of its fixed part.
NTSTATUS value_record(KEY_VALUE_INFORMATION_CLASS info_class, const std::wstring &name, ULONG type,
                      const std::vector<BYTE> &data, std::vector<BYTE> *record, ULONG *fixed)
{
    const ULONG name_bytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    const ULONG data_bytes = static_cast<ULONG>(data.size());
    switch (info_class) {
    case KeyValueBasicInformation:
        *fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        record->assign(*fixed + name_bytes, 0);
        put<ULONG>(*record, FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Type), type);
        put<ULONG>(*record, FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, NameLength), name_bytes);
        put_text(*record, *fixed, name);
        return STATUS_SUCCESS;
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64: {
        *fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        const ULONG alignment = info_class == KeyValueFullInformation ? sizeof(ULONG) : sizeof(ULONGLONG);
        const ULONG data_offset = align_up(*fixed + name_bytes, alignment);
        record->assign(data_offset + data_bytes, 0);
        put<ULONG>(*record, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Type), type);
        put<ULONG>(*record, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataOffset), data_offset);
        put<ULONG>(*record, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataLength), data_bytes);
        put<ULONG>(*record, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, NameLength), name_bytes);
        put_text(*record, *fixed, name);
        std::copy(data.begin(), data.end(), record->begin() + data_offset);
        return STATUS_SUCCESS;
    }
    case KeyValuePartialInformation:
        *fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        record->assign(*fixed + data_bytes, 0);
        put<ULONG>(*record, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Type), type);
        put<ULONG>(*record, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, DataLength), data_bytes);
        std::copy(data.begin(), data.end(), record->begin() + *fixed);
        return STATUS_SUCCESS;
    case KeyValuePartialInformationAlign64:
        *fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, Data);
        record->assign(*fixed + data_bytes, 0);
        put<ULONG>(*record, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, Type), type);
        put<ULONG>(*record, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, DataLength), data_bytes);
        std::copy(data.begin(), data.end(), record->begin() + *fixed);
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

// Builds a key record; name is the key's own name (its full path for KeyNameInformation).
NTSTATUS key_record(KEY_INFORMATION_CLASS info_class, const std::wstring &name, const registry_key_info &info,
                    std::vector<BYTE> *record, ULONG *fixed)
{
    const ULONG name_bytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    LARGE_INTEGER written;
    written.QuadPart = info.last_write_time;
    switch (info_class) {
    case KeyBasicInformation:
        *fixed = FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
        record->assign(*fixed + name_bytes, 0);
        put(*record, FIELD_OFFSET(KEY_BASIC_INFORMATION, LastWriteTime), written);
        put<ULONG>(*record, FIELD_OFFSET(KEY_BASIC_INFORMATION, NameLength), name_bytes);
        put_text(*record, *fixed, name);
        return STATUS_SUCCESS;
    case KeyNodeInformation:
        *fixed = FIELD_OFFSET(KEY_NODE_INFORMATION, Name);
        record->assign(*fixed + name_bytes, 0);
        put(*record, FIELD_OFFSET(KEY_NODE_INFORMATION, LastWriteTime), written);
        put<ULONG>(*record, FIELD_OFFSET(KEY_NODE_INFORMATION, ClassOffset), 0xFFFFFFFFu); // no class
        put<ULONG>(*record, FIELD_OFFSET(KEY_NODE_INFORMATION, NameLength), name_bytes);
        put_text(*record, *fixed, name);
        return STATUS_SUCCESS;
    case KeyFullInformation:
        *fixed = FIELD_OFFSET(KEY_FULL_INFORMATION, Class);
        record->assign(*fixed, 0);
        put(*record, FIELD_OFFSET(KEY_FULL_INFORMATION, LastWriteTime), written);
        put<ULONG>(*record, FIELD_OFFSET(KEY_FULL_INFORMATION, ClassOffset), 0xFFFFFFFFu);
        put<ULONG>(*record, FIELD_OFFSET(KEY_FULL_INFORMATION, SubKeys), info.subkeys);
        put<ULONG>(*record, FIELD_OFFSET(KEY_FULL_INFORMATION, MaxNameLen),
                   static_cast<ULONG>(info.max_subkey_name * sizeof(WCHAR)));
        put<ULONG>(*record, FIELD_OFFSET(KEY_FULL_INFORMATION, Values), info.values);
        put<ULONG>(*record, FIELD_OFFSET(KEY_FULL_INFORMATION, MaxValueNameLen),
                   static_cast<ULONG>(info.max_value_name * sizeof(WCHAR)));
        put<ULONG>(*record, FIELD_OFFSET(KEY_FULL_INFORMATION, MaxValueDataLen), info.max_value_data);
        return STATUS_SUCCESS;
    case KeyNameInformation:
        *fixed = FIELD_OFFSET(KEY_NAME_INFORMATION, Name);
        record->assign(*fixed + name_bytes, 0);
        put<ULONG>(*record, FIELD_OFFSET(KEY_NAME_INFORMATION, NameLength), name_bytes);
        put_text(*record, *fixed, name);
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS describe_key(const registry_key &node, KEY_INFORMATION_CLASS info_class, bool full_path, PVOID buffer,
                      ULONG length, PULONG result)
{
    registry_key_info info;
    NTSTATUS status = registry_query_key(node, &info);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::vector<BYTE> record;
    ULONG fixed = 0;
    status = key_record(info_class, full_path ? registry_key_path(node) : registry_key_name(node), info, &record,
                        &fixed);
    return NT_SUCCESS(status) ? copy_record(record, fixed, buffer, length, result) : status;
}

} // namespace

NTSTATUS registry_kernel_key(HANDLE handle, ACCESS_MASK needed, registry_key *key)
{
    kernel_key *found = nullptr;
    NTSTATUS status = key_from_handle(handle, needed, &found);
    if (NT_SUCCESS(status)) {
        *key = found->node;
    }
    return status;
}

} // namespace platform

using namespace platform;

extern "C" {

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    registry_check_passive("ZwOpenKey");
    return open_or_create(KeyHandle, DesiredAccess, ObjectAttributes, false, 0, nullptr);
}

NTSTATUS ZwOpenKeyEx(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG OpenOptions)
{
    registry_check_passive("ZwOpenKeyEx");
    UNREFERENCED_PARAMETER(OpenOptions);
    return open_or_create(KeyHandle, DesiredAccess, ObjectAttributes, false, 0, nullptr);
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition)
{
    registry_check_passive("ZwCreateKey");
    UNREFERENCED_PARAMETER(TitleIndex);
    UNREFERENCED_PARAMETER(Class);
    return open_or_create(KeyHandle, DesiredAccess, ObjectAttributes, true, CreateOptions, Disposition);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength)
{
    registry_check_passive("ZwQueryValueKey");
    kernel_key *key = nullptr;
    std::wstring_view name;
    NTSTATUS status = key_from_handle(KeyHandle, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (ValueName == nullptr || !string_view_of(ValueName, &name)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG type = REG_NONE;
    std::vector<BYTE> data;
    status = registry_query_value(key->node, name, &type, &data);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::vector<BYTE> record;
    ULONG fixed = 0;
    status = value_record(KeyValueInformationClass, std::wstring(name), type, data, &record, &fixed);
    return NT_SUCCESS(status) ? copy_record(record, fixed, KeyValueInformation, Length, ResultLength) : status;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize)
{
    registry_check_passive("ZwSetValueKey");
    UNREFERENCED_PARAMETER(TitleIndex);
    kernel_key *key = nullptr;
    std::wstring_view name;
    NTSTATUS status = key_from_handle(KeyHandle, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (ValueName == nullptr || !string_view_of(ValueName, &name)) {
        return STATUS_INVALID_PARAMETER;
    }
    return registry_set_value(key->node, name, Type, Data, DataSize);
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    registry_check_passive("ZwDeleteValueKey");
    kernel_key *key = nullptr;
    std::wstring_view name;
    NTSTATUS status = key_from_handle(KeyHandle, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (ValueName == nullptr || !string_view_of(ValueName, &name)) {
        return STATUS_INVALID_PARAMETER;
    }
    return registry_delete_value(key->node, name);
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle)
{
    registry_check_passive("ZwDeleteKey");
    kernel_key *key = nullptr;
    NTSTATUS status = key_from_handle(KeyHandle, access_delete, &key);
    return NT_SUCCESS(status) ? registry_delete_key(key->node) : status;
}

NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength)
{
    registry_check_passive("ZwEnumerateKey");
    kernel_key *key = nullptr;
    NTSTATUS status = key_from_handle(KeyHandle, KEY_ENUMERATE_SUB_KEYS, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (KeyInformationClass == KeyNameInformation) {
        return STATUS_INVALID_PARAMETER;
    }
    std::wstring name;
    status = registry_enum_key(key->node, Index, &name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    registry_key child;
    status = registry_open(key->node, name, registry_view::native, &child);
    return NT_SUCCESS(status)
               ? describe_key(child, KeyInformationClass, false, KeyInformation, Length, ResultLength)
               : status;
}

NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    registry_check_passive("ZwEnumerateValueKey");
    kernel_key *key = nullptr;
    NTSTATUS status = key_from_handle(KeyHandle, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::wstring name;
    ULONG type = REG_NONE;
    std::vector<BYTE> data;
    status = registry_enum_value(key->node, Index, &name, &type, &data);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::vector<BYTE> record;
    ULONG fixed = 0;
    status = value_record(KeyValueInformationClass, name, type, data, &record, &fixed);
    return NT_SUCCESS(status) ? copy_record(record, fixed, KeyValueInformation, Length, ResultLength) : status;
}

NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation, ULONG Length,
                    PULONG ResultLength)
{
    registry_check_passive("ZwQueryKey");
    kernel_key *key = nullptr;
    const ACCESS_MASK needed = KeyInformationClass == KeyNameInformation ? 0 : KEY_QUERY_VALUE;
    NTSTATUS status = key_from_handle(KeyHandle, needed, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return describe_key(key->node, KeyInformationClass, KeyInformationClass == KeyNameInformation, KeyInformation,
                        Length, ResultLength);
}

NTSTATUS ZwFlushKey(HANDLE KeyHandle)
{
    registry_check_passive("ZwFlushKey");
    kernel_key *key = nullptr;
    return key_from_handle(KeyHandle, 0, &key);
}

NTSTATUS IoOpenDeviceRegistryKey(struct _DEVICE_OBJECT *DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DeviceRegKey)
{
    registry_check_passive("IoOpenDeviceRegistryKey");
    std::wstring instance_id;
    if (DeviceRegKey == nullptr || !registry_resolve_instance(DeviceObject, &instance_id)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::wstring path;
    if (DevInstKeyType == PLUGPLAY_REGKEY_DEVICE) {
        path = registry_device_key_path(instance_id);
    } else if (DevInstKeyType == PLUGPLAY_REGKEY_DRIVER) {
        path = registry_driver_key_path(instance_id);
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    registry_key node;
    bool created = false;
    NTSTATUS status = registry_create(nullptr, path, registry_view::native, true, false, &node, &created);
    if (NT_SUCCESS(status)) {
        *DeviceRegKey = kernel_handle_insert(new kernel_key{node, map_access(DesiredAccess)},
                                             kernel_handle_type::registry_key, close_kernel_key);
    }
    return status;
}

} // extern "C"
