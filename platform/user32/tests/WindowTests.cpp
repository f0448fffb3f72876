// Window classes and windows: creation parameters, class registration rules, destruction,
// text, search by title, enumeration, and the machine-wide broadcasts and device notifications
// that reach windows of every simulated process on their own threads.
#include "window_thread.h"
#include <gtest/gtest.h>
#include <dbt.h>
#include <platform/machine_state.h>
#include <platform/window_station.h>
#include <atomic>

using namespace user32_test;

namespace {

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override { platform::machine_boot(); }
    void TearDown() override { platform::machine_shutdown(); }

    static LRESULT CALLBACK plain_proc(HWND h, UINT msg, WPARAM w, LPARAM l) { return DefWindowProcW(h, msg, w, l); }

    ATOM register_plain(LPCWSTR name, HINSTANCE instance = nullptr)
    {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof(wc);
        wc.style = CS_HREDRAW | CS_VREDRAW;
        wc.lpfnWndProc = plain_proc;
        wc.hInstance = instance;
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = (HBRUSH)(ULONG_PTR)(COLOR_WINDOW + 1);
        wc.lpszClassName = name;
        return RegisterClassExW(&wc);
    }

    HWND create_plain(LPCWSTR cls, LPCWSTR title, HWND parent = nullptr, DWORD style = WS_OVERLAPPEDWINDOW)
    {
        return CreateWindowExW(0, cls, title, style, CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, parent, nullptr, nullptr,
                               nullptr);
    }
};

constexpr GUID audio_interface_class = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID other_interface_class = {0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

TEST_F(WindowTest, ClassRegistrationRejectsDuplicatesBadSizesAndUnregistersOnlyWithoutWindows)
{
    ASSERT_NE(register_plain(L"Dup"), 0);
    SetLastError(0);
    EXPECT_EQ(register_plain(L"DUP"), 0) << "class names compare without case";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CLASS_ALREADY_EXISTS);

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc) - 1;
    wc.lpfnWndProc = plain_proc;
    wc.lpszClassName = L"BadSize";
    SetLastError(0);
    EXPECT_EQ(RegisterClassExW(&wc), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    HWND hwnd = create_plain(L"dup", L"w");
    ASSERT_NE(hwnd, nullptr);
    SetLastError(0);
    EXPECT_FALSE(UnregisterClassW(L"Dup", nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CLASS_HAS_WINDOWS);
    EXPECT_TRUE(DestroyWindow(hwnd));
    EXPECT_TRUE(UnregisterClassW(L"Dup", nullptr));
    SetLastError(0);
    EXPECT_FALSE(UnregisterClassW(L"Dup", nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CLASS_DOES_NOT_EXIST);
    SetLastError(0);
    EXPECT_EQ(create_plain(L"Dup", L"w"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CANNOT_FIND_WND_CLASS);
}

TEST_F(WindowTest, CreateDeliversTheCreationParameterAndAFailedCreateLeavesNoWindow)
{
    static std::vector<UINT> seen;
    static LPVOID param;
    static bool refuse;
    seen.clear();
    refuse = false;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpszClassName = L"Recorder";
    wc.lpfnWndProc = [](HWND h, UINT msg, WPARAM w, LPARAM l) -> LRESULT {
        seen.push_back(msg);
        if (msg == WM_CREATE) {
            param = reinterpret_cast<CREATESTRUCTW *>(l)->lpCreateParams;
            return refuse ? -1 : 0;
        }
        return DefWindowProcW(h, msg, w, l);
    };
    ASSERT_NE(RegisterClassExW(&wc), 0);
    int marker = 0;
    HWND hwnd = CreateWindowExW(0, L"Recorder", L"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, nullptr,
                                nullptr, nullptr, &marker);
    ASSERT_NE(hwnd, nullptr);
    EXPECT_EQ(param, &marker);
    EXPECT_EQ(seen, (std::vector<UINT>{WM_NCCREATE, WM_CREATE}));
    EXPECT_FALSE(IsWindowVisible(hwnd)) << "a window without WS_VISIBLE stays hidden";
    seen.clear();
    EXPECT_TRUE(DestroyWindow(hwnd));
    EXPECT_EQ(seen, (std::vector<UINT>{WM_DESTROY, WM_NCDESTROY}));
    EXPECT_FALSE(IsWindow(hwnd));

    refuse = true;
    seen.clear();
    EXPECT_EQ(CreateWindowExW(0, L"Recorder", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(seen, (std::vector<UINT>{WM_NCCREATE, WM_CREATE, WM_DESTROY, WM_NCDESTROY}));
    EXPECT_TRUE(UnregisterClassW(L"Recorder", nullptr)) << "the refused window must not keep the class busy";
}

TEST_F(WindowTest, OnlyTheOwningThreadDestroysAWindowAndItsPostedMessagesAndTimersGoWithIt)
{
    window_thread other;
    SetLastError(0);
    EXPECT_FALSE(DestroyWindow(other.hwnd()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(IsWindow(other.hwnd()));

    ASSERT_NE(register_plain(L"Own"), 0);
    HWND own = create_plain(L"Own", L"");
    ASSERT_NE(own, nullptr);
    ASSERT_TRUE(PostMessageW(own, WM_APP, 0, 0));
    ASSERT_NE(SetTimer(own, 1, 10, nullptr), 0u);
    EXPECT_TRUE(DestroyWindow(own));
    MSG msg{};
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_FALSE(KillTimer(own, 1));
}

TEST_F(WindowTest, WindowsOfAnEndedThreadAreGone)
{
    HWND hwnd;
    {
        window_thread other;
        hwnd = other.hwnd();
        EXPECT_TRUE(IsWindow(hwnd));
    }
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(FindWindowW(nullptr, L""), nullptr);
}

TEST_F(WindowTest, EndingAProcessEndsItsMessageLoopsAndTakesItsWindows)
{
    platform::process *panel_process = platform::process_create(L"panel.exe", L"");
    auto panel = std::make_unique<window_thread>(window_thread::handler{}, panel_process, L"Panel");
    HWND hwnd = panel->hwnd();
    platform::process_terminate(panel_process, 1);
    EXPECT_TRUE(platform::process_wait_threads(panel_process, 20000)) << "the thread in GetMessageW must unwind";
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(FindWindowW(nullptr, L"Panel"), nullptr);
    panel.reset();
    platform::process_dereference(panel_process);
}

TEST_F(WindowTest, GetWindowTextTruncatesToTheBufferAndTerminatesIt)
{
    ASSERT_NE(register_plain(L"Text"), 0);
    const std::wstring title = L"Orvan Marla Series Async Audio plus a long tail";
    HWND hwnd = create_plain(L"Text", title.c_str());
    ASSERT_NE(hwnd, nullptr);

    WCHAR buffer[40];
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    EXPECT_EQ(GetWindowTextW(hwnd, buffer, 33), 32);
    EXPECT_EQ(std::wstring(buffer), title.substr(0, 32));
    EXPECT_EQ(buffer[34], L'#');
    EXPECT_EQ(GetWindowTextW(hwnd, buffer, 0), 0);
    EXPECT_EQ(buffer[0], title[0]) << "a zero-sized buffer is not written";
    EXPECT_EQ(GetWindowTextLengthW(hwnd), (int)title.size());

    // Read from another process's thread the stored title is returned directly.
    window_thread other({}, platform::process_create(L"other.exe", L""), L"Another Title");
    EXPECT_EQ(GetWindowTextW(other.hwnd(), buffer, 40), 13);
    EXPECT_EQ(std::wstring(buffer), L"Another Title");
    EXPECT_TRUE(DestroyWindow(hwnd));
}

TEST_F(WindowTest, FindAndEnumerateSeeTopLevelWindowsOfEveryProcessButNotMessageOnlyOnes)
{
    platform::process *host = platform::process_create(L"host.exe", L"");
    window_thread visible_elsewhere({}, host, L"Orvan Marla Series Async Audio");
    window_thread message_only({}, nullptr, L"Message Only", HWND_MESSAGE);

    EXPECT_EQ(FindWindowW(nullptr, L"orvan marla series async audio"), visible_elsewhere.hwnd());
    EXPECT_EQ(FindWindowW(window_thread::class_name, L"Orvan Marla Series Async Audio"), visible_elsewhere.hwnd());
    EXPECT_EQ(FindWindowW(L"NoSuchClass", L"Orvan Marla Series Async Audio"), nullptr);
    EXPECT_EQ(FindWindowW(nullptr, L"Message Only"), nullptr);

    DWORD pid = 0;
    EXPECT_EQ(GetWindowThreadProcessId(visible_elsewhere.hwnd(), &pid), visible_elsewhere.thread_id());
    EXPECT_EQ(pid, host->id);
    EXPECT_NE(pid, GetCurrentProcessId());

    struct walk {
        std::vector<HWND> seen;
        size_t stop_after = 100;
    } w;
    auto callback = [](HWND hwnd, LPARAM l) -> BOOL {
        auto *state = reinterpret_cast<walk *>(l);
        state->seen.push_back(hwnd);
        return state->seen.size() < state->stop_after;
    };
    EXPECT_TRUE(EnumWindows(callback, (LPARAM)&w));
    EXPECT_EQ(w.seen, std::vector<HWND>{visible_elsewhere.hwnd()});

    window_thread second({}, host, L"Second");
    w = walk{};
    w.stop_after = 1;
    EXPECT_FALSE(EnumWindows(callback, (LPARAM)&w));
    EXPECT_EQ(w.seen.size(), 1u);
    platform::process_dereference(host);
}

TEST_F(WindowTest, ShowAndForegroundReportThePreviousState)
{
    ASSERT_NE(register_plain(L"Show"), 0);
    HWND hwnd = create_plain(L"Show", L"");
    EXPECT_FALSE(ShowWindow(hwnd, SW_SHOWNORMAL));
    EXPECT_TRUE(IsWindowVisible(hwnd));
    EXPECT_TRUE(ShowWindow(hwnd, SW_MINIMIZE));
    EXPECT_TRUE(IsIconic(hwnd));
    EXPECT_TRUE(ShowWindow(hwnd, SW_HIDE));
    EXPECT_FALSE(IsWindowVisible(hwnd));
    EXPECT_TRUE(SetForegroundWindow(hwnd));
    EXPECT_EQ(GetForegroundWindow(), hwnd);
    DestroyWindow(hwnd);
    EXPECT_EQ(GetForegroundWindow(), nullptr);
    EXPECT_FALSE(SetForegroundWindow(hwnd));
}

TEST_F(WindowTest, RegisteredMessagesAreSharedByNameWithoutCase)
{
    const UINT a = RegisterWindowMessageW(L"{D0DD3551-B394-450b-A261-839C13B405C3}.NRC");
    const UINT b = RegisterWindowMessageW(L"{d0dd3551-b394-450B-A261-839C13B405C3}.nrc");
    const UINT c = RegisterWindowMessageW(L"{D0DD3551-B394-450b-A261-839C13B405C3}.NRA");
    EXPECT_GE(a, 0xC000u);
    EXPECT_LE(a, 0xFFFFu);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    SetLastError(0);
    EXPECT_EQ(RegisterWindowMessageW(L""), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST_F(WindowTest, PowerBroadcastReachesAHiddenTopLevelWindowOfAnotherProcessOnItsThread)
{
    platform::process *host = platform::process_create(L"host.exe", L"");
    auto answer = [](UINT msg, WPARAM, LPARAM, LRESULT *result) {
        *result = 0;
        return msg == WM_POWERBROADCAST;
    };
    window_thread driver_window(answer, host);
    window_thread message_only(answer, host, L"", HWND_MESSAGE);
    ASSERT_FALSE(IsWindowVisible(driver_window.hwnd()));

    EXPECT_EQ(platform::broadcast_power_event(PBT_APMSUSPEND), 1u);
    EXPECT_EQ(platform::broadcast_power_event(PBT_APMRESUMEAUTOMATIC), 1u);
    auto seen = driver_window.messages(WM_POWERBROADCAST);
    ASSERT_EQ(seen.size(), 2u) << "the broadcast is sent: it has run when the call returns";
    EXPECT_EQ(seen[0].wparam, (WPARAM)PBT_APMSUSPEND);
    EXPECT_EQ(seen[1].wparam, (WPARAM)PBT_APMRESUMEAUTOMATIC);
    EXPECT_EQ(seen[0].thread_id, driver_window.thread_id());
    EXPECT_TRUE(message_only.messages(WM_POWERBROADCAST).empty());
    platform::process_dereference(host);
}

TEST_F(WindowTest, DeviceInterfaceChangesReachOnlyWindowsRegisteredForThatClass)
{
    window_thread panel;
    window_thread bystander;
    std::vector<std::wstring> names;
    std::vector<GUID> classes;
    std::mutex lock;
    window_thread recorder([&](UINT msg, WPARAM, LPARAM l, LRESULT *result) {
        if (msg != WM_DEVICECHANGE || l == 0) {
            return false;
        }
        auto *record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W *>(l);
        std::lock_guard<std::mutex> guard(lock);
        EXPECT_EQ(record->dbcc_devicetype, (DWORD)DBT_DEVTYP_DEVICEINTERFACE);
        names.emplace_back(record->dbcc_name);
        classes.push_back(record->dbcc_classguid);
        *result = TRUE;
        return true;
    });

    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = audio_interface_class;
    HDEVNOTIFY handle = RegisterDeviceNotificationW(recorder.hwnd(), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    ASSERT_NE(handle, nullptr);

    const std::wstring link = L"\\\\?\\usb#vid_1234&pid_5678#1#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\wave_44100";
    platform::notify_device_interface_change(DBT_DEVICEARRIVAL, audio_interface_class, link);
    platform::notify_device_interface_change(DBT_DEVICEARRIVAL, other_interface_class, L"\\\\?\\other");
    platform::device_notifications_flush();
    ASSERT_TRUE(recorder.wait_for_count(WM_DEVICECHANGE, 1));
    ASSERT_TRUE(recorder.sync());
    {
        std::lock_guard<std::mutex> guard(lock);
        EXPECT_EQ(names, std::vector<std::wstring>{link});
        EXPECT_EQ(classes[0], audio_interface_class);
    }
    auto seen = recorder.messages(WM_DEVICECHANGE);
    EXPECT_EQ(seen[0].wparam, (WPARAM)DBT_DEVICEARRIVAL);
    EXPECT_EQ(seen[0].thread_id, recorder.thread_id());
    EXPECT_TRUE(bystander.messages(WM_DEVICECHANGE).empty());

    EXPECT_TRUE(UnregisterDeviceNotification(handle));
    SetLastError(0);
    EXPECT_FALSE(UnregisterDeviceNotification(handle));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    platform::notify_device_interface_change(DBT_DEVICEREMOVECOMPLETE, audio_interface_class, link);
    platform::device_notifications_flush();
    ASSERT_TRUE(recorder.sync());
    EXPECT_EQ(recorder.messages(WM_DEVICECHANGE).size(), 1u);
}

TEST_F(WindowTest, DeviceNotificationRejectsBadFiltersAndRecipients)
{
    ASSERT_NE(register_plain(L"Notify"), 0);
    HWND hwnd = create_plain(L"Notify", L"");
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof(DEV_BROADCAST_HDR);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    SetLastError(0);
    EXPECT_EQ(RegisterDeviceNotificationW(hwnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_DATA);
    EXPECT_EQ(RegisterDeviceNotificationW(hwnd, nullptr, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
    filter.dbcc_size = sizeof(filter);
    SetLastError(0);
    EXPECT_EQ(RegisterDeviceNotificationW((HANDLE)(ULONG_PTR)0x4444, &filter, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
    DestroyWindow(hwnd);
}

TEST_F(WindowTest, MessageBoxIsRecordedAndAnsweredWithoutBlocking)
{
    EXPECT_EQ(MessageBoxW(nullptr, L"ASIO Streaming Drop-Out", L"Notification", MB_OK | MB_TOPMOST), IDOK);
    platform::message_box_set_answer(IDNO);
    EXPECT_EQ(MessageBoxW(nullptr, L"Again?", nullptr, MB_YESNO), IDNO);
    auto history = platform::message_box_history();
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[0].text, L"ASIO Streaming Drop-Out");
    EXPECT_EQ(history[0].caption, L"Notification");
    EXPECT_EQ(history[0].type, (UINT)(MB_OK | MB_TOPMOST));
    EXPECT_EQ(history[0].thread_id, GetCurrentThreadId());
    EXPECT_EQ(history[1].caption, L"Error");
}

TEST_F(WindowTest, CharLowerConvertsStringsInPlaceAndSingleCharacters)
{
    WCHAR path[] = L"C:\\Program Files\\OVMLSAASO.DLL";
    EXPECT_EQ(CharLowerW(path), path);
    EXPECT_STREQ(path, L"c:\\program files\\ovmlsaaso.dll");
    EXPECT_EQ((WCHAR)(ULONG_PTR)CharLowerW((LPWSTR)(ULONG_PTR)L'Q'), L'q');
}

} // namespace
