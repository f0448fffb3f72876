// The isochronous streaming engine's state, embedded once in CAdapterCommon: per direction a
// system thread, its events, slot semaphore, completion list and DPC; the free render entries;
// feedback reads; duplex measuring and the frame debt of implicit-feedback mode.
#pragma once
#include <wdm.h>
#include "TransferEntry.h"
#include "UsbAudioTrace.h"

// Index of a direction in the per-direction arrays: 0 render, 1 capture.
constexpr ULONG ENGINE_RENDER = 0;
constexpr ULONG ENGINE_CAPTURE = 1;
// Work-in-progress counter of the feedback reads (beside the two directions').
constexpr ULONG ENGINE_FEEDBACK_WORK = 2;
// No tuning value allows more transfers in flight than this.
constexpr LONG IN_FLIGHT_MAXIMUM = 8;

// How render transfers are sized.
enum ENGINE_PACING : ULONG {
    EnginePacingPlain = 0,    // the rate's packet pattern
    EnginePacingExplicit = 1, // the feedback endpoint
    EnginePacingImplicit = 2, // the captured amount
};

// Feedback reads circulate in this many slots.
constexpr ULONG ENGINE_FEEDBACK_SLOTS = 8;
// Start waits: a stable clock, then the first completion.
constexpr ULONG ENGINE_CLOCK_WAIT_MS = 100;
constexpr ULONG ENGINE_START_WAIT_MS = 10000;
// Render recovery lets the pipe settle this long before it primes again.
constexpr ULONG ENGINE_RECOVERY_PAUSE_MS = 25;
// Capture transfers start this many frames ahead of the bus after a resynchronisation.
constexpr ULONG ENGINE_CAPTURE_LEAD_FRAMES = 7;

// What the engine counts for diagnostics and tests; written under no lock, read as a snapshot.
struct ENGINE_COUNTERS {
    ULONG Recoveries[2];
    ULONG Underruns[2];
    ULONG Failures[2];
    // A slot taken and handed straight back because no entry was free: a render thread that
    // does this in a loop spins.
    ULONG IdleSlotReleases;
    // Capture and feedback slots given up because no memory could be had for their transfer.
    ULONG RetiredSlots;
    ULONG FeedbackReplaced;
    ULONG FeedbackReads;
};

struct ADAPTER_ENGINE {
    // Per direction.
    PKTHREAD Thread[2];
    KEVENT StopEvent[2];
    KEVENT ErrorEvent[2];
    KEVENT RunEvent[2];
    KEVENT IdleEvent[2];
    KEVENT FirstCompletion[2];
    KSEMAPHORE Slots[2];
    KSPIN_LOCK WorkLock[2];
    LONG WorkInProgress[2];
    KSPIN_LOCK CompletionLock[2];
    LIST_ENTRY CompletionList[2];
    KDPC Dpc[2];
    ULONG NextStartFrame[2];
    LONG Resync[2];
    ULONG PreviousFrame[2];
    // Why the thread gave up before its first completion (reported by WaitStreamStarted).
    NTSTATUS StartFailure[2];

    // Render.
    KSPIN_LOCK RenderListLock;
    LIST_ENTRY RenderFree;
    LONG RenderInFlight;
    // Render entries the thread could allocate: the number of render slots in play.
    ULONG RenderEntries;
    LONG SlotsGranted;

    // Explicit feedback.
    KEVENT FeedbackEnable;
    KEVENT FeedbackIdle;
    KSEMAPHORE FeedbackSlots;
    KSPIN_LOCK FeedbackWorkLock;
    LONG FeedbackWork;

    // Implicit feedback: duplex measuring and the frame debt.
    KSPIN_LOCK MeasureLock;
    ULONG MeasureIndex;
    ULONG MeasureCount;
    BOOLEAN Measuring;
    KEVENT Measured;
    KSPIN_LOCK DebtLock;
    LONG Debt;

    // Work items queued and not yet returned; WorkItemsDone is signalled at 0.
    LONG WorkItems;
    KEVENT WorkItemsDone;

    // Stream values fixed when the device format is selected.
    ULONG Pacing;
    ULONG RenderMaxBytes;
    ULONG CaptureBytes;
    ULONG RenderFrameBytes;
    ULONG CaptureFrameBytes;
    ULONG RenderNominal;   // Nr
    LONG RenderBelow;      // Amin
    LONG RenderAbove;      // Amax
    ULONG CaptureNominal;  // Nc
    LONG CaptureBelow;     // Emin
    LONG CaptureAbove;     // Emax

    NPAGED_LOOKASIDE_LIST EntryPool;
    BOOLEAN EntryPoolReady;

    ENGINE_COUNTERS Counters;
};
