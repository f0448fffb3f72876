// The resource tables programs register (afxres.h): dialog templates and string tables; and
// LoadStringW over a module's own string table first and the registered tables after it.
#include <afxwin.h>
#include <algorithm>
#include <cwchar>
#include <mutex>
#include <vector>

namespace {

struct resource_registry {
    std::mutex lock;
    std::vector<const AFX_RESOURCE_TABLE *> tables; // registration order
};

resource_registry &registry()
{
    static resource_registry instance;
    return instance;
}

const AFX_STRING_RESOURCE *find_string(UINT id)
{
    std::lock_guard<std::mutex> guard(registry().lock);
    for (auto it = registry().tables.rbegin(); it != registry().tables.rend(); ++it) {
        for (UINT i = 0; i < (*it)->stringCount; ++i) {
            if ((*it)->strings[i].id == id && (*it)->strings[i].text != nullptr) {
                return &(*it)->strings[i];
            }
        }
    }
    return nullptr;
}

// The characters of string id in module's string table (blocks of sixteen counted strings);
// null when the module has no block for it or the slot is empty.
const WCHAR *module_string(HINSTANCE module, UINT id, size_t *length)
{
    const HRSRC block = FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW((id >> 4) + 1), 0);
    if (block == nullptr || id > 0xFFFF) {
        return nullptr;
    }
    const auto *p = static_cast<const WCHAR *>(LockResource(LoadResource(module, block)));
    if (p == nullptr) {
        return nullptr;
    }
    const WCHAR *const end = p + SizeofResource(module, block) / sizeof(WCHAR);
    for (UINT slot = 0; slot < (id & 15); ++slot) {
        if (p >= end || (size_t)*p >= (size_t)(end - p)) {
            return nullptr;
        }
        p += 1 + *p;
    }
    if (p >= end || *p == 0 || (size_t)*p >= (size_t)(end - p)) {
        return nullptr;
    }
    *length = (size_t)*p;
    return p + 1;
}

} // namespace

void AfxRegisterResources(const AFX_RESOURCE_TABLE *table)
{
    if (table == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(registry().lock);
    registry().tables.push_back(table);
}

void AfxUnregisterResources(const AFX_RESOURCE_TABLE *table)
{
    std::lock_guard<std::mutex> guard(registry().lock);
    auto &tables = registry().tables;
    auto it = std::find(tables.rbegin(), tables.rend(), table);
    if (it != tables.rend()) {
        tables.erase(std::next(it).base());
    }
}

const AFX_DIALOG_TEMPLATE *AfxFindDialogTemplate(UINT id)
{
    std::lock_guard<std::mutex> guard(registry().lock);
    for (auto it = registry().tables.rbegin(); it != registry().tables.rend(); ++it) {
        for (UINT i = 0; i < (*it)->dialogCount; ++i) {
            if ((*it)->dialogs[i].id == id) {
                return &(*it)->dialogs[i];
            }
        }
    }
    return nullptr;
}

// Copies up to cchBufferMax - 1 characters and a terminator; returns the characters copied.
// With cchBufferMax 0 the buffer receives a read-only pointer to the string, which is not
// terminated, and the result is its length. 0 with ERROR_RESOURCE_NAME_NOT_FOUND for an
// unknown id. A null instance is the calling process's program.
extern "C" int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax)
{
    if (lpBuffer == nullptr || cchBufferMax < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t length = 0;
    const WCHAR *text = module_string(hInstance, uID, &length);
    if (text == nullptr) {
        if (const AFX_STRING_RESOURCE *resource = find_string(uID)) {
            text = resource->text;
            length = std::wcslen(text);
        }
    }
    if (text == nullptr) {
        if (cchBufferMax > 0) {
            lpBuffer[0] = L'\0';
        }
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    if (cchBufferMax == 0) {
        *reinterpret_cast<LPCWSTR *>(lpBuffer) = text;
        return (int)length;
    }
    const size_t count = std::min(length, (size_t)cchBufferMax - 1);
    std::wmemcpy(lpBuffer, text, count);
    lpBuffer[count] = L'\0';
    return (int)count;
}
