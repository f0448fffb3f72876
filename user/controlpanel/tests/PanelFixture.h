// Fixture of the control panel's end-to-end tests: a machine on which PnP loads the
// asynchronous kernel driver for each simulated device a test attaches, the panel program
// started as a process of the machine, and the settings as the panel stores them.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <memory>
#include <string>
#include <vector>
#include <sim/audio_device.h>
#include <sim/machine.h>
#include <sim/uac_descriptors.h>

class PanelTest : public ::testing::Test {
protected:
    struct attached_device {
        DEVICE_OBJECT *pdo = nullptr;
        std::wstring instance_id;
        std::wstring description;
        std::wstring interface_path; // the audio interface's symbolic link
    };

    void SetUp() override;
    void TearDown() override;

    // Attaches a device (serial tells devices apart). Its interfaces' arrival, and on detach
    // their removal, reach the panel's window by themselves; both return once the windows
    // registered for device notifications have handled them.
    attached_device attach(const char16_t *serial, sim::audio_device_options options = {},
                           const char16_t *product = nullptr);
    void detach(attached_device &device);

    // Starts the panel and waits for its window to appear and settle; null when it did not.
    HWND start_panel();
    // Waits until the dialog has handled the notifications its own writes caused.
    void settle() const;
    // Selects a row as the user does, again while the control is briefly disabled.
    bool select(int id, int index) const;
    // Starts another instance and waits for it to end; its exit code.
    DWORD start_second_panel();
    // Closes the panel by its close box and waits for its process to end.
    bool close_panel();

    // Settings written as another writer (no driver is signalled) and read back.
    static void store_number(LONG id, DWORD value);
    static void store_selected(const std::wstring &instance_id);
    static DWORD stored_number(LONG id);
    static std::wstring stored_selected();
    // Creates the settings key with its defaults.
    static void create_settings();

    // The device's rate as it reports it over its channel; 0 when unreadable.
    static DWORD device_rate(const attached_device &device);

    std::wstring control_text(int id) const;
    bool control_enabled(int id) const;
    std::vector<std::wstring> items(int id) const;
    // The device list's row that shows device (found by its description, which the test keeps
    // distinct and free of ampersands); -1 for none. Rows follow the order in which the system
    // lists audio interfaces, and a driver that registers its interface anew on a rate change
    // moves its device to the end.
    int row_of(const attached_device &device) const;
    int selection(int id) const;
    // Index of the list row drawn in the heavy font (the current device); -1 for none.
    int bold_row() const;

    std::unique_ptr<sim::machine> m_machine;
    std::vector<std::shared_ptr<sim::audio_device>> m_models;
    std::vector<DEVICE_OBJECT *> m_attached;
    HWND m_panel = nullptr;
    HANDLE m_process = nullptr;
};
