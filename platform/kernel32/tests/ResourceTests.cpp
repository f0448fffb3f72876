// Module resources of a library built with a resource script: FindResourceW by number, name
// and "#number" and what it reports when something is missing, a file resource's data, the
// string table through LoadStringW and the icon group through LoadIconW and DrawIcon.
#include "Kernel32Test.h"
#include <platform/ui_automation.h>
#include <string>
#include "modules/ResourceLibraryIds.h"

namespace {

const std::string note = "A note kept as a resource.\n";

class ResourceTests : public Kernel32Test {
protected:
    void SetUp() override
    {
        Kernel32Test::SetUp();
        module = LoadLibraryW(L"k32testres.dll");
        ASSERT_NE(nullptr, module);
    }
    void TearDown() override
    {
        if (module != nullptr) {
            FreeLibrary(module);
        }
        Kernel32Test::TearDown();
    }

    HMODULE module = nullptr;
};

TEST_F(ResourceTests, FindResourceTakesNumbersNamesInAnyCaseAndHashNumbers)
{
    struct row {
        LPCWSTR name;
        LPCWSTR type;
    };
    const row rows[] = {{MAKEINTRESOURCEW(IDR_NOTE), L"TEXT"}, {L"#7", L"text"}, {L"Config", RT_RCDATA},
                        {L"CONFIG", L"#10"}};
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << "row " << (&r - rows));
        const HRSRC found = FindResourceW(module, r.name, r.type);
        ASSERT_NE(nullptr, found);
        EXPECT_EQ((DWORD)note.size(), SizeofResource(module, found));
        const auto *data = static_cast<const char *>(LockResource(LoadResource(module, found)));
        ASSERT_NE(nullptr, data);
        EXPECT_EQ(note, std::string(data, note.size()));
    }
    EXPECT_NE(nullptr, FindResourceExW(module, RT_GROUP_ICON, MAKEINTRESOURCEW(IDI_THREE_SIZES), 0x0409))
        << "every language finds a neutral resource";
}

TEST_F(ResourceTests, FindResourceReportsWhatIsMissing)
{
    const HMODULE plain = LoadLibraryW(L"k32testlib.dll");
    ASSERT_NE(nullptr, plain);
    struct row {
        HMODULE module;
        LPCWSTR name;
        LPCWSTR type;
        DWORD error;
    };
    const row rows[] = {
        {module, MAKEINTRESOURCEW(99), L"TEXT", ERROR_RESOURCE_NAME_NOT_FOUND},
        {module, MAKEINTRESOURCEW(IDR_NOTE), L"PICTURE", ERROR_RESOURCE_TYPE_NOT_FOUND},
        {module, L"#7x", L"TEXT", ERROR_RESOURCE_NAME_NOT_FOUND},
        {plain, MAKEINTRESOURCEW(IDR_NOTE), L"TEXT", ERROR_RESOURCE_DATA_NOT_FOUND},
        {nullptr, MAKEINTRESOURCEW(IDR_NOTE), L"TEXT", ERROR_RESOURCE_DATA_NOT_FOUND}, // the test program
        {(HMODULE)(ULONG_PTR)0x1230, MAKEINTRESOURCEW(IDR_NOTE), L"TEXT", ERROR_INVALID_HANDLE},
        {module, nullptr, L"TEXT", ERROR_INVALID_PARAMETER},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << "row " << (&r - rows));
        SetLastError(0);
        EXPECT_EQ(nullptr, FindResourceW(r.module, r.name, r.type));
        EXPECT_EQ(r.error, GetLastError());
    }
    // A resource handle belongs to its module.
    const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(IDR_NOTE), L"TEXT");
    ASSERT_NE(nullptr, found);
    EXPECT_EQ(nullptr, LoadResource(plain, found));
    EXPECT_EQ(0u, SizeofResource(plain, found));
    FreeLibrary(plain);
}

TEST_F(ResourceTests, LoadStringReadsTheModulesTable)
{
    struct row {
        UINT id;
        const WCHAR *text;
    };
    const row rows[] = {{IDS_FIRST, L"First"},
                        {IDS_QUOTED, L"Say \"hi\"\tnow"},
                        {IDS_SEVENTEEN, L"Seventeen"},
                        {IDS_LAST_OF_BLOCK, L"Last of its block"}};
    for (const row &r : rows) {
        SCOPED_TRACE(r.id);
        WCHAR buffer[64];
        EXPECT_EQ((int)std::wcslen(r.text), LoadStringW(module, r.id, buffer, 64));
        EXPECT_STREQ(r.text, buffer);
    }
    WCHAR small[4] = {L'x', L'x', L'x', L'x'};
    EXPECT_EQ(3, LoadStringW(module, IDS_SEVENTEEN, small, 4));
    EXPECT_STREQ(L"Sev", small);
    const WCHAR *lent = nullptr;
    ASSERT_EQ(9, LoadStringW(module, IDS_SEVENTEEN, reinterpret_cast<LPWSTR>(&lent), 0));
    EXPECT_EQ(L"Seventeen", std::wstring(lent, 9));

    // An empty slot of a block, and a block the module lacks.
    for (UINT missing : {3u, 16u, 100u}) {
        SCOPED_TRACE(missing);
        WCHAR buffer[8] = {L'x'};
        SetLastError(0);
        EXPECT_EQ(0, LoadStringW(module, missing, buffer, 8));
        EXPECT_EQ(L'\0', buffer[0]);
        EXPECT_EQ((DWORD)ERROR_RESOURCE_NAME_NOT_FOUND, GetLastError());
    }
}

const WCHAR IconWindowClass[] = L"ResourceTestsIcon";
HICON g_drawn_icon = nullptr;

LRESULT CALLBACK draw_icon_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        const HDC dc = BeginPaint(hwnd, &paint);
        DrawIcon(dc, 3, 4, g_drawn_icon);
        EndPaint(hwnd, &paint);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

TEST_F(ResourceTests, LoadIconTakesTheGroupsImageOfTheSystemIconSizeOnce)
{
    const HICON icon = LoadIconW(module, MAKEINTRESOURCEW(IDI_THREE_SIZES));
    ASSERT_NE(nullptr, icon);
    EXPECT_EQ(icon, LoadIconW(module, MAKEINTRESOURCEW(IDI_THREE_SIZES))) << "an icon is loaded once and shared";
    const HICON stock = LoadIconW(nullptr, IDI_APPLICATION);
    EXPECT_NE(nullptr, stock);
    EXPECT_NE(icon, stock);

    const HMODULE plain = LoadLibraryW(L"k32testlib.dll");
    struct row {
        HMODULE module;
        LPCWSTR name;
        DWORD error;
    };
    const row rows[] = {{module, MAKEINTRESOURCEW(99), ERROR_RESOURCE_NAME_NOT_FOUND},
                        {module, MAKEINTRESOURCEW(IDR_NOTE), ERROR_RESOURCE_NAME_NOT_FOUND},
                        {plain, MAKEINTRESOURCEW(IDI_THREE_SIZES), ERROR_RESOURCE_DATA_NOT_FOUND},
                        {nullptr, MAKEINTRESOURCEW(IDI_THREE_SIZES), ERROR_RESOURCE_NAME_NOT_FOUND}};
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << "row " << (&r - rows));
        SetLastError(0);
        EXPECT_EQ(nullptr, LoadIconW(r.module, r.name));
        EXPECT_EQ(r.error, GetLastError());
    }
    FreeLibrary(plain);

    // Of the 16, 48 and 32 pixel images the 32 pixel one is drawn, at its own size.
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = draw_icon_proc;
    windowClass.lpszClassName = IconWindowClass;
    ASSERT_NE(0, RegisterClassExW(&windowClass));
    const HWND window = CreateWindowExW(0, IconWindowClass, L"", 0, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, window);
    g_drawn_icon = icon;
    const auto drawn = platform::ui::paint_window(window);
    ASSERT_EQ(1u, drawn.size());
    EXPECT_EQ(platform::ui::drawing::kind::icon, drawn[0].what);
    EXPECT_EQ(icon, drawn[0].icon);
    EXPECT_EQ(3, drawn[0].rect.left);
    EXPECT_EQ(4, drawn[0].rect.top);
    EXPECT_EQ(35, drawn[0].rect.right);
    EXPECT_EQ(36, drawn[0].rect.bottom);
    DestroyWindow(window);
}

} // namespace
