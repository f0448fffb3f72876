// OpenProcess by ID and the image file name of a process.
#include "Kernel32Test.h"
#include <psapi.h>
#include <platform/process.h>
#include <string>

namespace {

using ProcessQueryTests = Kernel32Test;

TEST_F(ProcessQueryTests, OpenProcessFindsALivingProcessAndNamesItsImage)
{
    platform::process *p = platform::process_create(L"C:\\Program Files\\Orvan\\panel.exe", L"panel.exe");
    HANDLE handle = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, p->id);
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ(p->id, GetProcessId(handle));

    const std::wstring expected = L"\\Device\\HarddiskVolume1\\Program Files\\Orvan\\panel.exe";
    WCHAR name[261];
    std::fill(std::begin(name), std::end(name), L'#');
    EXPECT_EQ(expected.size(), GetProcessImageFileNameW(handle, name, 261));
    EXPECT_EQ(expected, name);

    // Exactly the length leaves no room for the terminator.
    SetLastError(0);
    EXPECT_EQ(0u, GetProcessImageFileNameW(handle, name, (DWORD)expected.size()));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(expected.size(), GetProcessImageFileNameW(handle, name, (DWORD)expected.size() + 1));
    CloseHandle(handle);

    platform::process_terminate(p, 0);
    platform::process_dereference(p);
}

TEST_F(ProcessQueryTests, AFileNameWithoutFolderSitsAtTheVolumeRoot)
{
    platform::process *p = platform::process_create(L"ovmlsaaudcp.exe", L"ovmlsaaudcp.exe");
    HANDLE handle = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, p->id);
    ASSERT_NE(nullptr, handle);
    WCHAR name[261] = {};
    EXPECT_NE(0u, GetProcessImageFileNameW(handle, name, 261));
    EXPECT_STREQ(L"\\Device\\HarddiskVolume1\\ovmlsaaudcp.exe", name);
    CloseHandle(handle);
    platform::process_terminate(p, 0);
    platform::process_dereference(p);
}

TEST_F(ProcessQueryTests, FailuresSetTheirErrors)
{
    SetLastError(0);
    EXPECT_EQ(nullptr, OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, 0x7FFFFFF0));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());

    WCHAR name[16] = {};
    SetLastError(0);
    EXPECT_EQ(0u, GetProcessImageFileNameW(GetCurrentProcess(), name, 16)) << "the default process has no image";
    EXPECT_EQ((DWORD)ERROR_GEN_FAILURE, GetLastError());

    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    SetLastError(0);
    EXPECT_EQ(0u, GetProcessImageFileNameW(event, name, 16));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    CloseHandle(event);
}

TEST_F(ProcessQueryTests, AHandleKeepsAnEndedProcessNamed)
{
    platform::process *p = platform::process_create(L"host.exe", L"host.exe");
    const ULONG id = p->id;
    HANDLE handle = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, id);
    ASSERT_NE(nullptr, handle);
    platform::process_terminate(p, 3);
    platform::process_dereference(p);
    WCHAR name[64] = {};
    EXPECT_NE(0u, GetProcessImageFileNameW(handle, name, 64));
    CloseHandle(handle);
    EXPECT_EQ(nullptr, OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, id)) << "gone with its last reference";
}

} // namespace
