// The simulated user reading a list box's or combo box's rows while the window's own thread
// keeps refilling them: every read shows one whole filling, never rows of two.
#include "window_thread.h"
#include <gtest/gtest.h>
#include <commctrl.h>
#include <platform/machine_state.h>
#include <platform/ui_automation.h>
#include <atomic>
#include <string>
#include <vector>

using namespace user32_test;

namespace {

constexpr int list_id = 100;
constexpr int combo_id = 101;
constexpr int owner_drawn_id = 102;
constexpr UINT refill_message = WM_APP + 1;

// Row texts of one filling: the generation in every row, a row count and lengths that change
// from one filling to the next.
std::vector<std::wstring> filling(unsigned generation)
{
    std::vector<std::wstring> rows;
    const unsigned count = 1 + generation % 5;
    for (unsigned i = 0; i < count; ++i) {
        rows.push_back(L"g" + std::to_wstring(generation) + L" r" + std::to_wstring(i) +
                       std::wstring(generation % 7, L'x'));
    }
    return rows;
}

class ListReadTest : public ::testing::Test {
protected:
    void SetUp() override { platform::machine_boot(); }
    void TearDown() override { platform::machine_shutdown(); }
};

// A window with a list box and a combo box that refills both in one go each time it handles
// refill_message, and posts the next refill to itself until stopped; beside them an
// owner-drawn list box that keeps item data instead of strings.
class refilling_window {
public:
    refilling_window()
        : m_window([this](UINT msg, WPARAM, LPARAM, LRESULT *result) { return handle(msg, result); })
    {
        PostMessageW(hwnd(), create_message, 0, 0);
        m_window.sync();
    }

    HWND hwnd() const { return m_window.hwnd(); }
    void start() { PostMessageW(hwnd(), refill_message, 0, 0); }
    void stop() { m_stopping = true; }
    unsigned generation() const { return m_generation; }
    bool wait_filled() { return m_window.wait_for_count(refill_message, 1); }

private:
    static constexpr UINT create_message = WM_APP + 2;

    void create_controls()
    {
        InitCommonControls();
        HWND self = hwnd();
        CreateWindowExW(0, WC_LISTBOXW, L"", WS_CHILD | WS_VISIBLE, 0, 0, 100, 100, self, (HMENU)(INT_PTR)list_id,
                        nullptr, nullptr);
        CreateWindowExW(0, WC_COMBOBOXW, L"", WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST, 0, 0, 100, 100, self,
                        (HMENU)(INT_PTR)combo_id, nullptr, nullptr);
        HWND owner_drawn = CreateWindowExW(0, WC_LISTBOXW, L"", WS_CHILD | WS_VISIBLE | LBS_OWNERDRAWFIXED, 0, 0, 100,
                                           100, self, (HMENU)(INT_PTR)owner_drawn_id, nullptr, nullptr);
        for (LPARAM data : {0x1111, 0x2222, 0x3333}) {
            SendMessageW(owner_drawn, LB_ADDSTRING, 0, data);
        }
    }

    void refill()
    {
        const unsigned next = m_generation + 1;
        HWND list = GetDlgItem(hwnd(), list_id);
        HWND combo = GetDlgItem(hwnd(), combo_id);
        SendMessageW(list, LB_RESETCONTENT, 0, 0);
        SendMessageW(combo, CB_RESETCONTENT, 0, 0);
        for (const std::wstring &row : filling(next)) {
            SendMessageW(list, LB_ADDSTRING, 0, (LPARAM)row.c_str());
            SendMessageW(combo, CB_ADDSTRING, 0, (LPARAM)row.c_str());
        }
        m_generation = next;
        if (!m_stopping) {
            PostMessageW(hwnd(), refill_message, 0, 0);
        }
    }

    bool handle(UINT msg, LRESULT *result)
    {
        if (msg == create_message) {
            create_controls();
        } else if (msg == refill_message) {
            refill();
        } else {
            return false;
        }
        *result = 0;
        return true;
    }

    std::atomic<bool> m_stopping{false};
    std::atomic<unsigned> m_generation{0};
    window_thread m_window;
};

// Which filling a read shows; 0 when the rows are not exactly one filling.
unsigned filling_of(const std::vector<std::wstring> &rows)
{
    if (rows.empty() || rows[0].size() < 2 || rows[0][0] != L'g') {
        return 0;
    }
    const unsigned generation = (unsigned)std::stoul(rows[0].substr(1));
    return rows == filling(generation) ? generation : 0;
}

TEST_F(ListReadTest, ReadsDuringRefillsAlwaysShowOneWholeFilling)
{
    refilling_window dialog;
    dialog.start();
    ASSERT_TRUE(dialog.wait_filled());

    unsigned first_seen = 0;
    unsigned last_seen = 0;
    for (int read = 0; read < 400; ++read) {
        SCOPED_TRACE(read);
        for (int id : {list_id, combo_id}) {
            const auto rows = platform::ui::list_items(dialog.hwnd(), id);
            const unsigned generation = filling_of(rows);
            ASSERT_NE(0u, generation) << "a torn read of control " << id << ": "
                                      << testing::PrintToString(rows);
            EXPECT_GE(generation, last_seen) << "fillings are seen in the order they were made";
            last_seen = generation;
            first_seen = first_seen == 0 ? generation : first_seen;
        }
    }
    dialog.stop();
    EXPECT_GT(last_seen, first_seen) << "the rows were refilled while they were read";
}

TEST_F(ListReadTest, RowsWithoutStringsReadEmptyAndOtherWindowsHaveNone)
{
    refilling_window dialog;
    EXPECT_EQ(std::vector<std::wstring>(3), platform::ui::list_items(dialog.hwnd(), owner_drawn_id))
        << "one empty text per row of item data";
    EXPECT_TRUE(platform::ui::list_items(dialog.hwnd(), list_id).empty()) << "not filled yet";
    EXPECT_TRUE(platform::ui::list_items(dialog.hwnd(), 0).empty()) << "the dialog itself is no list";
    EXPECT_TRUE(platform::ui::list_items(dialog.hwnd(), 999).empty()) << "no such control";
    EXPECT_TRUE(platform::ui::list_items(nullptr, list_id).empty());
}

} // namespace
