// The application entry, message-map lookup through base classes and subclassed windows, and
// CString formatting with Windows printf conventions.
#include "dialog_fixture.h"

using namespace mfc_test;
namespace ui = platform::ui;

namespace {

class CBaseTarget : public CWnd {
public:
    std::vector<UINT> seen;

protected:
    afx_msg LRESULT OnFirst(WPARAM wParam, LPARAM lParam)
    {
        seen.push_back(1);
        return 10;
    }
    afx_msg LRESULT OnSecond(WPARAM wParam, LPARAM lParam)
    {
        seen.push_back(2);
        return 20;
    }
    afx_msg void OnRange() { seen.push_back(3); }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CBaseTarget, CWnd)
    ON_MESSAGE(WM_APP + 1, &CBaseTarget::OnFirst)
    ON_MESSAGE(WM_APP + 2, &CBaseTarget::OnSecond)
    ON_CONTROL(BN_CLICKED, 300, &CBaseTarget::OnRange)
END_MESSAGE_MAP()

class CDerivedTarget : public CBaseTarget {
protected:
    afx_msg LRESULT OnFirstAgain(WPARAM wParam, LPARAM lParam)
    {
        seen.push_back(11);
        return Default() + 1; // what the window's own procedure says, plus one
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CDerivedTarget, CBaseTarget)
    ON_MESSAGE(WM_APP + 1, &CDerivedTarget::OnFirstAgain)
END_MESSAGE_MAP()

std::vector<UINT> g_original_seen;

LRESULT CALLBACK original_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam)
{
    if (msg >= WM_APP) {
        g_original_seen.push_back(msg);
        return 500;
    }
    return DefWindowProcW(hwnd, msg, wparam, lparam);
}

class AppTest : public DialogTest {};

TEST_F(AppTest, MessageMapsOfDerivedClassesComeFirstAndUnmappedMessagesReachTheOldProcedure)
{
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = original_proc;
    wc.lpszClassName = L"MapTarget";
    ASSERT_NE(RegisterClassExW(&wc), 0);
    HWND hwnd = CreateWindowExW(0, L"MapTarget", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(hwnd, nullptr);
    g_original_seen.clear();
    {
        CDerivedTarget target;
        ASSERT_TRUE(target.SubclassWindow(hwnd));
        EXPECT_FALSE(target.SubclassWindow(hwnd)) << "one object per window";
        EXPECT_EQ(CWnd::FromHandlePermanent(hwnd), &target);

        EXPECT_EQ(SendMessageW(hwnd, WM_APP + 1, 0, 0), 501);
        EXPECT_EQ(SendMessageW(hwnd, WM_APP + 2, 0, 0), 20) << "the base class's entry";
        EXPECT_EQ(SendMessageW(hwnd, WM_APP + 3, 0, 0), 500) << "unmapped: the window's own procedure";
        SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(300, BN_CLICKED), 0);
        SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(301, BN_CLICKED), 0);
        SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(300, 5), 0);
        EXPECT_EQ(target.seen, (std::vector<UINT>{11, 2, 3})) << "a command matches its ID and code only";
        EXPECT_EQ(g_original_seen, (std::vector<UINT>{WM_APP + 1, WM_APP + 3}));

        EXPECT_EQ(target.UnsubclassWindow(), hwnd);
        EXPECT_EQ(CWnd::FromHandlePermanent(hwnd), nullptr);
        EXPECT_EQ(SendMessageW(hwnd, WM_APP + 2, 0, 0), 500) << "the old procedure is back";
        ASSERT_TRUE(target.SubclassWindow(hwnd));
    }
    EXPECT_EQ(GetWindowLongPtrW(hwnd, GWLP_WNDPROC), (LONG_PTR)original_proc) << "a dying object lets the window go";
    EXPECT_TRUE(DestroyWindow(hwnd));
}

class CTestApp : public CWinApp {
public:
    explicit CTestApp(event_log &log) : m_log(log) {}
    BOOL InitInstance() override
    {
        CWinApp::InitInstance();
        m_log.add(WM_CREATE, 0, AfxGetApp() == this, AfxGetInstanceHandle() == m_hInstance);
        CDialog dlg(IDD_PLAIN);
        m_pMainWnd = &dlg;
        m_log.add(WM_USER, 0, dlg.DoModal());
        AfxMessageBox(L"finished", MB_OK | MB_ICONINFORMATION);
        return FALSE;
    }
    int ExitInstance() override { return 7; }

private:
    event_log &m_log;
};

TEST_F(AppTest, AfxWinMainRunsTheApplicationInItsProcessUnderItsImageName)
{
    CTestApp app(log);
    platform::process *p = platform::process_create(L"testpanel.exe", L"testpanel.exe");
    {
        ui_thread main(
            [p] {
                return (INT_PTR)AfxWinMain((HINSTANCE)p, nullptr, const_cast<LPWSTR>(L"-x"), SW_SHOWNORMAL);
            },
            p);
        HWND dlg = ui::find_window_by_title(L"Plain Dialog");
        ASSERT_NE(dlg, nullptr);
        EXPECT_TRUE(ui::click_button(dlg, IDOK));
        ASSERT_TRUE(main.join());
        EXPECT_EQ(main.result(), 7) << "InitInstance failed: ExitInstance's code";
    }
    ASSERT_EQ(log.of(WM_CREATE).size(), 1u);
    EXPECT_EQ(log.of(WM_CREATE)[0].value, TRUE) << "AfxGetApp is the running application";
    EXPECT_EQ(log.of(WM_CREATE)[0].extra, TRUE);
    ASSERT_EQ(log.of(WM_USER).size(), 1u);
    EXPECT_EQ(log.of(WM_USER)[0].value, IDOK);
    const auto boxes = ui::message_boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, L"testpanel") << "an unnamed application shows its image name";
    EXPECT_EQ(boxes[0].text, L"finished");
    EXPECT_EQ(app.m_hInstance, (HINSTANCE)p);
    EXPECT_EQ(std::wstring(app.m_lpCmdLine), L"-x");
    platform::process_terminate(p, 0);
    platform::process_dereference(p);
}

TEST(CStringTest, FormatFollowsWindowsConventions)
{
    CString s;
    s.Format(L"Version %s  built %02d/%02d/%04d", L"4.1.0.65", 5, 24, 2023);
    EXPECT_EQ(s, L"Version 4.1.0.65  built 05/24/2023");
    s.Format(L"%lu Samples", (DWORD)4294967295u);
    EXPECT_EQ(s, L"4294967295 Samples") << "l is 32-bit";
    s.Format(L"%hs|%c|%I64d|%x|%%|%5.1f|%-3d|", "narrow", L'W', (LONGLONG)-5000000000LL, 255u, 2.25, 7);
    EXPECT_EQ(s, L"narrow|W|-5000000000|ff|%|  2.2|7  |");
    s.Format(L"%n");
    EXPECT_TRUE(s.IsEmpty()) << "%n is refused";
    s.Format(L"%s", std::wstring(1000, L'x').c_str());
    EXPECT_EQ(s.GetLength(), 1000) << "longer than the first buffer";
    s.AppendFormat(L"%d", 12);
    EXPECT_EQ(s.Right(3), L"x12");
}

TEST(CStringTest, EditingSearchingAndBuffers)
{
    CString device = L"A&B & C";
    EXPECT_EQ(device.Replace(L"&", L"&&"), 2);
    EXPECT_EQ(device, L"A&&B && C") << "replacements are not rescanned";
    EXPECT_EQ(device.Replace(L"", L"x"), 0);
    EXPECT_EQ(CString(L"Hello").CompareNoCase(L"hELLO"), 0);
    EXPECT_LT(CString(L"abc").CompareNoCase(L"ABD"), 0);
    EXPECT_EQ(CString(L"abcdef").Mid(2, 3), L"cde");
    EXPECT_EQ(CString(L"abc").Mid(5), L"");
    EXPECT_EQ(CString(L"abc").Left(9), L"abc");
    EXPECT_EQ(CString(L"a\\b\\c.exe").ReverseFind(L'\\'), 3);
    CString padded = L"  x y \r\n";
    EXPECT_EQ(padded.Trim(), L"x y");

    CString buffer;
    LPWSTR raw = buffer.GetBuffer(10);
    wcscpy(raw, L"abc");
    buffer.ReleaseBuffer();
    EXPECT_EQ(buffer.GetLength(), 3) << "up to the terminator";
    raw = buffer.GetBufferSetLength(5);
    raw[3] = L'd';
    raw[4] = L'e';
    buffer.ReleaseBuffer(5);
    EXPECT_EQ(buffer, L"abcde");
}

} // namespace
