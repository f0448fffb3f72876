// Modal dialogs driven by the simulated user from another thread: creation from a registered
// template, data exchange, message-map dispatch of control notifications, WM_HSCROLL, WM_APP
// and WM_DEVICECHANGE, owner drawing, message boxes, and the ways a modal loop ends.
#include "dialog_fixture.h"
#include <dbt.h>

using namespace mfc_test;
namespace ui = platform::ui;

namespace {

TEST_F(DialogTest, DoModalBuildsTheTemplateRunsInitDialogAndBindsControls)
{
    std::unique_ptr<ui_thread> runner;
    HWND dlg = start_dialog(&runner);
    ASSERT_NE(dlg, nullptr) << "the title set in OnInitDialog finds the dialog";
    ASSERT_TRUE(log.wait_for(WM_INITDIALOG, 1));

    EXPECT_EQ(log.of(WM_INITDIALOG)[0].thread_id, runner->thread_id()) << "the dialog runs on the thread of DoModal";
    EXPECT_TRUE(IsWindowVisible(dlg));
    EXPECT_EQ(GetForegroundWindow(), dlg);
    EXPECT_EQ(GetWindowLongPtrW(dlg, GWL_EXSTYLE) & WS_EX_APPWINDOW, (LONG_PTR)WS_EX_APPWINDOW);

    const ui::control_state list = ui::read_control(dlg, IDC_LIST);
    ASSERT_TRUE(list.exists);
    EXPECT_EQ(list.class_name, WC_LISTBOXW);
    EXPECT_TRUE(list.visible && list.enabled);
    EXPECT_EQ(ui::list_items(dlg, IDC_LIST), (std::vector<std::wstring>{L"Alpha", L"B&&eta", L"Gamma"}));
    EXPECT_EQ(ui::current_selection(dlg, IDC_LIST), 1);
    EXPECT_EQ(GetWindowLongPtrW(GetDlgItem(dlg, IDC_LIST), GWLP_WNDPROC), (LONG_PTR)AfxWndProc)
        << "DDX_Control subclassed the list";

    const ui::slider_state slider = ui::read_slider(dlg, IDC_SLIDER);
    EXPECT_TRUE(slider.exists);
    EXPECT_EQ(slider.range_min, 0);
    EXPECT_EQ(slider.range_max, 31);

    const ui::control_state combo = ui::read_control(dlg, IDC_COMBO);
    EXPECT_TRUE(combo.exists);
    EXPECT_FALSE(combo.enabled) << "WS_DISABLED of the template";
    EXPECT_EQ(combo.style & CBS_DROPDOWNLIST, (DWORD)CBS_DROPDOWNLIST);
    EXPECT_EQ(ui::read_control(dlg, IDC_GROUP).text, L"Setting");
    EXPECT_FALSE(ui::read_control(dlg, 4242).exists);

    RECT rc;
    ASSERT_TRUE(GetClientRect(dlg, &rc));
    EXPECT_EQ(rc.right, 334 * 6 / 4) << "dialog units of the 8-point font";
    EXPECT_EQ(rc.bottom, 143 * 13 / 8);

    EXPECT_TRUE(ui::click_button(dlg, IDOK));
    ASSERT_TRUE(runner->join());
    EXPECT_EQ(runner->result(), IDOK);
    EXPECT_FALSE(IsWindow(dlg));
    ASSERT_EQ(log.of(WM_DESTROY).size(), 1u);
    EXPECT_EQ(log.of(WM_DESTROY)[0].value, TRUE) << "WM_DESTROY comes while the controls still exist";
}

TEST_F(DialogTest, SelectingRowsChangesTheControlAndNotifiesTheParentOnItsThread)
{
    std::unique_ptr<ui_thread> runner;
    HWND dlg = start_dialog(&runner);
    ASSERT_NE(dlg, nullptr);

    EXPECT_TRUE(ui::select_item(dlg, IDC_LIST, 2));
    auto changes = log.of(LBN_SELCHANGE + 0x10000);
    ASSERT_EQ(changes.size(), 1u) << "the action returns after the handler ran";
    EXPECT_EQ(changes[0].value, 2) << "the control changed before the parent heard of it";
    EXPECT_EQ(changes[0].thread_id, runner->thread_id());
    EXPECT_EQ(ui::read_control(dlg, IDC_GROUP).text, L"Gamma");

    EXPECT_FALSE(ui::select_item(dlg, IDC_LIST, 3)) << "no such row";
    EXPECT_FALSE(ui::select_item(dlg, IDC_LIST, -1));
    EXPECT_FALSE(ui::select_item(dlg, IDC_COMBO, 0)) << "a disabled control takes no clicks";
    EXPECT_FALSE(ui::select_item(dlg, IDC_GROUP, 0)) << "a group box has no rows";
    EXPECT_EQ(ui::current_selection(dlg, IDC_LIST), 2);
    EXPECT_EQ(log.of(LBN_SELCHANGE + 0x10000).size(), 1u);

    EXPECT_EQ(SendMessageW(dlg, WM_APP, 1, 0), 101) << "ON_MESSAGE returns the handler's result";
    EXPECT_TRUE(ui::read_control(dlg, IDC_COMBO).enabled);
    EXPECT_TRUE(ui::read_control(dlg, IDC_LABEL).enabled);
    EXPECT_EQ(ui::list_items(dlg, IDC_COMBO), (std::vector<std::wstring>{L"44100 Hz", L"48000 Hz", L"88200 Hz", L"Refuse"}));
    EXPECT_EQ(ui::read_control(dlg, IDC_COMBO).text, L"44100 Hz") << "a drop-down list shows its selected row";

    EXPECT_TRUE(ui::select_item(dlg, IDC_COMBO, 2));
    changes = log.of(CBN_SELCHANGE + 0x20000);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].value, 2);
    EXPECT_EQ(changes[0].extra, 88200) << "item data travels with the row";
    EXPECT_EQ(ui::read_control(dlg, IDC_COMBO).text, L"88200 Hz");

    EXPECT_TRUE(ui::close_window(dlg));
    ASSERT_TRUE(runner->join());
    EXPECT_EQ(runner->result(), IDCANCEL) << "the close box cancels";
    EXPECT_EQ(log.of(WM_SYSCOMMAND).size(), 1u) << "the program's OnSysCommand saw SC_CLOSE first";
}

TEST_F(DialogTest, SliderDragsAndKeysSendHScrollWithTheTrackbarCodes)
{
    std::unique_ptr<ui_thread> runner;
    HWND dlg = start_dialog(&runner);
    ASSERT_NE(dlg, nullptr);

    EXPECT_TRUE(ui::move_slider(dlg, IDC_SLIDER, 40));
    auto scrolls = log.of(WM_HSCROLL);
    ASSERT_EQ(scrolls.size(), 3u);
    EXPECT_EQ(scrolls[0].code, (UINT)TB_THUMBTRACK);
    EXPECT_EQ(scrolls[0].value, 31) << "the position is clamped into the range";
    EXPECT_EQ(scrolls[1].code, (UINT)TB_THUMBPOSITION);
    EXPECT_EQ(scrolls[1].value, 31);
    EXPECT_EQ(scrolls[1].extra, 31) << "TBM_GETPOS agrees inside the handler";
    EXPECT_EQ(scrolls[2].code, (UINT)TB_ENDTRACK);
    EXPECT_EQ(ui::read_control(dlg, IDC_COUNT).text, L"992 Samples");

    EXPECT_TRUE(ui::press_slider_key(dlg, IDC_SLIDER, TB_PAGEUP));
    scrolls = log.of(WM_HSCROLL);
    ASSERT_EQ(scrolls.size(), 5u);
    EXPECT_EQ(scrolls[3].code, (UINT)TB_PAGEUP);
    EXPECT_EQ(scrolls[3].value, 0) << "only thumb codes carry a position";
    EXPECT_EQ(scrolls[3].extra, 27) << "a page is the page size";
    EXPECT_TRUE(ui::press_slider_key(dlg, IDC_SLIDER, TB_TOP));
    EXPECT_EQ(ui::read_slider(dlg, IDC_SLIDER).position, 0);
    EXPECT_TRUE(ui::press_slider_key(dlg, IDC_SLIDER, TB_LINEUP));
    EXPECT_EQ(ui::read_slider(dlg, IDC_SLIDER).position, 0) << "no step below the range";
    EXPECT_FALSE(ui::press_slider_key(dlg, IDC_SLIDER, TB_THUMBTRACK)) << "not a key";
    EXPECT_FALSE(ui::move_slider(dlg, IDC_LIST, 3)) << "not a slider";

    EnableWindow(GetDlgItem(dlg, IDC_SLIDER), FALSE);
    const size_t before = log.of(WM_HSCROLL).size();
    EXPECT_FALSE(ui::move_slider(dlg, IDC_SLIDER, 5));
    EXPECT_EQ(log.of(WM_HSCROLL).size(), before);
    EXPECT_EQ(ui::read_slider(dlg, IDC_SLIDER).position, 0);

    EXPECT_TRUE(ui::click_button(dlg, IDOK));
    ASSERT_TRUE(runner->join());
}

TEST_F(DialogTest, PostedAppMessagesReachTheHandlerAndCanEndTheDialogFromAnotherThread)
{
    std::unique_ptr<ui_thread> runner;
    HWND dlg = start_dialog(&runner);
    ASSERT_NE(dlg, nullptr);

    ASSERT_TRUE(PostMessageW(dlg, WM_APP, 0, 0));
    ASSERT_TRUE(PostMessageW(dlg, WM_APP, 0, 0));
    ASSERT_TRUE(log.wait_for(WM_APP, 2));
    for (const event &e : log.of(WM_APP)) {
        EXPECT_EQ(e.thread_id, runner->thread_id());
    }

    EXPECT_EQ(SendMessageW(dlg, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0x1234), TRUE);
    ASSERT_EQ(log.of(WM_DEVICECHANGE).size(), 1u);
    EXPECT_EQ(log.of(WM_DEVICECHANGE)[0].code, (UINT)DBT_DEVICEARRIVAL);
    EXPECT_EQ(log.of(WM_DEVICECHANGE)[0].value, 0x1234);

    ASSERT_TRUE(PostMessageW(dlg, WM_APP, 99, 42));
    ASSERT_TRUE(runner->join());
    EXPECT_EQ(runner->result(), 42) << "EndDialog's result from a posted message's handler";
    EXPECT_TRUE(ui::wait_window_gone(dlg, 1000));
}

TEST_F(DialogTest, EndDialogDuringInitDialogNeverShowsTheDialog)
{
    std::unique_ptr<ui_thread> runner = std::make_unique<ui_thread>([this] {
        INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_BAR_CLASSES};
        InitCommonControlsEx(&icc);
        CTestDialog dlg(log);
        dlg.m_end_in_init = true;
        return dlg.DoModal();
    });
    ASSERT_TRUE(runner->join());
    EXPECT_EQ(runner->result(), 5);
    EXPECT_EQ(log.of(WM_INITDIALOG).size(), 1u);
    EXPECT_EQ(log.of(WM_DESTROY).size(), 1u);
    EXPECT_EQ(ui::find_window_by_title(test_title, 0), nullptr);
}

TEST_F(DialogTest, DoModalFailsWithoutATemplateOrWithAControlClassTheProcessLacks)
{
    ui_thread missing([this] {
        CTestDialog dlg(log, IDD_MISSING);
        return dlg.DoModal();
    });
    ASSERT_TRUE(missing.join());
    EXPECT_EQ(missing.result(), -1);

    // A new process has not called InitCommonControlsEx: it has no trackbar class.
    platform::process *p = platform::process_create(L"fresh.exe", L"fresh.exe");
    {
        ui_thread fresh(
            [this] {
                CTestDialog dlg(log);
                return dlg.DoModal();
            },
            p);
        ASSERT_TRUE(fresh.join());
        EXPECT_EQ(fresh.result(), -1);
    }
    EXPECT_TRUE(log.of(WM_INITDIALOG).empty()) << "no handler ran for a dialog that was never built";
    platform::process_terminate(p, 0);
    platform::process_dereference(p);
}

TEST_F(DialogTest, OwnerDrawnListPaintsEveryRowThroughDrawItem)
{
    std::unique_ptr<ui_thread> runner;
    HWND dlg = start_dialog(&runner);
    ASSERT_NE(dlg, nullptr);

    const std::vector<ui::drawn_item> rows = ui::paint_list_box(dlg, IDC_LIST);
    ASSERT_EQ(rows.size(), 3u);
    for (const ui::drawn_item &row : rows) {
        SCOPED_TRACE(row.index);
        EXPECT_TRUE(row.dc_restored);
        ASSERT_EQ(row.drawings.size(), row.index == 1 ? 3u : 2u) << "a fill, the text, the focused row's focus rectangle";
        EXPECT_EQ(row.drawings[0].what, ui::drawing::kind::fill);
        EXPECT_EQ(row.drawings[1].what, ui::drawing::kind::text);
        EXPECT_EQ(row.drawings[1].format, (UINT)(DT_VCENTER | DT_SINGLELINE));
        EXPECT_EQ(row.drawings[1].rect.top, row.index * 16);
    }
    EXPECT_EQ(rows[0].drawings[1].text, L"Alpha");
    EXPECT_EQ(rows[1].drawings[1].text, L"B&&eta");
    EXPECT_EQ(rows[1].state, (UINT)(ODS_SELECTED | ODS_FOCUS)) << "the list has the focus: first tab stop";
    EXPECT_EQ(rows[1].drawings[2].what, ui::drawing::kind::focus_rect);
    EXPECT_EQ(rows[1].drawings[1].font_weight, FW_HEAVY);
    EXPECT_EQ(rows[1].drawings[1].text_color, GetSysColor(COLOR_HIGHLIGHTTEXT));
    EXPECT_EQ(rows[1].drawings[0].back_color, GetSysColor(COLOR_HIGHLIGHT));
    EXPECT_EQ(rows[0].state & ODS_SELECTED, 0u);
    EXPECT_EQ(rows[0].drawings[1].font_weight, FW_NORMAL);
    EXPECT_EQ(rows[0].drawings[1].text_color, GetSysColor(COLOR_WINDOWTEXT));
    EXPECT_EQ(rows[0].drawings[0].back_color, GetSysColor(COLOR_WINDOW));

    EXPECT_TRUE(ui::paint_list_box(dlg, IDC_COMBO).empty()) << "only list boxes paint rows";
    EXPECT_TRUE(ui::click_button(dlg, IDOK));
    ASSERT_TRUE(runner->join());
}

TEST_F(DialogTest, ADrawItemThatLeavesItsColoursSelectedIsSeen)
{
    std::unique_ptr<ui_thread> runner;
    HWND dlg = start_dialog(&runner, [](CTestDialog &dlg) { dlg.m_list.m_forget_restore = true; });
    ASSERT_NE(dlg, nullptr);
    const std::vector<ui::drawn_item> rows = ui::paint_list_box(dlg, IDC_LIST);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_FALSE(rows[1].dc_restored);
    EXPECT_TRUE(ui::click_button(dlg, IDOK));
    ASSERT_TRUE(runner->join());
}

TEST_F(DialogTest, MessageBoxesAreRecordedWithTheirTextAndAnswered)
{
    std::unique_ptr<ui_thread> runner;
    HWND dlg = start_dialog(&runner);
    ASSERT_NE(dlg, nullptr);
    ASSERT_EQ(SendMessageW(dlg, WM_APP, 1, 0), 101);
    ui::answer_message_boxes(IDNO);

    EXPECT_TRUE(ui::select_item(dlg, IDC_COMBO, 3));
    const auto boxes = ui::message_boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, busy_text) << "the string resource of the prompt";
    EXPECT_EQ(boxes[0].type, (UINT)MB_ICONEXCLAMATION);
    EXPECT_EQ(boxes[0].thread_id, runner->thread_id());
    ASSERT_EQ(log.of(WM_USER + 1).size(), 1u);
    EXPECT_EQ(log.of(WM_USER + 1)[0].value, IDNO);

    EXPECT_TRUE(ui::click_button(dlg, IDOK));
    ASSERT_TRUE(runner->join());
}

TEST_F(DialogTest, FindWindowByTitleWaitsForTheDialogAndMatchesTheWholeTitle)
{
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(release, nullptr);
    std::unique_ptr<ui_thread> runner = std::make_unique<ui_thread>([&] {
        WaitForSingleObject(release, INFINITE);
        INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_BAR_CLASSES};
        InitCommonControlsEx(&icc);
        CTestDialog dlg(log);
        return dlg.DoModal();
    });
    EXPECT_EQ(ui::find_window_by_title(test_title, 0), nullptr);
    SetEvent(release);
    HWND dlg = ui::find_window_by_title(test_title);
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(ui::find_window_by_title(L"Framework Test", 0), nullptr) << "a prefix is not the title";
    EXPECT_EQ(FindWindowW(nullptr, test_title), dlg);
    EXPECT_TRUE(ui::close_window(dlg));
    ASSERT_TRUE(runner->join());
    CloseHandle(release);
}

} // namespace
