// The minimal streaming engine of the library's long runs: render, capture and feedback
// transfers recycled from their completions in explicit-feedback, plain and implicit mode.
#include "StreamingPump.h"
#include <initializer_list>

namespace usbaudio_test {
namespace {

constexpr ULONG PUMP_TAG = 'mPTA';
constexpr ULONG ONE_FRAME = 0x10000;

} // namespace

streaming_pump::streaming_pump(CUSBAudioCL &audio, pump_mode mode, pump_settings settings)
    : m_audio(audio), m_mode(mode), m_settings(settings)
{
}

streaming_pump::~streaming_pump()
{
    if (m_renderMdl != nullptr) {
        IoFreeMdl(m_renderMdl);
    }
    if (m_renderMemory != nullptr) {
        ExFreePoolWithTag(m_renderMemory, PUMP_TAG);
    }
    if (m_capture != nullptr) {
        ExFreePoolWithTag(m_capture, PUMP_TAG);
    }
}

NTSTATUS streaming_pump::prepare(ULONG bits, ULONG rate)
{
    if (m_settings.render_in_flight == 0 || m_settings.render_in_flight > MAX_IN_FLIGHT ||
        m_settings.capture_in_flight > MAX_IN_FLIGHT || m_settings.capture_ms == 0 ||
        m_settings.render_ms % m_settings.capture_ms != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_SUCCESS;
    ULONG channels = 0;
    ULONG container = 0;
    ULONG largest = 0;
    for (ULONG direction : {0u, 1u}) {
        if (!NT_SUCCESS(status) || m_audio.GetRecord(direction) == nullptr) {
            continue;
        }
        ULONG ms = direction != 0 ? m_settings.capture_ms : m_settings.render_ms;
        if (m_mode == pump_mode::implicit) {
            ULONG nominal = 0;
            LONG below = 0;
            LONG above = 0;
            status = m_audio.SelectStreamingFormat(direction, USB_AUDIO_TAG_PCM, 2, bits, rate, ms, &channels,
                                                   &container, &nominal, &below, &above, &largest);
            (direction != 0 ? m_captureNominal : m_renderNominal) = nominal;
            (direction != 0 ? m_captureBelow : m_renderBelow) = below;
            (direction != 0 ? m_captureAbove : m_renderAbove) = above;
        } else {
            status = m_audio.SelectStreamingFormat(direction, USB_AUDIO_TAG_PCM, 2, bits, rate, ms, &channels,
                                                   &container, &largest);
        }
        if (direction != 0) {
            m_captureBytes = largest;
        }
    }
    if (NT_SUCCESS(status) && m_captureBytes > BUFFER_BYTES) {
        status = STATUS_BUFFER_TOO_SMALL;
    }
    if (NT_SUCCESS(status)) {
        m_renderMemory = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, BUFFER_BYTES, PUMP_TAG));
        m_capture = static_cast<capture_slot *>(
            ExAllocatePoolWithTag(NonPagedPoolNx, MAX_IN_FLIGHT * sizeof(capture_slot), PUMP_TAG));
        status = m_renderMemory != nullptr && m_capture != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status)) {
        RtlZeroMemory(m_renderMemory, BUFFER_BYTES);
        m_renderMdl = IoAllocateMdl(m_renderMemory, BUFFER_BYTES, FALSE, FALSE, nullptr);
        status = m_renderMdl != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status)) {
        MmBuildMdlForNonPagedPool(m_renderMdl);
        for (ULONG i = 0; i < MAX_IN_FLIGHT; ++i) {
            m_capture[i].pump = this;
        }
    }
    return status;
}

void streaming_pump::start()
{
    m_running = true;
    switch (m_mode) {
    case pump_mode::explicit_feedback:
        arm_feedback();
        break;
    case pump_mode::plain:
        m_renderPrimed = true;
        for (ULONG i = 0; i < m_settings.render_in_flight; ++i) {
            submit_render(next_render_bytes());
        }
        break;
    case pump_mode::implicit:
        m_measuring = true;
        for (ULONG i = 0; i < m_settings.capture_in_flight; ++i) {
            submit_capture(&m_capture[i]);
        }
        break;
    }
}

// The size of the next render transfer once the stream runs.
ULONG streaming_pump::next_render_bytes()
{
    USB_STREAMING_INTERFACE *render = m_audio.m_pRender;
    if (m_mode == pump_mode::implicit) {
        LONG adjustment = m_debt < m_renderBelow ? m_renderBelow : (m_debt < m_renderAbove ? m_debt : m_renderAbove);
        m_debt -= adjustment;
        return static_cast<ULONG>(static_cast<LONG>(m_renderNominal) +
                                  adjustment * static_cast<LONG>(render->BytesPerFrame));
    }
    ULONG value = 0;
    if (render->FeedbackPipe != nullptr) {
        KLOCK_QUEUE_HANDLE lock;
        KeAcquireInStackQueuedSpinLock(&render->FeedbackLock, &lock);
        render->FeedbackValueInUse = render->LatestFeedbackValue;
        value = render->FeedbackValueInUse;
        KeReleaseInStackQueuedSpinLock(&lock);
    }
    return m_audio.GetRenderBytesPerTransfer(m_settings.render_ms, value);
}

void streaming_pump::submit_render(ULONG bytes)
{
    if (bytes == 0 || bytes > BUFFER_BYTES ||
        !NT_SUCCESS(m_audio.SubmitRenderTransfer(m_renderMdl, bytes, m_settings.render_ms, RenderDone, this))) {
        ++m_counts.submit_failures;
        return;
    }
    ++m_renderInFlight;
}

void streaming_pump::submit_capture(capture_slot *slot)
{
    if (m_captureBytes == 0 ||
        !NT_SUCCESS(m_audio.SubmitCaptureTransfer(slot->buffer, m_captureBytes, CaptureDone, slot, 0))) {
        ++m_counts.submit_failures;
        return;
    }
    ++m_captureInFlight;
}

void streaming_pump::arm_feedback()
{
    ULONG size = m_audio.GetFeedbackBufferSize();
    if (size == 0 || size > sizeof(m_feedback) ||
        !NT_SUCCESS(m_audio.RecvFeedback(m_feedback, size, FeedbackDone, this))) {
        ++m_counts.submit_failures;
        return;
    }
    m_feedbackInFlight = true;
}

// Implicit mode: while measuring, each render transfer to be primed collects the captured
// amount of render_ms / capture_ms capture transfers, converted to render frames; once all
// are measured they go out, and what the last one differs from nominal starts the debt.
// Afterwards every capture transfer's frames above or below nominal add to the debt, within
// the bounds the format selection gave.
void streaming_pump::count_capture(ULONG bytes)
{
    const ULONG captureFrameBytes = m_audio.m_pCapture->BytesPerFrame;
    const ULONG renderFrameBytes = m_audio.m_pRender->BytesPerFrame;
    if (m_measuring) {
        m_measured[m_measureIndex] += bytes / captureFrameBytes * renderFrameBytes;
        if (++m_measureCaptures == m_settings.render_ms / m_settings.capture_ms) {
            m_measureCaptures = 0;
            ++m_measureIndex;
        }
        if (m_measureIndex == m_settings.render_in_flight) {
            m_measuring = false;
            ULONG last = m_measured[m_measureIndex - 1];
            m_debt = (static_cast<LONG>(last) - static_cast<LONG>(m_renderNominal)) / static_cast<LONG>(renderFrameBytes);
            m_renderPrimed = true;
            for (ULONG i = 0; i < m_settings.render_in_flight; ++i) {
                submit_render(m_measured[i]);
            }
        }
    } else if (m_firstRenderDone) {
        LONG excess = (static_cast<LONG>(bytes) - static_cast<LONG>(m_captureNominal)) /
                      static_cast<LONG>(captureFrameBytes);
        if (excess >= m_captureBelow && excess <= m_captureAbove) {
            m_debt += excess;
        }
    }
}

VOID streaming_pump::RenderDone(NTSTATUS status, ULONG bytes, ULONG startFrame, PVOID context, ULONG frames)
{
    UNREFERENCED_PARAMETER(bytes);
    UNREFERENCED_PARAMETER(startFrame);
    UNREFERENCED_PARAMETER(frames);
    auto pump = static_cast<streaming_pump *>(context);
    --pump->m_renderInFlight;
    ++pump->m_counts.render_completions;
    pump->m_counts.errors += NT_SUCCESS(status) ? 0 : 1;
    pump->m_firstRenderDone = true;
    if (pump->m_running) {
        pump->submit_render(pump->next_render_bytes());
    }
}

VOID streaming_pump::CaptureDone(NTSTATUS status, ULONG bytes, ULONG startFrame, PVOID context, ULONG frames)
{
    UNREFERENCED_PARAMETER(startFrame);
    UNREFERENCED_PARAMETER(frames);
    auto slot = static_cast<capture_slot *>(context);
    streaming_pump *pump = slot->pump;
    --pump->m_captureInFlight;
    ++pump->m_counts.capture_completions;
    pump->m_counts.errors += NT_SUCCESS(status) ? 0 : 1;
    if (!pump->m_running) {
        return;
    }
    if (NT_SUCCESS(status) && pump->m_mode == pump_mode::implicit) {
        pump->count_capture(bytes);
    }
    pump->submit_capture(slot);
}

// Values more than a frame off nominal are taken for noise and replaced, as the engine does;
// the first value releases the render transfers.
VOID streaming_pump::FeedbackDone(NTSTATUS status, ULONG value, ULONG startFrame, PVOID context, ULONG frames)
{
    UNREFERENCED_PARAMETER(startFrame);
    UNREFERENCED_PARAMETER(frames);
    auto pump = static_cast<streaming_pump *>(context);
    pump->m_feedbackInFlight = false;
    ++pump->m_counts.feedback_completions;
    USB_STREAMING_INTERFACE *render = pump->m_audio.m_pRender;
    if (NT_SUCCESS(status)) {
        ULONG nominal = pump->m_audio.NominalFeedback(render->SampleRate);
        if (value == 0) {
            value = nominal;
        } else if (value < ONE_FRAME || value + ONE_FRAME < nominal || value > nominal + ONE_FRAME) {
            value = nominal;
            ++pump->m_counts.feedback_replaced;
        }
        KLOCK_QUEUE_HANDLE lock;
        KeAcquireInStackQueuedSpinLock(&render->FeedbackLock, &lock);
        render->LatestFeedbackValue = value;
        KeReleaseInStackQueuedSpinLock(&lock);
    } else {
        ++pump->m_counts.errors;
    }
    if (!pump->m_running) {
        return;
    }
    if (!pump->m_renderPrimed && NT_SUCCESS(status)) {
        pump->m_renderPrimed = true;
        for (ULONG i = 0; i < pump->m_settings.render_in_flight; ++i) {
            pump->submit_render(pump->next_render_bytes());
        }
    }
    pump->arm_feedback();
}

} // namespace usbaudio_test
