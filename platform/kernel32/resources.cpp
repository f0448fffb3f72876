// Module resources: FindResourceW and FindResourceExW over the table a module exports (the
// stand-in's resource compiler writes it, platform/resource_section.h), LoadResource,
// LockResource and SizeofResource. A null module is the calling process's program.
#include "kernel32_private.h"
#include "modules.h"
#include <platform/resource_section.h>
#include <cwctype>
#include <string>

using namespace platform;

namespace {

// A type or name argument: a number made with MAKEINTRESOURCEW, "#" followed by decimal
// digits (the same number), or a name compared without regard to case.
struct resource_key {
    WORD id = 0;
    std::wstring name;
};

bool make_key(LPCWSTR text, resource_key *key)
{
    if (IS_INTRESOURCE(text)) {
        key->id = (WORD)(ULONG_PTR)text;
        return key->id != 0;
    }
    if (text[0] == L'#') {
        DWORD value = 0;
        const WCHAR *p = text + 1;
        for (; *p >= L'0' && *p <= L'9' && value <= 0xFFFF; ++p) {
            value = value * 10 + (DWORD)(*p - L'0');
        }
        if (*p == L'\0' && p != text + 1 && value != 0 && value <= 0xFFFF) {
            key->id = (WORD)value;
            return true;
        }
    }
    for (const WCHAR *p = text; *p != L'\0'; ++p) {
        key->name.push_back((WCHAR)std::towupper((wint_t)*p));
    }
    return !key->name.empty();
}

bool matches(const resource_key &key, WORD id, const WCHAR *name)
{
    if (key.id != 0) {
        return id == key.id;
    }
    return id == 0 && name != nullptr && key.name == name;
}

// The module's table; null with the last error set when the module is unknown or has no
// resources.
const resource_section *section_of(HMODULE module_handle)
{
    loaded_module *module =
        module_handle == nullptr ? module_of_process(process_current()) : module_from_handle(module_handle);
    if (module == nullptr) {
        win32_set_last_error(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto section = static_cast<const resource_section *>(module_symbol(module, resource_section_symbol));
    if (section == nullptr || section->entries == nullptr) {
        win32_set_last_error(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    return section;
}

const resource_entry *entry_of(HMODULE module, HRSRC resource)
{
    const resource_section *section = section_of(module);
    if (section == nullptr) {
        return nullptr;
    }
    auto entry = reinterpret_cast<const resource_entry *>(resource);
    if (entry < section->entries || entry >= section->entries + section->count) {
        win32_set_last_error(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return entry;
}

} // namespace

// The language is not kept: every resource of the stand-in is language neutral, and each
// language finds it.
HRSRC WINAPI FindResourceExW(HMODULE hModule, LPCWSTR lpType, LPCWSTR lpName, WORD wLanguage)
{
    resource_key type;
    resource_key name;
    if (lpType == nullptr || lpName == nullptr || !make_key(lpType, &type) || !make_key(lpName, &name)) {
        win32_set_last_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const resource_section *section = section_of(hModule);
    if (section == nullptr) {
        return nullptr;
    }
    bool type_found = false;
    for (DWORD i = 0; i < section->count; ++i) {
        const resource_entry &entry = section->entries[i];
        if (!matches(type, entry.type_id, entry.type_name)) {
            continue;
        }
        type_found = true;
        if (matches(name, entry.name_id, entry.name)) {
            return reinterpret_cast<HRSRC>(const_cast<resource_entry *>(&entry));
        }
    }
    win32_set_last_error(type_found ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
}

HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType)
{
    return FindResourceExW(hModule, lpType, lpName, 0);
}

HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo)
{
    const resource_entry *entry = entry_of(hModule, hResInfo);
    return entry == nullptr ? nullptr : const_cast<void *>(entry->data);
}

// The data is the module's own: it needs no locking and is never freed while the module is
// loaded.
LPVOID WINAPI LockResource(HGLOBAL hResData) { return hResData; }

DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo)
{
    const resource_entry *entry = entry_of(hModule, hResInfo);
    return entry == nullptr ? 0 : entry->size;
}
