// The COM runtime: per-thread apartments and activation of in-process classes, either built
// into the platform or found through HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32 and loaded
// from the registered path.
#include <objbase.h>
#include <platform/com_runtime.h>
#include <platform/machine_state.h>
#include <platform/thread.h>
#include <map>
#include <mutex>
#include <vector>

namespace {

struct apartment {
    ULONG init_count = 0;
    DWORD model = 0; // COINIT_APARTMENTTHREADED or COINIT_MULTITHREADED
};

struct com_state {
    std::mutex lock;
    std::map<platform::thread *, apartment> apartments;
    std::vector<std::pair<CLSID, platform::com_builtin_create>> builtins; // kept across boots
};

com_state &state()
{
    static com_state instance;
    return instance;
}

void reset_apartments()
{
    std::lock_guard<std::mutex> guard(state().lock);
    state().apartments.clear();
}

platform::machine_hooks g_hooks("ole32", reset_apartments, reset_apartments);

bool thread_initialized()
{
    std::lock_guard<std::mutex> guard(state().lock);
    auto it = state().apartments.find(platform::current_thread());
    return it != state().apartments.end() && it->second.init_count > 0;
}

platform::com_builtin_create find_builtin(REFCLSID clsid)
{
    std::lock_guard<std::mutex> guard(state().lock);
    for (auto &entry : state().builtins) {
        if (entry.first == clsid) {
            return entry.second;
        }
    }
    return nullptr;
}

// Reads the default value of HKCR\CLSID\{clsid}\InprocServer32 into path.
HRESULT registered_server_path(REFCLSID clsid, std::wstring *path)
{
    WCHAR clsid_text[CHARS_IN_GUID];
    StringFromGUID2(clsid, clsid_text, CHARS_IN_GUID);
    const std::wstring key_path = std::wstring(L"CLSID\\") + clsid_text + L"\\InprocServer32";
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key_path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return REGDB_E_CLASSNOTREG;
    }
    DWORD type = 0;
    DWORD bytes = 0;
    LSTATUS status = RegQueryValueExW(key, nullptr, nullptr, &type, nullptr, &bytes);
    std::vector<WCHAR> buffer(bytes / sizeof(WCHAR) + 1, L'\0');
    if (status == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ)) {
        status = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(buffer.data()), &bytes);
    } else {
        status = ERROR_INVALID_DATA;
    }
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || buffer[0] == L'\0') {
        return REGDB_E_CLASSNOTREG;
    }
    *path = buffer.data(); // the stored value need not carry its NUL
    return S_OK;
}

HRESULT server_class_object(REFCLSID clsid, REFIID riid, LPVOID *ppv)
{
    std::wstring path;
    HRESULT hr = registered_server_path(clsid, &path);
    if (FAILED(hr)) {
        return hr;
    }
    HMODULE module = LoadLibraryW(path.c_str());
    if (module == nullptr) {
        return CO_E_DLLNOTFOUND;
    }
    auto get_class_object = reinterpret_cast<LPFNGETCLASSOBJECT>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "DllGetClassObject")));
    if (get_class_object == nullptr) {
        return CO_E_ERRORINDLL;
    }
    return get_class_object(clsid, riid, ppv);
}

} // namespace

namespace platform {

void com_register_builtin_class(const CLSID &clsid, com_builtin_create create)
{
    std::lock_guard<std::mutex> guard(state().lock);
    state().builtins.emplace_back(clsid, create);
}

} // namespace platform

extern "C" HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit)
{
    if (pvReserved != nullptr) {
        return E_INVALIDARG;
    }
    const DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
    platform::thread *self = platform::current_thread();
    HRESULT result;
    bool new_thread;
    {
        std::lock_guard<std::mutex> guard(state().lock);
        auto [it, inserted] = state().apartments.try_emplace(self);
        apartment &a = it->second;
        if (a.init_count > 0 && a.model != model) {
            return RPC_E_CHANGED_MODE;
        }
        a.model = model;
        a.init_count += 1;
        result = a.init_count == 1 ? S_OK : S_FALSE;
        new_thread = inserted;
    }
    if (new_thread) {
        // The apartment ends with the thread; the hook runs on this thread.
        self->exit_hooks.push_back([self] {
            std::lock_guard<std::mutex> guard(state().lock);
            state().apartments.erase(self);
        });
    }
    return result;
}

extern "C" HRESULT WINAPI CoInitialize(LPVOID pvReserved)
{
    return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

// An unbalanced call is ignored.
extern "C" void WINAPI CoUninitialize()
{
    std::lock_guard<std::mutex> guard(state().lock);
    auto it = state().apartments.find(platform::current_thread());
    if (it != state().apartments.end() && it->second.init_count > 0) {
        it->second.init_count -= 1;
    }
}

extern "C" HRESULT WINAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid,
                                           LPVOID *ppv)
{
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (!thread_initialized()) {
        return CO_E_NOTINITIALIZED;
    }
    if ((dwClsContext & CLSCTX_INPROC_SERVER) == 0) {
        return REGDB_E_CLASSNOTREG; // no local or remote servers on this machine
    }
    return server_class_object(rclsid, riid, ppv);
}

extern "C" HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                           LPVOID *ppv)
{
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (!thread_initialized()) {
        return CO_E_NOTINITIALIZED;
    }
    if ((dwClsContext & CLSCTX_INPROC_SERVER) == 0) {
        return REGDB_E_CLASSNOTREG;
    }
    if (platform::com_builtin_create create = find_builtin(rclsid)) {
        return create(pUnkOuter, riid, ppv);
    }
    IClassFactory *factory = nullptr;
    HRESULT hr = server_class_object(rclsid, IID_IClassFactory, reinterpret_cast<LPVOID *>(&factory));
    if (FAILED(hr)) {
        return hr;
    }
    if (factory == nullptr) {
        return CO_E_ERRORINDLL; // a server that claims success must hand out its factory
    }
    hr = factory->CreateInstance(pUnkOuter, riid, ppv);
    factory->Release();
    if (FAILED(hr)) {
        *ppv = nullptr;
    }
    return hr;
}
