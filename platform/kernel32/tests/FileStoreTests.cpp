// CreateFileW, ReadFile and WriteFile on files of the machine's file store: the creation
// dispositions with their last errors, missing folders, sharing, access, the file pointer and
// an overlapped handle's offsets.
#include "Kernel32Test.h"
#include <platform/device_install.h>
#include <string>

namespace {

class FileStoreTests : public Kernel32Test {
protected:
    static HANDLE open(LPCWSTR path, DWORD access, DWORD share, DWORD disposition, DWORD flags = 0)
    {
        return CreateFileW(path, access, share, nullptr, disposition, flags, nullptr);
    }
    static std::string contents(LPCWSTR path)
    {
        std::string bytes;
        return platform::file_store_contents(path, &bytes) ? bytes : "<missing>";
    }
    static void write(HANDLE file, const std::string &text)
    {
        DWORD written = 0xFFFF;
        ASSERT_TRUE(WriteFile(file, text.data(), (DWORD)text.size(), &written, nullptr));
        EXPECT_EQ(text.size(), written);
    }
};

TEST_F(FileStoreTests, DispositionsCreateOpenAndTruncateWithWindowsLastErrors)
{
    platform::file_store_add(L"C:\\_LOG", FILE_ATTRIBUTE_DIRECTORY);
    const WCHAR *path = L"C:\\_LOG\\perform.log";
    const struct {
        DWORD disposition;
        bool exists_before;
        bool opens;
        DWORD error;
        const char *after; // contents afterwards, the file holding "old" when it existed
    } rows[] = {
        {CREATE_NEW, false, true, ERROR_SUCCESS, ""},
        {CREATE_NEW, true, false, ERROR_FILE_EXISTS, "old"},
        {CREATE_ALWAYS, false, true, ERROR_SUCCESS, ""},
        {CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, ""},
        {OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, "<missing>"},
        {OPEN_EXISTING, true, true, ERROR_SUCCESS, "old"},
        {OPEN_ALWAYS, false, true, ERROR_SUCCESS, ""},
        {OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, "old"},
        {TRUNCATE_EXISTING, false, false, ERROR_FILE_NOT_FOUND, "<missing>"},
        {TRUNCATE_EXISTING, true, true, ERROR_SUCCESS, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << "disposition " << row.disposition << ", exists " << row.exists_before);
        platform::file_store_remove(path);
        if (row.exists_before) {
            const HANDLE seed = open(path, GENERIC_WRITE, 0, CREATE_NEW);
            ASSERT_NE(INVALID_HANDLE_VALUE, seed);
            write(seed, "old");
            CloseHandle(seed);
        }
        SetLastError(0xDEAD);
        const HANDLE file = open(path, GENERIC_READ | GENERIC_WRITE, 0, row.disposition, FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ(row.opens, file != INVALID_HANDLE_VALUE);
        EXPECT_EQ(row.error, GetLastError());
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
        EXPECT_EQ(row.after, contents(path));
    }
    EXPECT_EQ((DWORD)FILE_ATTRIBUTE_ARCHIVE, GetFileAttributesW(path));
    EXPECT_EQ(INVALID_HANDLE_VALUE, open(path, GENERIC_READ, 0, TRUNCATE_EXISTING));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
}

TEST_F(FileStoreTests, MissingFoldersFoldersAndReadOnlyFilesRefuse)
{
    EXPECT_EQ(INVALID_HANDLE_VALUE, open(L"C:\\_LOG\\perform.log", GENERIC_WRITE, 0, CREATE_ALWAYS));
    EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());
    EXPECT_EQ("<missing>", contents(L"C:\\_LOG\\perform.log"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"C:\\_LOG"));

    platform::file_store_add(L"C:\\Data\\notes.txt", FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(INVALID_HANDLE_VALUE, open(L"C:\\Data", GENERIC_READ, 0, OPEN_EXISTING));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, open(L"C:\\Data\\notes.txt\\inner", GENERIC_WRITE, 0, CREATE_ALWAYS));
    EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, open(L"C:\\Data\\notes.txt", GENERIC_WRITE, 0, OPEN_EXISTING));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    const HANDLE reader = open(L"c:\\data\\NOTES.TXT", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    char byte = 0;
    DWORD count = 7;
    EXPECT_FALSE(WriteFile(reader, "x", 1, &count, nullptr));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_EQ(0u, count);
    EXPECT_TRUE(ReadFile(reader, &byte, 1, &count, nullptr)) << "end of file is no error";
    EXPECT_EQ(0u, count);
    EXPECT_FALSE(DeviceIoControl(reader, 0x222000, nullptr, 0, nullptr, 0, &count, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_FUNCTION, GetLastError());
    CloseHandle(reader);
}

TEST_F(FileStoreTests, OpensShareOnlyWhatEachOtherAllows)
{
    const WCHAR *path = L"C:\\shared.bin";
    const HANDLE first = open(path, GENERIC_READ, FILE_SHARE_READ, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, first);
    const struct {
        DWORD access;
        DWORD share;
        bool opens;
    } rows[] = {
        {GENERIC_READ, FILE_SHARE_READ, true},
        {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, true},
        {GENERIC_READ, 0, false},              // the first open reads
        {GENERIC_WRITE, FILE_SHARE_READ, false}, // the first open shares no writing
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << row.access << " " << row.share);
        const HANDLE second = open(path, row.access, row.share, OPEN_EXISTING);
        EXPECT_EQ(row.opens, second != INVALID_HANDLE_VALUE);
        if (second != INVALID_HANDLE_VALUE) {
            CloseHandle(second);
        } else {
            EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
        }
    }
    CloseHandle(first);
    const HANDLE writer = open(path, GENERIC_WRITE, 0, OPEN_EXISTING);
    EXPECT_NE(INVALID_HANDLE_VALUE, writer) << "a closed handle shares nothing any more";
    CloseHandle(writer);
}

TEST_F(FileStoreTests, WritesAndReadsFollowTheFilePointerOrTheOverlappedOffset)
{
    const WCHAR *path = L"C:\\Temp\\..\\log.txt";
    platform::file_store_add(L"C:\\Temp", FILE_ATTRIBUTE_DIRECTORY);
    const HANDLE file = open(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    write(file, "-- log --\n");
    write(file, "1\t2\t3\n");
    CloseHandle(file);
    EXPECT_EQ("-- log --\n1\t2\t3\n", contents(L"C:\\LOG.TXT"));

    const HANDLE reader = open(L"C:\\log.txt", GENERIC_READ, 0, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    char buffer[32] = {};
    DWORD count = 0;
    ASSERT_TRUE(ReadFile(reader, buffer, 4, &count, nullptr));
    EXPECT_EQ(4u, count);
    ASSERT_TRUE(ReadFile(reader, buffer + 4, sizeof(buffer) - 4, &count, nullptr));
    EXPECT_EQ(12u, count);
    EXPECT_STREQ("-- log --\n1\t2\t3\n", buffer);
    CloseHandle(reader);

    const HANDLE overlapped =
        open(L"C:\\log.txt", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(INVALID_HANDLE_VALUE, overlapped);
    EXPECT_FALSE(WriteFile(overlapped, "x", 1, &count, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    OVERLAPPED ov = {};
    ov.Offset = 3;
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_TRUE(WriteFile(overlapped, "LOG", 3, nullptr, &ov));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ov.hEvent, 0));
    EXPECT_TRUE(GetOverlappedResult(overlapped, &ov, &count, FALSE));
    EXPECT_EQ(3u, count);
    EXPECT_FALSE(CancelIoEx(overlapped, nullptr));
    EXPECT_EQ((DWORD)ERROR_NOT_FOUND, GetLastError());
    CloseHandle(ov.hEvent);
    CloseHandle(overlapped);
    EXPECT_EQ("-- LOG --\n1\t2\t3\n", contents(L"C:\\log.txt"));
}

} // namespace
