// Full path names, file attributes over the machine's file store, and CreateProcessA with
// its current directory, start record and exit code.
#include "Kernel32Test.h"
#include <platform/device_install.h>
#include <cstring>

namespace {

class PathTests : public Kernel32Test {};

std::wstring full_path(const WCHAR *name)
{
    WCHAR buffer[MAX_PATH];
    const DWORD length = GetFullPathNameW(name, MAX_PATH, buffer, nullptr);
    return length > 0 && length < MAX_PATH ? std::wstring(buffer, length) : L"<failed>";
}

TEST_F(PathTests, FullPathsAreNormalisedAndRelativeOnesTakeTheCurrentDirectory)
{
    EXPECT_EQ(L"C:\\a\\c.inf", full_path(L"C:\\a\\b\\..\\.\\c.inf"));
    EXPECT_EQ(L"C:\\a\\c.inf", full_path(L"c:/a//c.inf"));
    EXPECT_EQ(L"C:\\x.inf", full_path(L"C:\\..\\..\\x.inf"));
    EXPECT_EQ(L"C:\\dir\\", full_path(L"C:\\dir\\"));
    EXPECT_EQ(L"C:\\x.inf", full_path(L"x.inf"));
    EXPECT_EQ(L"C:\\y\\x.inf", full_path(L"\\y\\x.inf"));
}

TEST_F(PathTests, FullPathBufferProbesReportTheNeededSizeAndTheFilePart)
{
    const WCHAR *name = L"C:\\Orvan\\ovmlsau.inf";
    const DWORD length = (DWORD)std::wcslen(name);
    WCHAR buffer[64];
    for (DWORD capacity : {0u, length}) {
        SCOPED_TRACE(capacity);
        std::fill(std::begin(buffer), std::end(buffer), L'#');
        EXPECT_EQ(length + 1, GetFullPathNameW(name, capacity, buffer, nullptr));
        EXPECT_EQ(L'#', buffer[0]);
    }
    LPWSTR part = nullptr;
    EXPECT_EQ(length, GetFullPathNameW(name, length + 1, buffer, &part));
    EXPECT_STREQ(name, buffer);
    EXPECT_STREQ(L"ovmlsau.inf", part);
    EXPECT_EQ(0u, GetFullPathNameW(L"", 64, buffer, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_NAME, GetLastError());
}

TEST_F(PathTests, AttributesComeFromTheFileStore)
{
    platform::file_store_add(L"C:\\Program Files\\Orvan\\ovmlsau.inf");
    EXPECT_EQ((DWORD)FILE_ATTRIBUTE_ARCHIVE, GetFileAttributesW(L"c:\\program files\\orvan\\OVMLSAU.INF"));
    EXPECT_EQ((DWORD)FILE_ATTRIBUTE_DIRECTORY, GetFileAttributesW(L"C:\\Program Files\\Orvan\\"));
    EXPECT_EQ((DWORD)FILE_ATTRIBUTE_DIRECTORY, GetFileAttributesW(L"C:\\"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\Program Files\\Orvan\\missing.inf"));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\Nowhere\\x.inf"));
    EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());
    // A folder name that only shares a prefix with a stored folder does not exist.
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\Program Files\\Orv"));
    platform::file_store_remove(L"C:\\Program Files\\Orvan\\ovmlsau.inf");
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\Program Files\\Orvan\\ovmlsau.inf"));
}

TEST_F(PathTests, CreateProcessAStartsTheProgramInTheGivenFolderAndKeepsItsExitCode)
{
    HANDLE started = CreateEventW(nullptr, TRUE, FALSE, L"k32testprogram-started");
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, L"k32testprogram-release");
    char command_line[] = "\"C:\\Program Files\\Orvan\\k32testprogram.exe\" -tray";
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(CreateProcessA(nullptr, command_line, nullptr, nullptr, FALSE, CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS,
                               nullptr, "C:\\Program Files\\Orvan\\", &startup, &info));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(started, 10000));
    const auto records = platform::process_start_records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(L"\"C:\\Program Files\\Orvan\\k32testprogram.exe\" -tray", records[0].command_line);
    EXPECT_EQ(L"C:\\Program Files\\Orvan\\", records[0].current_directory);
    EXPECT_EQ((DWORD)(CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS), records[0].creation_flags);
    EXPECT_EQ(info.dwProcessId, records[0].process_id);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    SetEvent(release);
    DWORD code = 0;
    ASSERT_TRUE(platform::process_start_wait(info.dwProcessId, 10000, &code));
    EXPECT_EQ(3u, code);
    EXPECT_FALSE(platform::process_start_wait(info.dwProcessId + 1000, 0, &code));
    CloseHandle(release);
    CloseHandle(started);
}

TEST_F(PathTests, CreateProcessAWithoutCommandOrStartupInfoFails)
{
    PROCESS_INFORMATION info = {};
    STARTUPINFOA startup = {};
    SetLastError(0);
    EXPECT_FALSE(CreateProcessA(nullptr, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    char line[] = "x.exe";
    EXPECT_FALSE(CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &info));
    EXPECT_TRUE(platform::process_start_records().empty());
}

} // namespace
