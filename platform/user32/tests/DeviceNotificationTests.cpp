// Device-interface notifications as the kernel causes them: a driver enabling or disabling an
// interface, or its device going away, reaches the windows registered for the interface's
// class as WM_DEVICECHANGE, once per real change and in order.
#include "window_thread.h"
#include <gtest/gtest.h>
#include <wdm.h>
#include <dbt.h>
#include <platform/machine_state.h>
#include <platform/pnp.h>
#include <platform/window_station.h>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

using namespace user32_test;

namespace {

constexpr GUID audio_class = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID other_class = {0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
const std::wstring audio_base = L"\\\\?\\usb#vid_3a51&pid_0102#ovm0001#{6994ad04-93ef-11d0-a3cc-00a0c9223196}";

// Stand-ins for physical device objects: the PnP manager only uses their addresses.
char g_first_pdo;
char g_second_pdo;

struct heard_change {
    WPARAM event;
    GUID interface_class;
    std::wstring name;
};

// A window that registers for one interface class (or all of them) and keeps what each
// WM_DEVICECHANGE carried; the record itself is only valid during the call.
class notification_window {
public:
    explicit notification_window(const GUID &interface_class, DWORD flags = DEVICE_NOTIFY_WINDOW_HANDLE)
        : m_window([this](UINT msg, WPARAM w, LPARAM l, LRESULT *result) { return record(msg, w, l, result); })
    {
        DEV_BROADCAST_DEVICEINTERFACE_W filter{};
        filter.dbcc_size = sizeof(filter);
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = interface_class;
        m_handle = RegisterDeviceNotificationW(m_window.hwnd(), &filter, flags);
    }

    bool registered() const { return m_handle != nullptr; }

    std::vector<heard_change> heard()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_heard;
    }

private:
    bool record(UINT msg, WPARAM w, LPARAM l, LRESULT *result)
    {
        if (msg != WM_DEVICECHANGE || l == 0) {
            return false;
        }
        const auto *broadcast = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W *>(l);
        std::lock_guard<std::mutex> guard(m_lock);
        m_heard.push_back({w, broadcast->dbcc_classguid, broadcast->dbcc_name});
        *result = TRUE;
        return true;
    }

    std::mutex m_lock;
    std::vector<heard_change> m_heard;
    window_thread m_window;
    HDEVNOTIFY m_handle = nullptr;
};

class DeviceNotificationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::machine_boot();
        platform::device_node fields;
        fields.instance_id = L"USB\\VID_3A51&PID_0102\\OVM0001";
        ASSERT_NE(nullptr, platform::pnp_create_node(pdo(g_first_pdo), fields));
        fields.instance_id = L"USB\\VID_3A51&PID_0102\\OVM0002";
        ASSERT_NE(nullptr, platform::pnp_create_node(pdo(g_second_pdo), fields));
    }

    void TearDown() override
    {
        for (auto &link : m_links) {
            RtlFreeUnicodeString(&link);
        }
        platform::machine_shutdown();
    }

    static PDEVICE_OBJECT pdo(char &object) { return reinterpret_cast<PDEVICE_OBJECT>(&object); }

    // Registers an interface as a driver does; the link stays valid until the test ends.
    PUNICODE_STRING register_interface(PDEVICE_OBJECT device, const GUID &interface_class, const WCHAR *reference)
    {
        UNICODE_STRING ref{};
        RtlInitUnicodeString(&ref, reference);
        UNICODE_STRING link{};
        EXPECT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(device, &interface_class, &ref, &link));
        m_links.push_back(link);
        return &m_links.back();
    }

    std::deque<UNICODE_STRING> m_links;
};

TEST_F(DeviceNotificationTest, EachRealStateChangeReachesTheWindowsOfItsClassOnceAndInOrder)
{
    notification_window panel(audio_class);
    notification_window bystander(other_class);
    ASSERT_TRUE(panel.registered());
    ASSERT_TRUE(bystander.registered());
    PUNICODE_STRING wave = register_interface(pdo(g_first_pdo), audio_class, L"Wave_48000");
    platform::device_notifications_flush();
    EXPECT_TRUE(panel.heard().empty()) << "registering alone announces nothing";

    ASSERT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(wave, TRUE));
    EXPECT_EQ(STATUS_OBJECT_NAME_EXISTS, IoSetDeviceInterfaceState(wave, TRUE));
    platform::device_notifications_flush();
    // No wait here: the flush returns only once the windows have handled what was queued.
    auto heard = panel.heard();
    ASSERT_EQ(1u, heard.size()) << "a second enable changes nothing and is not announced";
    EXPECT_EQ((WPARAM)DBT_DEVICEARRIVAL, heard[0].event);
    EXPECT_EQ(audio_base + L"\\Wave_48000", heard[0].name) << "the link as user mode opens it";
    EXPECT_TRUE(IsEqualGUID(audio_class, heard[0].interface_class));

    ASSERT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(wave, FALSE));
    ASSERT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(wave, FALSE));
    ASSERT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(wave, TRUE));
    ASSERT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(wave, FALSE));
    platform::device_notifications_flush();
    heard = panel.heard();
    ASSERT_EQ(4u, heard.size());
    const std::vector<WPARAM> expected = {DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE, DBT_DEVICEARRIVAL,
                                          DBT_DEVICEREMOVECOMPLETE};
    for (size_t i = 0; i < heard.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(expected[i], heard[i].event);
        EXPECT_EQ(audio_base + L"\\Wave_48000", heard[i].name);
    }
    EXPECT_TRUE(bystander.heard().empty()) << "a window of another class hears nothing";
}

TEST_F(DeviceNotificationTest, ARemovedDeviceTakesItsEnabledInterfacesAwayOnce)
{
    notification_window panel(audio_class);
    ASSERT_TRUE(panel.registered());
    PUNICODE_STRING enabled = register_interface(pdo(g_first_pdo), audio_class, L"Wave_44100");
    register_interface(pdo(g_first_pdo), audio_class, L"Topology");
    PUNICODE_STRING other = register_interface(pdo(g_second_pdo), audio_class, L"Wave_44100");
    ASSERT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(enabled, TRUE));
    ASSERT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(other, TRUE));
    platform::device_notifications_flush();
    ASSERT_EQ(2u, panel.heard().size());

    platform::pnp_mark_removed(pdo(g_first_pdo));
    // The driver's own disable at remove time, then the node going, change nothing more.
    EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(enabled, FALSE));
    platform::pnp_delete_node(pdo(g_first_pdo));
    platform::device_notifications_flush();
    auto heard = panel.heard();
    ASSERT_EQ(3u, heard.size()) << "only the interface that was enabled is announced as gone";
    EXPECT_EQ((WPARAM)DBT_DEVICEREMOVECOMPLETE, heard[2].event);
    EXPECT_EQ(audio_base + L"\\Wave_44100", heard[2].name);

    // A node deleted without a surprise removal first takes its interfaces too.
    platform::pnp_delete_node(pdo(g_second_pdo));
    platform::device_notifications_flush();
    heard = panel.heard();
    ASSERT_EQ(4u, heard.size());
    EXPECT_EQ((WPARAM)DBT_DEVICEREMOVECOMPLETE, heard[3].event);
    EXPECT_EQ(L"\\\\?\\usb#vid_3a51&pid_0102#ovm0002#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\Wave_44100",
              heard[3].name);
}

TEST_F(DeviceNotificationTest, AWindowForAllClassesHearsEveryClassAndAnUnregisteredOneNothing)
{
    notification_window everything(other_class, DEVICE_NOTIFY_WINDOW_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
    notification_window other(other_class);
    ASSERT_TRUE(everything.registered());
    ASSERT_TRUE(other.registered());
    PUNICODE_STRING wave = register_interface(pdo(g_first_pdo), audio_class, L"Wave");
    PUNICODE_STRING control = register_interface(pdo(g_first_pdo), other_class, L"Control");
    ASSERT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(wave, TRUE));
    ASSERT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(control, TRUE));
    platform::device_notifications_flush();

    const auto all = everything.heard();
    ASSERT_EQ(2u, all.size());
    EXPECT_TRUE(IsEqualGUID(audio_class, all[0].interface_class));
    EXPECT_TRUE(IsEqualGUID(other_class, all[1].interface_class));
    const auto own = other.heard();
    ASSERT_EQ(1u, own.size());
    EXPECT_TRUE(IsEqualGUID(other_class, own[0].interface_class));
}

} // namespace
