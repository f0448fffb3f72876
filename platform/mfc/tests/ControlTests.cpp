// The Win32 controls under the framework, message by message: list box and combo box rows,
// selection and item data, trackbar range and position, class registration, the recording
// device context, and string resources.
#include "dialog_fixture.h"

using namespace mfc_test;

namespace {

class ControlTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::machine_boot();
        INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_BAR_CLASSES};
        ASSERT_TRUE(InitCommonControlsEx(&icc));
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = DefWindowProcW;
        wc.lpszClassName = L"ControlTestParent";
        ASSERT_NE(RegisterClassExW(&wc), 0);
        parent = CreateWindowExW(0, L"ControlTestParent", L"parent", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300, nullptr,
                                 nullptr, nullptr, nullptr);
        ASSERT_NE(parent, nullptr);
    }
    void TearDown() override
    {
        DestroyWindow(parent);
        platform::machine_shutdown();
    }

    HWND make(LPCWSTR cls, DWORD style, int id = 100)
    {
        return CreateWindowExW(0, cls, L"", WS_CHILD | WS_VISIBLE | style, 10, 10, 120, 80, parent,
                               (HMENU)(UINT_PTR)id, nullptr, nullptr);
    }

    static std::wstring text_of(HWND h, UINT get, UINT len, int index)
    {
        const LRESULT n = SendMessageW(h, len, (WPARAM)index, 0);
        if (n < 0) {
            return L"<err>";
        }
        std::wstring text((size_t)n + 1, L'\x7777');
        const LRESULT copied = SendMessageW(h, get, (WPARAM)index, (LPARAM)text.data());
        EXPECT_EQ(copied, n);
        EXPECT_EQ(text[(size_t)n], L'\0') << "terminated";
        text.resize((size_t)n);
        return text;
    }

    HWND parent = nullptr;
};

TEST_F(ControlTest, ListBoxRowsInsertDeleteAndKeepTheSelectionOnItsRow)
{
    HWND list = make(WC_LISTBOXW, LBS_NOTIFY | LBS_HASSTRINGS);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(SendMessageW(list, LB_GETCURSEL, 0, 0), LB_ERR) << "no selection at first";
    EXPECT_EQ(SendMessageW(list, LB_ADDSTRING, 0, (LPARAM)L"one"), 0);
    EXPECT_EQ(SendMessageW(list, LB_ADDSTRING, 0, (LPARAM)L"three"), 1);
    EXPECT_EQ(SendMessageW(list, LB_INSERTSTRING, 1, (LPARAM)L"two"), 1);
    EXPECT_EQ(SendMessageW(list, LB_INSERTSTRING, 7, (LPARAM)L"far"), LB_ERR) << "past the end";
    EXPECT_EQ(SendMessageW(list, LB_INSERTSTRING, (WPARAM)-1, (LPARAM)L"four"), 3) << "-1 appends";
    EXPECT_EQ(SendMessageW(list, LB_GETCOUNT, 0, 0), 4);
    EXPECT_EQ(text_of(list, LB_GETTEXT, LB_GETTEXTLEN, 1), L"two");
    EXPECT_EQ(SendMessageW(list, LB_GETTEXTLEN, 4, 0), LB_ERR);

    EXPECT_EQ(SendMessageW(list, LB_SETCURSEL, 2, 0), 2);
    EXPECT_EQ(SendMessageW(list, LB_INSERTSTRING, 0, (LPARAM)L"zero"), 0);
    EXPECT_EQ(SendMessageW(list, LB_GETCURSEL, 0, 0), 3) << "the selection follows its row";
    EXPECT_EQ(SendMessageW(list, LB_DELETESTRING, 0, 0), 4);
    EXPECT_EQ(SendMessageW(list, LB_GETCURSEL, 0, 0), 2);
    EXPECT_EQ(SendMessageW(list, LB_DELETESTRING, 2, 0), 3);
    EXPECT_EQ(SendMessageW(list, LB_GETCURSEL, 0, 0), LB_ERR) << "deleting the selected row clears it";
    EXPECT_EQ(SendMessageW(list, LB_DELETESTRING, 3, 0), LB_ERR);

    EXPECT_EQ(SendMessageW(list, LB_SETCURSEL, 1, 0), 1);
    EXPECT_EQ(SendMessageW(list, LB_SETCURSEL, 9, 0), LB_ERR);
    EXPECT_EQ(SendMessageW(list, LB_GETCURSEL, 0, 0), LB_ERR) << "an index out of range clears the selection";

    EXPECT_EQ(SendMessageW(list, LB_SETITEMDATA, 2, 0x5150), LB_OKAY);
    EXPECT_EQ(SendMessageW(list, LB_GETITEMDATA, 2, 0), 0x5150);
    EXPECT_EQ(SendMessageW(list, LB_SETITEMDATA, 3, 1), LB_ERR);
    EXPECT_EQ(SendMessageW(list, LB_FINDSTRINGEXACT, (WPARAM)-1, (LPARAM)L"TWO"), 1) << "without case";
    EXPECT_EQ(SendMessageW(list, LB_FINDSTRINGEXACT, 1, (LPARAM)L"two"), 1) << "the search wraps round";
    EXPECT_EQ(SendMessageW(list, LB_FINDSTRINGEXACT, (WPARAM)-1, (LPARAM)L"tw"), LB_ERR);
    EXPECT_EQ(SendMessageW(list, LB_FINDSTRING, (WPARAM)-1, (LPARAM)L"FO"), 2) << "a prefix";

    SendMessageW(list, LB_SETCURSEL, 1, 0);
    EXPECT_EQ(SendMessageW(list, LB_RESETCONTENT, 0, 0), 0);
    EXPECT_EQ(SendMessageW(list, LB_GETCOUNT, 0, 0), 0);
    EXPECT_EQ(SendMessageW(list, LB_GETCURSEL, 0, 0), LB_ERR);
}

TEST_F(ControlTest, SortedListsAndOwnerDrawnListsWithoutStrings)
{
    HWND sorted = make(WC_LISTBOXW, LBS_SORT, 101);
    SendMessageW(sorted, LB_ADDSTRING, 0, (LPARAM)L"beta");
    SendMessageW(sorted, LB_ADDSTRING, 0, (LPARAM)L"Alpha");
    EXPECT_EQ(SendMessageW(sorted, LB_ADDSTRING, 0, (LPARAM)L"gamma"), 2);
    EXPECT_EQ(text_of(sorted, LB_GETTEXT, LB_GETTEXTLEN, 0), L"Alpha");
    EXPECT_EQ(SendMessageW(sorted, LB_INSERTSTRING, 0, (LPARAM)L"zed"), 0) << "inserting ignores the order";

    HWND drawn = make(WC_LISTBOXW, LBS_OWNERDRAWFIXED, 102);
    EXPECT_EQ(SendMessageW(drawn, LB_ADDSTRING, 0, 0x1234), 0);
    EXPECT_EQ(SendMessageW(drawn, LB_GETITEMDATA, 0, 0), 0x1234) << "without LBS_HASSTRINGS the value is the data";
    ULONG_PTR value = 0;
    EXPECT_EQ(SendMessageW(drawn, LB_GETTEXT, 0, (LPARAM)&value), (LRESULT)sizeof(ULONG_PTR));
    EXPECT_EQ(value, 0x1234u);
}

TEST_F(ControlTest, ComboBoxSelectionIsItsWindowText)
{
    HWND combo = make(WC_COMBOBOXW, CBS_DROPDOWNLIST);
    ASSERT_NE(combo, nullptr);
    CComboBox box;
    ASSERT_TRUE(box.Attach(combo));
    EXPECT_EQ(box.AddString(L"44100 Hz"), 0);
    EXPECT_EQ(box.AddString(L"48000 Hz"), 1);
    EXPECT_EQ(box.SetItemData(1, 48000), CB_OKAY);
    EXPECT_EQ(box.GetCurSel(), CB_ERR);
    EXPECT_EQ(box.SetCurSel(1), 1);
    CString text;
    box.GetWindowText(text);
    EXPECT_EQ(text, L"48000 Hz");
    box.GetLBText(0, text);
    EXPECT_EQ(text, L"44100 Hz");
    box.GetLBText(5, text);
    EXPECT_TRUE(text.IsEmpty()) << "no such row";
    EXPECT_EQ(box.GetItemData(1), 48000u);
    EXPECT_EQ(box.GetItemData(2), (DWORD_PTR)CB_ERR);
    EXPECT_EQ(box.SelectString(-1, L"441"), 0);
    EXPECT_EQ(box.SetCurSel(2), CB_ERR);
    EXPECT_EQ(box.GetCurSel(), CB_ERR) << "out of range clears";
    box.GetWindowText(text);
    EXPECT_TRUE(text.IsEmpty());
    box.SetCurSel(0);
    box.ResetContent();
    EXPECT_EQ(box.GetCount(), 0);
    box.GetWindowText(text);
    EXPECT_TRUE(text.IsEmpty()) << "emptied with its rows";
    box.Detach();
}

TEST_F(ControlTest, TrackbarClampsItsPositionIntoTheRange)
{
    HWND bar = make(TRACKBAR_CLASSW, TBS_BOTH | TBS_NOTICKS);
    ASSERT_NE(bar, nullptr);
    CSliderCtrl slider;
    ASSERT_TRUE(slider.Attach(bar));
    EXPECT_EQ(slider.GetRangeMin(), 0);
    EXPECT_EQ(slider.GetRangeMax(), 100);
    slider.SetPos(70);
    slider.SetRange(0, 31, TRUE);
    EXPECT_EQ(slider.GetPos(), 31) << "a narrower range pulls the thumb in";
    slider.SetPos(-3);
    EXPECT_EQ(slider.GetPos(), 0);
    SendMessageW(bar, TBM_SETRANGE, TRUE, MAKELPARAM(5, 9));
    EXPECT_EQ(slider.GetRangeMin(), 5);
    EXPECT_EQ(slider.GetRangeMax(), 9);
    EXPECT_EQ(slider.GetPos(), 5);
    EXPECT_EQ(slider.SetPageSize(3), 20) << "returns the previous page size";
    EXPECT_EQ(slider.GetPageSize(), 3);
    slider.Detach();
}

TEST_F(ControlTest, ControlClassesBelongToTheProcessThatRegisteredThem)
{
    EXPECT_FALSE(InitCommonControlsEx(nullptr));
    INITCOMMONCONTROLSEX bad{sizeof(INITCOMMONCONTROLSEX) + 1, ICC_BAR_CLASSES};
    SetLastError(0);
    EXPECT_FALSE(InitCommonControlsEx(&bad));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    INITCOMMONCONTROLSEX again{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES};
    EXPECT_TRUE(InitCommonControlsEx(&again)) << "registering twice is harmless";

    platform::process *p = platform::process_create(L"other.exe", L"other.exe");
    std::atomic<bool> created{true};
    {
        ui_thread other(
            [&] {
                HWND w = CreateWindowExW(0, TRACKBAR_CLASSW, L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr,
                                         nullptr);
                created = w != nullptr;
                return (INT_PTR)0;
            },
            p);
        ASSERT_TRUE(other.join());
    }
    EXPECT_FALSE(created.load()) << "another process has no trackbar class of its own";
    platform::process_terminate(p, 0);
    platform::process_dereference(p);
}

TEST_F(ControlTest, DeviceContextsRecordDrawingAndRestoreSavedStates)
{
    HDC dc = GetDC(parent);
    ASSERT_NE(dc, nullptr);
    EXPECT_EQ(GetTextColor(dc), GetSysColor(COLOR_WINDOWTEXT));
    EXPECT_EQ(GetBkColor(dc), GetSysColor(COLOR_WINDOW));
    const int saved = SaveDC(dc);
    EXPECT_EQ(saved, 1);
    EXPECT_EQ(SetTextColor(dc, RGB(1, 2, 3)), GetSysColor(COLOR_WINDOWTEXT)) << "returns the previous colour";
    LOGFONTW lf{};
    lf.lfWeight = FW_HEAVY;
    HFONT heavy = CreateFontIndirectW(&lf);
    HGDIOBJ previous = SelectObject(dc, heavy);
    EXPECT_EQ(previous, GetStockObject(DEFAULT_GUI_FONT));
    EXPECT_FALSE(DeleteObject(heavy)) << "a selected font stays";
    RECT rc{0, 0, 50, 16};
    EXPECT_EQ(DrawTextW(dc, L"Device & more", -1, &rc, DT_SINGLELINE), 16);
    EXPECT_TRUE(RestoreDC(dc, -1));
    EXPECT_EQ(GetTextColor(dc), GetSysColor(COLOR_WINDOWTEXT));
    EXPECT_EQ(GetCurrentObject(dc, OBJ_FONT), GetStockObject(DEFAULT_GUI_FONT));
    EXPECT_FALSE(RestoreDC(dc, 1)) << "that state was taken back already";
    EXPECT_TRUE(DeleteObject(heavy));
    EXPECT_FALSE(DeleteObject(heavy)) << "deleted once";
    EXPECT_EQ(ReleaseDC(parent, dc), 1);
    EXPECT_EQ(SetTextColor(dc, 0), CLR_INVALID) << "a released context is gone";

    LOGFONTW out{};
    EXPECT_EQ(GetObjectW(GetStockObject(DEFAULT_GUI_FONT), (int)sizeof(out), &out), (int)sizeof(out));
    EXPECT_EQ(out.lfWeight, FW_NORMAL);
    EXPECT_EQ(GetObjectW(GetStockObject(DEFAULT_GUI_FONT), 0, nullptr), (int)sizeof(LOGFONTW));
}

TEST_F(ControlTest, LoadStringCopiesWithinTheBufferOrLendsTheResource)
{
    WCHAR buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    EXPECT_EQ(LoadStringW(nullptr, IDS_BUSY, buffer, 8), 7);
    EXPECT_EQ(std::wstring(buffer), L"Sound d") << "truncated and terminated";
    EXPECT_EQ(LoadStringW(nullptr, IDS_BUSY, buffer, 1), 0);
    EXPECT_EQ(buffer[0], L'\0');
    LPCWSTR lent = nullptr;
    EXPECT_EQ(LoadStringW(nullptr, IDS_BUSY, (LPWSTR)&lent, 0), (int)std::wstring(busy_text).size());
    EXPECT_EQ(std::wstring(lent), busy_text);
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    SetLastError(0);
    EXPECT_EQ(LoadStringW(nullptr, 9999, buffer, 8), 0);
    EXPECT_EQ(buffer[0], L'\0');
    EXPECT_NE(GetLastError(), 0u);

    CString text;
    EXPECT_TRUE(text.LoadString(IDS_BUSY));
    EXPECT_EQ(text, busy_text);
    EXPECT_FALSE(text.LoadString(9999));
    EXPECT_EQ(text, busy_text) << "unchanged when there is no such string";

    const AFX_STRING_RESOURCE newer[] = {{IDS_BUSY, L"Replaced"}};
    const AFX_RESOURCE_TABLE table = {nullptr, 0, newer, 1};
    {
        CAfxResourceRegistration registration(table);
        EXPECT_TRUE(text.LoadString(IDS_BUSY));
        EXPECT_EQ(text, L"Replaced") << "the later table wins";
    }
    EXPECT_TRUE(text.LoadString(IDS_BUSY));
    EXPECT_EQ(text, busy_text);
}

} // namespace
