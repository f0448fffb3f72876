// A minimal streaming engine for the library's long runs: it keeps render, capture and
// feedback transfers going the way the driver's engine does, in one of its three modes, so
// that a drifting simulated device can be streamed for a long time without the driver.
// Completions run at DISPATCH_LEVEL on the thread that advances the bus; the pump takes no
// lock of its own, so one thread drives it.
#pragma once
#include <wdm.h>
#include "USBAudioCL.h"

namespace usbaudio_test {

// Explicit: render sized by the feedback endpoint, no render before the first value. Plain:
// render sized by the rate's packet pattern, primed at once. Implicit: render follows the
// captured amount: the first transfers carry what capture measured, later ones the nominal
// amount adjusted by the frames capture delivered above or below nominal.
enum class pump_mode { explicit_feedback, plain, implicit };

struct pump_settings {
    ULONG render_ms = 1;          // ms per render transfer
    ULONG render_in_flight = 4;   // render transfers kept in flight
    ULONG capture_ms = 1;         // ms per capture transfer
    ULONG capture_in_flight = 4;
};

struct pump_counts {
    ULONG errors = 0;             // failed completions
    ULONG submit_failures = 0;    // refused or impossible submissions
    ULONG feedback_replaced = 0;  // feedback values taken for noise
    ULONG render_completions = 0;
    ULONG capture_completions = 0;
    ULONG feedback_completions = 0;
};

class streaming_pump {
public:
    static constexpr ULONG MAX_IN_FLIGHT = 8;
    static constexpr ULONG BUFFER_BYTES = 16384;

    streaming_pump(CUSBAudioCL &audio, pump_mode mode, pump_settings settings = {});
    ~streaming_pump();
    streaming_pump(const streaming_pump &) = delete;
    streaming_pump &operator=(const streaming_pump &) = delete;

    // Selects the formats (2 channels of bits at rate, the duplex variant in implicit mode)
    // and allocates the render buffer. PASSIVE_LEVEL.
    NTSTATUS prepare(ULONG bits, ULONG rate);
    // Starts the transfers of the mode. PASSIVE_LEVEL; completions follow as the bus runs.
    void start();
    // No new submissions from here on; in-flight transfers still complete.
    void stop() { m_running = false; }
    bool idle() const { return m_renderInFlight == 0 && m_captureInFlight == 0 && !m_feedbackInFlight; }
    const pump_counts &counts() const { return m_counts; }

private:
    struct capture_slot {
        streaming_pump *pump;
        UCHAR buffer[BUFFER_BYTES];
    };

    static USB_COMPLETION_CALLBACK RenderDone;
    static USB_COMPLETION_CALLBACK CaptureDone;
    static USB_COMPLETION_CALLBACK FeedbackDone;

    void submit_render(ULONG bytes);
    ULONG next_render_bytes();
    void submit_capture(capture_slot *slot);
    void arm_feedback();
    void count_capture(ULONG bytes);

    CUSBAudioCL &m_audio;
    pump_mode m_mode;
    pump_settings m_settings;
    bool m_running = false;
    PUCHAR m_renderMemory = nullptr;
    PMDL m_renderMdl = nullptr;
    UCHAR m_feedback[512] = {};
    capture_slot *m_capture = nullptr;
    ULONG m_captureBytes = 0;
    ULONG m_renderInFlight = 0;
    ULONG m_captureInFlight = 0;
    bool m_feedbackInFlight = false;
    bool m_renderPrimed = false;
    bool m_firstRenderDone = false;
    pump_counts m_counts;

    // Duplex synchronisation of implicit mode: the render amounts measured before the start,
    // nominal bytes per transfer and the bounds of a per-transfer adjustment in frames.
    ULONG m_measured[MAX_IN_FLIGHT] = {};
    ULONG m_measureIndex = 0;
    ULONG m_measureCaptures = 0;
    bool m_measuring = false;
    LONG m_debt = 0;
    ULONG m_renderNominal = 0;
    LONG m_renderBelow = 0;
    LONG m_renderAbove = 0;
    ULONG m_captureNominal = 0;
    LONG m_captureBelow = 0;
    LONG m_captureAbove = 0;
};

} // namespace usbaudio_test
