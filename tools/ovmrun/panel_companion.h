// The control-panel program during a run: half-way through, the host calls the ASIO driver's
// controlPanel, which starts the program; once its dialog has settled, a user's click changes
// the buffer-size index (the slider) or the rate (the rate list). A new index reaches the host
// as the driver's reset request and it streams on with new buffers; a rate the device cannot
// take while it streams the panel refuses with a message. At the end the user closes the panel.
#pragma once
#include <windows.h>
#include <cstdint>
#include <string>
#include <vector>
#include "run_options.h"
#include "stream_companion.h"

namespace ovmrun {

struct panel_figures {
    bool ran = false;
    ASIOError control_panel = ASE_OK;  // the driver's controlPanel answer
    bool window = false;               // the panel's window appeared
    bool clicked = false;              // the user's click reached the control
    std::string shown_before;          // the setting as the panel showed it before the click
    std::string shown_after;           // and after
    int64_t click_time = -1;           // machine clock, 100 ns
    bool reset = false;                // the host got a reset request after the click
    int64_t reset_time = -1;
    int64_t resumed_time = -1;         // the first buffer switch with the new buffers
    uint32_t buffer_frames_after = 0;  // host samples per buffer after the reset
    uint32_t rate_after = 0;
    DWORD stored_index = 0;            // the settings after the click
    DWORD stored_rate = 0;
    std::vector<std::string> messages; // message boxes the panel showed after the click
    bool closed = false;               // the panel's window and process ended at the end
    std::string failure;
};

class panel_companion final : public stream_companion {
public:
    explicit panel_companion(const panel_change &change);

    void at(stream_point point, sim::asio_host *host) override;
    void finish(stream_result &result) override;

    const panel_figures &figures() const { return m_figures; }

private:
    void change_setting(sim::asio_host &host);
    void close();

    panel_change m_change;
    HWND m_window = nullptr;
    DWORD m_process_id = 0;
    panel_figures m_figures;
};

// What the panel says when the device refuses a rate because it streams.
inline constexpr const char *device_in_use_text =
    "Sound device is in use. You must close any application using this sound device before changing this setting.";

// Writes the setup key that tells the ASIO driver where the control-panel program is, as the
// package's installer does, and makes the program's module known under that path.
bool install_control_panel();

} // namespace ovmrun
