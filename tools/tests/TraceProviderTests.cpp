// Each deliverable that traces registers its provider under its own control GUID at the
// points where it starts tracing and unregisters it where it stops.
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
#include <wdm.h>
#include <platform/io_driver.h>
#include <platform/win32_system.h>
#include <platform/trace.h>
#include <sim/machine.h>
#include <dlfcn.h>
#include <functional>
#include <set>
#include <string>
#include "AsioDriverIds.h"
#include "NamedObjects.h"
#include "package_install.h"
#include "trace_session.h"

namespace {

constexpr GUID standard_asio_clsid = {0xE34ABBB9, 0xE175, 0x4A6A, {0x9B, 0xDF, 0x98, 0x99, 0xFC, 0x21, 0xBC, 0xBD}};

const GUID &provider_of(const std::string &deliverable)
{
    for (const ovmrun::package_provider &provider : ovmrun::package_providers()) {
        if (deliverable == provider.deliverable) {
            return *provider.control_guid;
        }
    }
    ADD_FAILURE() << deliverable << " has no provider";
    static const GUID none{};
    return none;
}

IUnknown *create_driver(const GUID &clsid)
{
    IUnknown *driver = nullptr;
    EXPECT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, reinterpret_cast<void **>(&driver)));
    return driver;
}

// DllRegisterServer (or another registration entry) of a module loaded from its installed
// path, in this process's registry view.
HRESULT register_server(const wchar_t *file_name, const wchar_t *installed_path,
                        const char *entry_name = "DllRegisterServer")
{
    platform::module_register_path(file_name, installed_path);
    HMODULE module = LoadLibraryW(file_name);
    EXPECT_NE(nullptr, module);
    typedef HRESULT(STDAPICALLTYPE * register_entry)();
    auto entry = module != nullptr ? reinterpret_cast<register_entry>(GetProcAddress(module, entry_name)) : nullptr;
    const HRESULT hr = entry != nullptr ? entry() : E_FAIL;
    if (module != nullptr) {
        FreeLibrary(module);
    }
    return hr;
}

DWORD run_panel()
{
    std::wstring line = L"\"C:\\Program Files\\Orvan\\ASIO\\ovmlsaaudcp.exe\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    DWORD exit_code = STILL_ACTIVE;
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(info.hProcess, 30000));
        GetExitCodeProcess(info.hProcess, &exit_code);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    return exit_code;
}

class TraceProviderTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
    void TearDown() override { CoUninitialize(); }

    sim::machine m_machine;
};

TEST_F(TraceProviderTest, EveryDeliverableRegistersItsProviderWhereItStartsTracingAndUnregistersWhereItStops)
{
    IUnknown *driver = nullptr;
    HMODULE coinstaller = nullptr;
    HANDLE panelMutex = nullptr;
    struct Row {
        const char *deliverable;
        const char *start;
        std::function<void()> starts;
        std::function<void()> stops; // empty: the start point stops tracing again before it returns
    };
    const Row rows[] = {
        {"ovmlsaau", "DriverEntry", [&] { EXPECT_EQ(STATUS_SUCCESS, m_machine.load_driver("ovmlsaau", L"OVMLSAAU")); },
         [&] { EXPECT_EQ(STATUS_SUCCESS, m_machine.unload_driver("ovmlsaau")); }},
        {"ovmlsau", "DriverEntry", [&] { EXPECT_EQ(STATUS_SUCCESS, m_machine.load_driver("ovmlsau", L"OVMLSAU")); },
         [&] { EXPECT_EQ(STATUS_SUCCESS, m_machine.unload_driver("ovmlsau")); }},
        {"ovmlsaaso", "DllRegisterServer",
         [] { EXPECT_EQ(S_OK, register_server(QEL_ASIO_MODULE_FILE_NAME, ovmrun::asio_module_path)); }, nullptr},
        {"ovmlsaaso", "the driver object", [&] { driver = create_driver(CLSID_QelAsioDriver); },
         [&] { EXPECT_EQ(0u, driver->Release()); }},
        {"ovmlsaaso", "DllUnregisterServer",
         [] {
             EXPECT_EQ(S_OK,
                       register_server(QEL_ASIO_MODULE_FILE_NAME, ovmrun::asio_module_path, "DllUnregisterServer"));
         },
         nullptr},
        {"ovmlsaso", "the driver object",
         [&] {
             EXPECT_EQ(S_OK, register_server(L"ovmlsaso.dll", ovmrun::standard_asio_module_path));
             driver = create_driver(standard_asio_clsid);
         },
         [&] { EXPECT_EQ(0u, driver->Release()); }},
        {"ovmlsacoinstaller", "process attach", [&] { coinstaller = LoadLibraryW(L"ovmlsacoinstaller.dll"); },
         [&] { EXPECT_TRUE(FreeLibrary(coinstaller)); }},
        // A second panel finds the instance mutex and ends at once, through the same start
        // and stop of tracing as a panel with its dialog.
        {"ovmlsaaudcp", "InitInstance",
         [&] {
             panelMutex = CreateMutexW(nullptr, TRUE, OVM_PANEL_INSTANCE_MUTEX_NAME);
             EXPECT_NE((DWORD)STILL_ACTIVE, run_panel());
             CloseHandle(panelMutex);
         },
         nullptr},
    };
    std::set<std::string> deliverables;
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.deliverable) + " from " + row.start);
        deliverables.insert(row.deliverable);
        const GUID &guid = provider_of(row.deliverable);
        const platform::trace_provider_state before = platform::trace_provider(guid);
        ASSERT_EQ(0u, before.live);
        row.starts();
        platform::trace_provider_state now = platform::trace_provider(guid);
        EXPECT_EQ(before.registrations + 1, now.registrations);
        EXPECT_EQ(row.deliverable, now.module);
        if (row.stops) {
            EXPECT_EQ(1u, now.live);
            row.stops();
        }
        EXPECT_EQ(0u, platform::trace_provider(guid).live);
    }
    EXPECT_EQ(ovmrun::package_providers().size(), deliverables.size()) << "a row for every provider";
}

TEST(TraceProviders, EachHasItsOwnControlGuidAndThePanelAndCoInstallerTheirGivenOnes)
{
    std::set<std::string> guids;
    for (const ovmrun::package_provider &provider : ovmrun::package_providers()) {
        guids.insert(std::string(reinterpret_cast<const char *>(provider.control_guid), sizeof(GUID)));
    }
    EXPECT_EQ(6u, guids.size());
    const GUID panel = {0xE9FFC0D9, 0xEF04, 0x4760, {0x90, 0xAD, 0xCB, 0x43, 0x6D, 0x3E, 0x80, 0x3D}};
    const GUID coinstaller = {0xAB8EA286, 0xDAB3, 0x47A2, {0x94, 0x33, 0xDE, 0x5D, 0xE5, 0x44, 0x60, 0x36}};
    EXPECT_EQ(panel, provider_of("ovmlsaaudcp"));
    EXPECT_EQ(coinstaller, provider_of("ovmlsacoinstaller"));
}

// Windows unloads a driver whose DriverEntry fails without calling its DriverUnload: the
// entry itself must stop the tracing it started.
TEST_F(TraceProviderTest, KernelDriverWhoseEntryFailsLeavesNoProviderRegistered)
{
    for (const char *name : {"ovmlsaau", "ovmlsau"}) {
        SCOPED_TRACE(name);
        const std::string path = std::string(OVM_MODULE_DIR) + "/" + name + ".so";
        void *module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(nullptr, module);
        auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(module, "DriverEntry"));
        ASSERT_NE(nullptr, entry);
        DRIVER_OBJECT *object = platform::io_create_driver_object(L"Failing", path);
        PDRIVER_EXTENSION extension = object->DriverExtension;
        object->DriverExtension = nullptr; // portcls refuses the driver
        UNICODE_STRING registry = {};
        EXPECT_FALSE(NT_SUCCESS(entry(object, &registry)));
        EXPECT_EQ(0u, platform::trace_live_registrations(path));
        object->DriverExtension = extension;
        platform::io_discard_driver_object(object);
        dlclose(module);
    }
}

} // namespace
