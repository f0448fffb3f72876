// The loader: LoadLibraryW over the module folder, reference counts and DllMain, module
// names and paths, GetProcAddress into the platform's own modules; and the processor
// topology and multimedia scheduler records reached through them.
#include "Kernel32Test.h"
#include <avrt.h>
#include <platform/win32_system.h>
#include <vector>

namespace {

using ModuleTests = Kernel32Test;

typedef LONG(WINAPI *attach_count_routine)();

TEST_F(ModuleTests, LoadLibraryCountsReferencesAndCallsDllMainOnce)
{
    HANDLE detached = CreateEventW(nullptr, TRUE, FALSE, L"k32testlib-detached");
    SetLastError(0);
    EXPECT_EQ(GetModuleHandleW(L"k32testlib.dll"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);

    HMODULE first = LoadLibraryW(L"C:\\Program Files\\Orvan\\k32testlib.dll");
    ASSERT_NE(first, nullptr);
    HMODULE second = LoadLibraryW(L"k32testlib");
    EXPECT_EQ(second, first);
    EXPECT_EQ(GetModuleHandleW(L"K32TESTLIB.DLL"), first) << "module names are case-insensitive";
    auto attach_count = reinterpret_cast<attach_count_routine>(
        reinterpret_cast<void (*)()>(GetProcAddress(first, "TestLibraryAttachCount")));
    ASSERT_NE(attach_count, nullptr);
    EXPECT_EQ(attach_count(), 1);
    EXPECT_EQ(GetProcAddress(first, "NoSuchExport"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PROC_NOT_FOUND);

    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_EQ(WaitForSingleObject(detached, 0), (DWORD)WAIT_TIMEOUT);
    EXPECT_TRUE(FreeLibrary(second));
    EXPECT_EQ(WaitForSingleObject(detached, 0), WAIT_OBJECT_0);
    EXPECT_EQ(GetModuleHandleW(L"k32testlib.dll"), nullptr);
    EXPECT_FALSE(FreeLibrary(first));
    CloseHandle(detached);
}

TEST_F(ModuleTests, MissingModuleFailsWithModNotFound)
{
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(L"C:\\Windows\\System32\\absent.dll"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
}

TEST_F(ModuleTests, ModuleFileNameIsTheLoadPathAndIsCutToTheBuffer)
{
    HMODULE module = LoadLibraryW(L"C:\\Program Files\\Orvan\\k32testlib.dll");
    ASSERT_NE(module, nullptr);
    const std::wstring expected = L"C:\\Program Files\\Orvan\\k32testlib.dll";
    const DWORD length = (DWORD)expected.size();
    struct probe {
        DWORD size;
        DWORD result;
        DWORD error;
    };
    const probe probes[] = {{length + 5, length, ERROR_SUCCESS},
                            {length + 1, length, ERROR_SUCCESS},
                            {length, length, ERROR_INSUFFICIENT_BUFFER},
                            {4, 4, ERROR_INSUFFICIENT_BUFFER}};
    for (const probe &row : probes) {
        SCOPED_TRACE(testing::Message() << "size " << row.size);
        std::vector<WCHAR> buffer(row.size + 2, L'#');
        SetLastError(12345);
        EXPECT_EQ(GetModuleFileNameW(module, buffer.data(), row.size), row.result);
        EXPECT_EQ(GetLastError(), row.error);
        const DWORD kept = row.result < row.size ? row.result : row.size - 1;
        EXPECT_EQ(std::wstring(buffer.data()), expected.substr(0, kept));
        EXPECT_EQ(buffer[row.size], L'#') << "nothing written past the buffer";
    }

    platform::module_register_path(L"k32testlib.dll", L"C:\\Windows\\System32\\k32testlib.dll");
    WCHAR path[MAX_PATH];
    const std::wstring registered = L"C:\\Windows\\System32\\k32testlib.dll";
    EXPECT_EQ(GetModuleFileNameW(module, path, MAX_PATH), (DWORD)registered.size());
    EXPECT_EQ(std::wstring(path), registered);
    EXPECT_GT(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u) << "the host program has a path too";
    FreeLibrary(module);
}

TEST_F(ModuleTests, PlatformFunctionsAreFoundThroughTheirSystemModule)
{
    HMODULE kernel32 = GetModuleHandleW(L"kernel32");
    ASSERT_NE(kernel32, nullptr);
    WCHAR path[MAX_PATH];
    EXPECT_EQ(GetModuleFileNameW(kernel32, path, MAX_PATH), 32u);
    EXPECT_STREQ(path, L"C:\\Windows\\System32\\kernel32.dll");
    auto query = reinterpret_cast<LPFN_GLPI>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "GetLogicalProcessorInformation")));
    ASSERT_NE(query, nullptr);

    platform::set_processor_packages(3);
    DWORD length = 0;
    EXPECT_FALSE(query(nullptr, &length));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    ASSERT_GT(length, 0u);
    ASSERT_EQ(length % sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION), 0u);
    std::vector<SYSTEM_LOGICAL_PROCESSOR_INFORMATION> entries(length / sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION));
    DWORD short_length = length - 1;
    EXPECT_FALSE(query(entries.data(), &short_length));
    EXPECT_EQ(short_length, length);
    ASSERT_TRUE(query(entries.data(), &length));
    int packages = 0;
    for (const auto &entry : entries) {
        packages += entry.Relationship == RelationProcessorPackage ? 1 : 0;
    }
    EXPECT_EQ(packages, 3);
}

TEST_F(ModuleTests, MultimediaSchedulerRecordsWhatAThreadAsked)
{
    DWORD index = 0;
    HANDLE task = AvSetMmThreadCharacteristicsW(L"Pro Audio", &index);
    ASSERT_NE(task, nullptr);
    EXPECT_NE(index, 0u);
    EXPECT_TRUE(AvSetMmThreadPriority(task, AVRT_PRIORITY_HIGH));
    auto records = platform::mmcss_records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].task_name, L"Pro Audio");
    EXPECT_EQ(records[0].thread_id, GetCurrentThreadId());
    EXPECT_EQ(records[0].priority, 2);
    EXPECT_FALSE(records[0].reverted);
    EXPECT_TRUE(AvRevertMmThreadCharacteristics(task));
    EXPECT_TRUE(platform::mmcss_records()[0].reverted);
    EXPECT_FALSE(AvSetMmThreadPriority(task, AVRT_PRIORITY_HIGH)) << "a reverted registration is gone";
    EXPECT_EQ(AvSetMmThreadCharacteristicsW(L"No Such Task", &index), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_TASK_NAME);
}

} // namespace
