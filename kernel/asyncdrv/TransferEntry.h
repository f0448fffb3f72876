// TransferEntry: one isochronous transfer of the streaming engine (render, capture or feedback
// read) with its buffer, what it was submitted with, what its completion reported, and the links
// that put it on the engine's lists and on the mix sources' piece queues.
#pragma once
#include <wdm.h>

class CAdapterCommon;

struct TransferEntry {
    // Free list (render) or completion list (render and capture); one list at a time.
    LIST_ENTRY Links;
    // The piece queues of the two render mix sources: a submitted render transfer sits on both
    // until its completion is committed.
    LIST_ENTRY AsioMixLink;
    LIST_ENTRY OsMixLink;

    // Non-paged data buffer and, for render entries, the MDL built over it.
    PUCHAR Buffer;
    PMDL Mdl;
    // Bytes the buffer was allocated with; BytesRequested never exceeds it.
    ULONG BufferBytes;
    ULONG BytesRequested;

    // The start frame the transfer was submitted with (duplex render and capture).
    ULONG SubmitFrame;
    // What the completion reported: start frame, frames covered, bus frame read when it
    // completed, status and bytes moved.
    ULONG StartFrame;
    ULONG FrameCount;
    ULONG CompletionFrame;
    NTSTATUS Status;
    ULONG BytesTransferred;

    // The 16.16 feedback value the render transfer was sized with (0 without a feedback pipe).
    ULONG FeedbackValue;
    // Direction of the entry: 0 render, 1 capture, 2 feedback read.
    ULONG Kind;

    CAdapterCommon *Adapter;
    // Allocated with the entry; resubmits a failed transfer at PASSIVE_LEVEL. May be null.
    PIO_WORKITEM WorkItem;
};
typedef TransferEntry *PTRANSFER_ENTRY;

constexpr ULONG TRANSFER_ENTRY_RENDER = 0;
constexpr ULONG TRANSFER_ENTRY_CAPTURE = 1;
constexpr ULONG TRANSFER_ENTRY_FEEDBACK = 2;
