// The Rtl registry helpers: RtlQueryRegistryValues with its query table (direct entries,
// query routines, defaults, subkeys), and the small write, delete and check routines, over
// the machine's registry store.
#include <cstring>
#include <cwchar>
#include <km/wdm_zw.h>
#include "registry_kernel.h"

namespace platform {

namespace {

constexpr ULONG relative_mask = 0x0000FFFF;

std::wstring relative_root(ULONG relative_to)
{
    switch (relative_to & relative_mask) {
    case RTL_REGISTRY_ABSOLUTE:
        return L"";
    case RTL_REGISTRY_SERVICES:
        return L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
    case RTL_REGISTRY_CONTROL:
        return L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\";
    case RTL_REGISTRY_WINDOWS_NT:
        return L"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\";
    case RTL_REGISTRY_DEVICEMAP:
        return L"\\Registry\\Machine\\Hardware\\DeviceMap\\";
    case RTL_REGISTRY_USER:
        return L"\\Registry\\User\\" + registry_current_user() + L"\\";
    default:
        return L"?";
    }
}

// The key named by RelativeTo and Path, opened or created.
NTSTATUS key_of(ULONG relative_to, PCWSTR path, bool create, registry_key *key)
{
    if ((relative_to & RTL_REGISTRY_HANDLE) != 0) {
        return registry_kernel_key(const_cast<PWSTR>(path), 0, key);
    }
    std::wstring root = relative_root(relative_to);
    if (root == L"?" || path == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::wstring full = root + path;
    bool created = false;
    return create ? registry_create(nullptr, full, registry_view::native, true, false, key, &created)
                  : registry_open(nullptr, full, registry_view::native, key);
}

bool is_string_type(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Stores a value into a direct entry's EntryContext, as the table entry's owner expects it.
NTSTATUS store_direct(const RTL_QUERY_REGISTRY_TABLE &entry, ULONG type, const BYTE *data, ULONG size)
{
    if (entry.EntryContext == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (is_string_type(type) && (entry.Flags & RTL_QUERY_REGISTRY_NOSTRING) == 0) {
        // A caller-supplied UNICODE_STRING receives the text; Length leaves out the terminator.
        auto *string = static_cast<PUNICODE_STRING>(entry.EntryContext);
        ULONG chars = size / sizeof(WCHAR);
        const auto *text = reinterpret_cast<const WCHAR *>(data);
        while (chars > 0 && text[chars - 1] == L'\0' && type != REG_MULTI_SZ) {
            --chars;
        }
        const ULONG bytes = chars * sizeof(WCHAR);
        if (string->Buffer == nullptr) {
            return STATUS_INVALID_PARAMETER; // pool allocation for the caller is not offered
        }
        if (bytes + sizeof(WCHAR) > string->MaximumLength) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(string->Buffer, data, bytes);
        string->Buffer[chars] = L'\0';
        string->Length = static_cast<USHORT>(bytes);
        return STATUS_SUCCESS;
    }
    if (size <= sizeof(ULONG)) {
        std::memcpy(entry.EntryContext, data, size);
        return STATUS_SUCCESS;
    }
    // Larger data: the buffer starts with its size as a LONG; negative means data only, else
    // the buffer receives length, type and then the data.
    LONG header = 0;
    std::memcpy(&header, entry.EntryContext, sizeof(header));
    auto *buffer = static_cast<BYTE *>(entry.EntryContext);
    if (header < 0) {
        if (static_cast<ULONG>(-static_cast<LONGLONG>(header)) < size) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(buffer, data, size);
        return STATUS_SUCCESS;
    }
    if (static_cast<ULONG>(header) < size + 2 * sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(buffer, &size, sizeof(ULONG));
    std::memcpy(buffer + sizeof(ULONG), &type, sizeof(ULONG));
    std::memcpy(buffer + 2 * sizeof(ULONG), data, size);
    return STATUS_SUCCESS;
}

NTSTATUS deliver(const RTL_QUERY_REGISTRY_TABLE &entry, PWSTR name, ULONG type, const BYTE *data, ULONG size,
                 PVOID context)
{
    if ((entry.Flags & RTL_QUERY_REGISTRY_DIRECT) != 0) {
        if ((entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) != 0 &&
            (entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) != type) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        return store_direct(entry, type, data, size);
    }
    if (entry.QueryRoutine == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return entry.QueryRoutine(name, type, const_cast<BYTE *>(data), size, context, entry.EntryContext);
}

// One named entry: the value, else its default, else nothing (or a failure when required).
NTSTATUS query_entry(const registry_key &key, const RTL_QUERY_REGISTRY_TABLE &entry, PVOID context)
{
    ULONG type = REG_NONE;
    std::vector<BYTE> data;
    NTSTATUS status = registry_query_value(key, entry.Name, &type, &data);
    if (NT_SUCCESS(status)) {
        status = deliver(entry, entry.Name, type, data.data(), static_cast<ULONG>(data.size()), context);
        if (NT_SUCCESS(status) && (entry.Flags & RTL_QUERY_REGISTRY_DELETE) != 0) {
            registry_delete_value(key, entry.Name);
        }
        return status;
    }
    if (status != STATUS_OBJECT_NAME_NOT_FOUND) {
        return status;
    }
    if ((entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) != 0) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const ULONG default_type = entry.DefaultType & 0x00FFFFFF;
    if (default_type == REG_NONE || entry.DefaultData == nullptr) {
        return STATUS_SUCCESS;
    }
    ULONG size = entry.DefaultLength;
    if (size == 0 && is_string_type(default_type)) {
        size = static_cast<ULONG>((std::wcslen(static_cast<const WCHAR *>(entry.DefaultData)) + 1) * sizeof(WCHAR));
    }
    return deliver(entry, entry.Name, default_type, static_cast<const BYTE *>(entry.DefaultData), size, context);
}

// An entry without a name: its routine sees every value of the key.
NTSTATUS query_all(const registry_key &key, const RTL_QUERY_REGISTRY_TABLE &entry, PVOID context)
{
    for (ULONG index = 0;; ++index) {
        std::wstring name;
        ULONG type = REG_NONE;
        std::vector<BYTE> data;
        if (!NT_SUCCESS(registry_enum_value(key, index, &name, &type, &data))) {
            return STATUS_SUCCESS;
        }
        NTSTATUS status = deliver(entry, name.data(), type, data.data(), static_cast<ULONG>(data.size()), context);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
}

} // namespace

} // namespace platform

using namespace platform;

extern "C" {

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                PVOID Environment)
{
    registry_check_passive("RtlQueryRegistryValues");
    UNREFERENCED_PARAMETER(Environment);
    if (QueryTable == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    registry_key top;
    NTSTATUS status = key_of(RelativeTo, Path, false, &top);
    if (!NT_SUCCESS(status)) {
        return status == STATUS_OBJECT_NAME_NOT_FOUND && (RelativeTo & RTL_REGISTRY_OPTIONAL) != 0 ? STATUS_SUCCESS
                                                                                                  : status;
    }
    registry_key current = top;
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
         NT_SUCCESS(status) && (entry->QueryRoutine != nullptr || entry->Name != nullptr); ++entry) {
        if ((entry->Flags & RTL_QUERY_REGISTRY_TOPKEY) != 0) {
            current = top;
        }
        if ((entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) != 0) {
            if (entry->Name != nullptr) {
                status = registry_open(top, entry->Name, registry_view::native, &current);
            }
            if (!NT_SUCCESS(status) || entry->QueryRoutine == nullptr) {
                continue;
            }
            status = query_all(current, *entry, Context);
        } else if (entry->Name == nullptr) {
            status = query_all(current, *entry, Context);
        } else {
            status = query_entry(current, *entry, Context);
        }
    }
    return status;
}

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength)
{
    registry_check_passive("RtlWriteRegistryValue");
    registry_key key;
    NTSTATUS status = key_of(RelativeTo, Path, false, &key);
    return NT_SUCCESS(status)
               ? registry_set_value(key, ValueName != nullptr ? ValueName : L"", ValueType, ValueData, ValueLength)
               : status;
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName)
{
    registry_check_passive("RtlDeleteRegistryValue");
    registry_key key;
    NTSTATUS status = key_of(RelativeTo, Path, false, &key);
    return NT_SUCCESS(status) ? registry_delete_value(key, ValueName != nullptr ? ValueName : L"") : status;
}

NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path)
{
    registry_check_passive("RtlCheckRegistryKey");
    registry_key key;
    return key_of(RelativeTo, Path, false, &key);
}

NTSTATUS RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path)
{
    registry_check_passive("RtlCreateRegistryKey");
    registry_key key;
    return key_of(RelativeTo, Path, true, &key);
}

} // extern "C"
