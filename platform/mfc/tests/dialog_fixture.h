// Test helpers for the dialog framework: a dialog template shaped like a settings panel (an
// owner-drawn list, a slider, a drop-down list, statics, a group box and an OK button), a
// dialog class that records every handler it runs, and a thread that runs a dialog modally.
#pragma once
#include <afxwin.h>
#include <afxcmn.h>
#include <gtest/gtest.h>
#include <platform/clock.h>
#include <platform/machine_state.h>
#include <platform/process.h>
#include <platform/thread.h>
#include <platform/ui_automation.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

namespace mfc_test {

enum : UINT {
    IDD_TEST = 7001,
    IDD_MISSING = 7002,
    IDD_PLAIN = 7003,
    IDC_LIST = 1000,
    IDC_SLIDER = 1001,
    IDC_GROUP = 1002,
    IDC_COUNT = 1005,
    IDC_COMBO = 1006,
    IDC_LABEL = 1010,
    IDS_BUSY = 134,
};

constexpr LPCWSTR test_title = L"Framework Test Dialog";
constexpr LPCWSTR busy_text = L"Sound device is in use.";

extern const AFX_RESOURCE_TABLE test_resources;

struct event {
    UINT message;
    UINT code;
    INT_PTR value;
    INT_PTR extra;
    DWORD thread_id;
};

class event_log {
public:
    void add(UINT message, UINT code = 0, INT_PTR value = 0, INT_PTR extra = 0)
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_events.push_back(event{message, code, value, extra, GetCurrentThreadId()});
        }
        m_changed.notify_all();
    }
    std::vector<event> of(UINT message)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        std::vector<event> result;
        for (const event &e : m_events) {
            if (e.message == message) {
                result.push_back(e);
            }
        }
        return result;
    }
    bool wait_for(UINT message, size_t count)
    {
        std::unique_lock<std::mutex> guard(m_lock);
        return m_changed.wait_for(guard, std::chrono::seconds(20), [&] {
            size_t n = 0;
            for (const event &e : m_events) {
                n += e.message == message ? 1 : 0;
            }
            return n >= count;
        });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<event> m_events;
};

// Draws its rows as a device list does: selected rows in the highlight colours, the row at
// *m_bold in a heavy font, a focus rectangle when focused, and the DC's state put back.
class CBoldList : public CListBox {
public:
    int m_bold = -1;
    bool m_forget_restore = false;
    void DrawItem(LPDRAWITEMSTRUCT lpDrawItemStruct) override;
};

class CTestDialog : public CDialog {
public:
    explicit CTestDialog(event_log &log, UINT id = IDD_TEST) : CDialog(id), m_log(log) {}

    bool m_end_in_init = false;
    CBoldList m_list;
    CSliderCtrl m_slider;
    CComboBox m_combo;

protected:
    void DoDataExchange(CDataExchange *pDX) override;
    BOOL OnInitDialog() override;
    afx_msg void OnSelchangeList();
    afx_msg void OnSelchangeCombo();
    afx_msg void OnHScroll(UINT nSBCode, UINT nPos, CScrollBar *pScrollBar);
    afx_msg LRESULT OnAppNotify(WPARAM wParam, LPARAM lParam);
    afx_msg BOOL OnDeviceChange(UINT nEventType, DWORD_PTR dwData);
    afx_msg void OnSysCommand(UINT nID, LPARAM lParam);
    afx_msg void OnDestroy();
    DECLARE_MESSAGE_MAP()

private:
    event_log &m_log;
};

// Runs body on a new platform thread, of owner when given (else of the default process).
class ui_thread {
public:
    explicit ui_thread(std::function<INT_PTR()> body, platform::process *owner = nullptr)
    {
        auto run = [this, body] {
            m_result = body();
            m_done = true;
        };
        m_thread = owner != nullptr ? platform::process_start_thread(owner, run) : platform::thread_start(run, nullptr, false);
    }
    ~ui_thread()
    {
        join();
        platform::thread_dereference(m_thread);
    }
    bool join()
    {
        DISPATCHER_HEADER *objects[1] = {&m_thread->header};
        const LONGLONG deadline = platform::clock_now() + 30 * platform::ticks_per_second;
        return platform::dispatcher_wait(1, objects, false, &deadline, false) == STATUS_WAIT_0;
    }
    bool done() const { return m_done; }
    INT_PTR result() const { return m_result; }
    DWORD thread_id() const { return m_thread->id; }

private:
    platform::thread *m_thread = nullptr;
    std::atomic<INT_PTR> m_result{-1000};
    std::atomic<bool> m_done{false};
};

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override { platform::machine_boot(); }
    void TearDown() override { platform::machine_shutdown(); }

    // Starts the test dialog on its own thread and waits until it is shown.
    HWND start_dialog(std::unique_ptr<ui_thread> *runner, std::function<void(CTestDialog &)> prepare = {})
    {
        *runner = std::make_unique<ui_thread>([this, prepare] {
            INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_WIN95_CLASSES};
            InitCommonControlsEx(&icc);
            CTestDialog dlg(log);
            if (prepare) {
                prepare(dlg);
            }
            return dlg.DoModal();
        });
        return platform::ui::find_window_by_title(test_title);
    }

    event_log log;
};

} // namespace mfc_test
