// The resource tables programs register (afxres.h): dialog templates and string tables, and
// LoadStringW over them.
#include <afxwin.h>
#include <algorithm>
#include <mutex>
#include <vector>

#ifndef ERROR_RESOURCE_NAME_NOT_FOUND
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#endif

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
// With cchBufferMax 0 the buffer receives a read-only pointer to the whole string and the
// result is its length. 0 with ERROR_RESOURCE_NAME_NOT_FOUND for an unknown id.
extern "C" int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax)
{
    if (lpBuffer == nullptr || cchBufferMax < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const AFX_STRING_RESOURCE *resource = find_string(uID);
    if (resource == nullptr) {
        if (cchBufferMax > 0) {
            lpBuffer[0] = L'\0';
        }
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    const std::wstring text = resource->text;
    if (cchBufferMax == 0) {
        *reinterpret_cast<LPCWSTR *>(lpBuffer) = resource->text;
        return (int)text.size();
    }
    const size_t count = std::min(text.size(), (size_t)cchBufferMax - 1);
    text.copy(lpBuffer, count);
    lpBuffer[count] = L'\0';
    return (int)count;
}
