// Package installation steps of the main job.
#include "package_install.h"
#include <CmnRegUtil.h>
#include <objbase.h>
#include <platform/device_install.h>
#include <platform/win32_system.h>
#include <sim/asio_host.h>
#include <sim/device_setup.h>
#include <windows.h>
#include "AsioDriverIds.h"

namespace ovmrun {

namespace {

platform::driver_candidate candidate(const char *description, const char *manufacturer, DWORD rank)
{
    platform::driver_candidate driver;
    driver.description = description;
    driver.manufacturer = manufacturer;
    driver.provider = manufacturer;
    driver.inf_path = "C:\\Windows\\INF\\oem7.inf";
    driver.rank = rank;
    return driver;
}

std::string narrow_name(const wchar_t *text)
{
    std::string out;
    for (; *text != L'\0'; ++text) {
        out.push_back(*text < 0x80 ? (char)*text : '?');
    }
    return out;
}

std::string hresult_text(HRESULT hr)
{
    char text[32];
    std::snprintf(text, sizeof(text), "0x%08X", (unsigned)hr);
    return text;
}

} // namespace

void install_kernel_driver(sim::machine &machine)
{
    machine.install_driver(async_hardware_id, "ovmlsaau", L"OVMLSAAU");
}

setup_outcome run_device_setup(const std::wstring &instance_id)
{
    setup_outcome outcome;
    const sim::device_setup_result result =
        sim::run_device_setup(instance_id,
                              {candidate("USB Audio 2.0 Device", "(Generic USB Audio)", 0x00FF0000),
                               candidate("Orvan Marla Series Async Audio", "Orvan", 0x00FF2001)},
                              {L"ovmlsacoinstaller.dll", "CoInstallerEntryPoint"});
    if (result.error != 0) {
        outcome.detail = "device setup failed with error " + std::to_string(result.error);
    } else if (result.chosen < 0 || result.chosen >= (int)result.drivers.size()) {
        outcome.detail = "device setup chose no driver";
    } else {
        outcome.chosen = result.drivers[result.chosen].description;
        outcome.ok = true;
    }
    return outcome;
}

namespace {

registration_outcome register_module(const wchar_t *file_name, const wchar_t *windows_path,
                                     const std::wstring &driver_name, bool wow64_32)
{
    registration_outcome outcome;
    const std::string file = narrow_name(file_name);
    platform::module_register_path(file_name, windows_path);
    HMODULE module = LoadLibraryW(file_name);
    if (module == nullptr) {
        outcome.detail = file + " could not be loaded: error " + std::to_string(GetLastError());
        return outcome;
    }
    typedef HRESULT(STDAPICALLTYPE * register_entry)();
    auto entry = reinterpret_cast<register_entry>(GetProcAddress(module, "DllRegisterServer"));
    const HRESULT hr = entry != nullptr ? entry() : E_FAIL;
    FreeLibrary(module);
    if (entry == nullptr) {
        outcome.detail = file + " exports no DllRegisterServer";
        return outcome;
    }
    if (hr != S_OK) {
        outcome.detail = "DllRegisterServer returned " + hresult_text(hr);
        return outcome;
    }
    for (const sim::asio_driver_entry &entry_found : sim::asio_enumerate_drivers(wow64_32)) {
        if (entry_found.name == driver_name) {
            outcome.ok = true;
            return outcome;
        }
    }
    outcome.detail = "the driver registered itself but SOFTWARE\\ASIO does not list it";
    return outcome;
}

} // namespace

registration_outcome register_asio_driver()
{
    return register_module(QEL_ASIO_MODULE_FILE_NAME, asio_module_path, QEL_ASIO_DRIVER_NAME, false);
}

registration_outcome register_standard_asio_driver()
{
    return register_module(L"ovmlsaso.dll", standard_asio_module_path, standard_asio_driver_name, true);
}

bool store_standard_settings(uint32_t rate, uint32_t buffer_frames)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Orvan\\Marla Series ASIO", 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const DWORD frames = buffer_frames;
    const DWORD stored_rate = rate;
    const bool written =
        RegSetValueExW(key, L"buffer_size,2", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&frames), sizeof(frames)) ==
            ERROR_SUCCESS &&
        RegSetValueExW(key, L"sampling_rate", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&stored_rate),
                       sizeof(stored_rate)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return written;
}

bool store_settings(uint32_t rate, uint32_t buffer_index)
{
    CmnRegUtil settings;
    DWORD index = buffer_index;
    DWORD stored_rate = rate;
    // The first reader creates the key with its defaults; the values are then written over them.
    DWORD probe = 0;
    settings.GetValue(REGVAL_SAMPLING_RATE, &probe, sizeof(probe));
    return settings.SetValue(REGVAL_BUFFER_SIZE_INDEX, &index, sizeof(index)) == REGUTIL_OK &&
           settings.SetValue(REGVAL_SAMPLING_RATE, &stored_rate, sizeof(stored_rate)) == REGUTIL_OK;
}

} // namespace ovmrun
