// CMiniportWaveRTStream: the cyclic buffer, the position record with its notification events,
// and the queueing of buffer spans to the adapter's piece queues.
#include "MiniportWaveRTStream.h"
#include "AsyncDriver.h"
#include "AsyncPoolTags.h"
#include "MiniportWaveRT.h"
#include "UsbAudioTrace.h"

namespace {

// Pages of the cyclic buffer lie below 4 GB.
constexpr LONGLONG WAVERT_HIGHEST_ADDRESS = 0xFFFFFFFF;
// The longest buffer an audio client can ask for, in seconds of the stream's format.
constexpr ULONGLONG WAVERT_MAXIMUM_BUFFER_SECONDS = 2;
constexpr KPRIORITY WAVERT_NOTIFY_INCREMENT = 8;

} // namespace

// The buffer is what the MDL describes: an MDL shorter than the request is no buffer at all. Any
// client with a handle on the pin chooses RequestedSize, so a request beyond two seconds of the
// stream's format gets two seconds, rather than as much memory below 4 GB as it names.
STDMETHODIMP CMiniportWaveRTStream::AllocateAudioBuffer(ULONG RequestedSize, PMDL *AudioBufferMdl, ULONG *ActualSize,
                                                        ULONG *OffsetFromFirstPage, MEMORY_CACHING_TYPE *CacheType)
{
    if (AudioBufferMdl == nullptr || ActualSize == nullptr || OffsetFromFirstPage == nullptr || CacheType == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_pMdl != nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (m_pPortStream == nullptr || RequestedSize == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    // The frame size follows from the channels and the container, not from the client's
    // nBlockAlign, which nothing checked.
    ULONGLONG frameBytes = static_cast<ULONGLONG>(m_Channels) * ((m_BitsPerSample + 7) / 8);
    ULONGLONG longest = static_cast<ULONGLONG>(m_SampleRate) * frameBytes * WAVERT_MAXIMUM_BUFFER_SECONDS;
    ULONG wanted = longest != 0 && RequestedSize > longest ? static_cast<ULONG>(longest) : RequestedSize;
    if (wanted != RequestedSize) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "%s: buffer of %lu bytes asked, %lu given",
                    TRACE_DIRECTION(m_Capture), RequestedSize, wanted);
    }
    PHYSICAL_ADDRESS highest;
    highest.QuadPart = WAVERT_HIGHEST_ADDRESS;
    PMDL mdl = m_pPortStream->AllocatePagesForMdl(highest, wanted);
    if (mdl == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%s: AllocatePagesForMdl of %lu bytes failed",
                    TRACE_DIRECTION(m_Capture), wanted);
        return STATUS_UNSUCCESSFUL;
    }
    ULONG size = MmGetMdlByteCount(mdl);
    PVOID mapped = size >= wanted ? m_pPortStream->MapAllocatedPages(mdl, MmCached) : nullptr;
    if (mapped == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%s: %lu of %lu bytes allocated, not mapped",
                    TRACE_DIRECTION(m_Capture), size, wanted);
        m_pPortStream->FreePagesFromMdl(mdl);
        return STATUS_UNSUCCESSFUL;
    }
    m_pMdl = mdl;
    m_pBuffer = static_cast<PUCHAR>(mapped);
    m_BufferSize = size;
    m_CaptureQueueOffset = 0;
    m_RenderQueueOffset = 0;
    ResetPosition();
    *AudioBufferMdl = mdl;
    *ActualSize = size;
    *OffsetFromFirstPage = 0;
    *CacheType = MmCached;
    return STATUS_SUCCESS;
}

STDMETHODIMP CMiniportWaveRTStream::AllocateBufferWithNotification(ULONG NotificationCount, ULONG RequestedSize,
                                                                   PMDL *AudioBufferMdl, ULONG *ActualSize,
                                                                   ULONG *OffsetFromFirstPage,
                                                                   MEMORY_CACHING_TYPE *CacheType)
{
    NTSTATUS status =
        AllocateAudioBuffer(RequestedSize, AudioBufferMdl, ActualSize, OffsetFromFirstPage, CacheType);
    if (NT_SUCCESS(status)) {
        KLOCK_QUEUE_HANDLE handle;
        KeAcquireInStackQueuedSpinLock(&m_PositionLock, &handle);
        m_NotificationCount = NotificationCount;
        KeReleaseInStackQueuedSpinLock(&handle);
    }
    return status;
}

// Only the buffer this stream handed out is freed; any other MDL is not the stream's to free.
STDMETHODIMP_(void) CMiniportWaveRTStream::FreeAudioBuffer(PMDL AudioBufferMdl, ULONG BufferSize)
{
    UNREFERENCED_PARAMETER(BufferSize);
    if (AudioBufferMdl != nullptr && AudioBufferMdl == m_pMdl) {
        ReleaseBuffer();
    }
}

STDMETHODIMP_(void) CMiniportWaveRTStream::FreeBufferWithNotification(PMDL AudioBufferMdl, ULONG BufferSize)
{
    FreeAudioBuffer(AudioBufferMdl, BufferSize);
}

VOID CMiniportWaveRTStream::ReleaseBuffer()
{
    if (m_pMdl == nullptr) {
        return;
    }
    PMDL mdl = m_pMdl;
    PUCHAR buffer = m_pBuffer;
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&m_GateLock, &handle);
    m_pMdl = nullptr;
    m_pBuffer = nullptr;
    m_BufferSize = 0;
    m_CaptureQueueOffset = 0;
    m_RenderQueueOffset = 0;
    KeReleaseInStackQueuedSpinLock(&handle);
    ResetPosition();
    if (buffer != nullptr) {
        m_pPortStream->UnmapAllocatedPages(buffer, mdl);
    }
    m_pPortStream->FreePagesFromMdl(mdl);
}

VOID CMiniportWaveRTStream::ResetPosition()
{
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&m_PositionLock, &handle);
    m_PositionSize = m_BufferSize;
    m_Position = 0;
    m_PreviousPosition = 0;
    m_FirstUpdate = TRUE;
    KeReleaseInStackQueuedSpinLock(&handle);
}

// The offsets name the last byte played or recorded, so a stream that has not moved reports
// the buffer's last byte. Without a buffer there is no byte to name: both offsets are 0.
STDMETHODIMP CMiniportWaveRTStream::GetPosition(PKSAUDIO_POSITION Position)
{
    if (Position == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&m_PositionLock, &handle);
    ULONG position = m_Position == 0 ? m_PositionSize : m_Position;
    KeReleaseInStackQueuedSpinLock(&handle);
    Position->PlayOffset = position == 0 ? 0 : position - 1;
    Position->WriteOffset = Position->PlayOffset;
    return STATUS_SUCCESS;
}

// An event registered twice loses its registration and the call fails, so a caller that
// registers again by mistake sees the failure instead of a doubled signal.
STDMETHODIMP CMiniportWaveRTStream::RegisterNotificationEvent(PKEVENT NotificationEvent)
{
    if (NotificationEvent == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto record = static_cast<WAVERT_NOTIFICATION *>(
        ExAllocatePoolWithTag(g_PoolType, sizeof(WAVERT_NOTIFICATION), ASYNC_TAG));
    if (record == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%s: no memory for a notification record",
                    TRACE_DIRECTION(m_Capture));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    record->Event = NotificationEvent;
    WAVERT_NOTIFICATION *earlier = nullptr;
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&m_PositionLock, &handle);
    for (PLIST_ENTRY entry = m_Notifications.Flink; entry != &m_Notifications; entry = entry->Flink) {
        auto existing = CONTAINING_RECORD(entry, WAVERT_NOTIFICATION, Links);
        if (existing->Event == NotificationEvent) {
            RemoveEntryList(entry);
            earlier = existing;
            break;
        }
    }
    if (earlier == nullptr) {
        InsertTailList(&m_Notifications, &record->Links);
    }
    KeReleaseInStackQueuedSpinLock(&handle);
    if (earlier != nullptr) {
        ExFreePoolWithTag(earlier, ASYNC_TAG);
        ExFreePoolWithTag(record, ASYNC_TAG);
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "%s: event registered twice, registration removed",
                    TRACE_DIRECTION(m_Capture));
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP CMiniportWaveRTStream::UnregisterNotificationEvent(PKEVENT NotificationEvent)
{
    WAVERT_NOTIFICATION *found = nullptr;
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&m_PositionLock, &handle);
    for (PLIST_ENTRY entry = m_Notifications.Flink; entry != &m_Notifications; entry = entry->Flink) {
        auto existing = CONTAINING_RECORD(entry, WAVERT_NOTIFICATION, Links);
        if (existing->Event == NotificationEvent) {
            RemoveEntryList(entry);
            found = existing;
            break;
        }
    }
    KeReleaseInStackQueuedSpinLock(&handle);
    if (found == nullptr) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "%s: event not registered", TRACE_DIRECTION(m_Capture));
        return STATUS_NOT_FOUND;
    }
    ExFreePoolWithTag(found, ASYNC_TAG);
    return STATUS_SUCCESS;
}

VOID CMiniportWaveRTStream::SignalNotificationsLocked()
{
    for (PLIST_ENTRY entry = m_Notifications.Flink; entry != &m_Notifications; entry = entry->Flink) {
        KeSetEvent(CONTAINING_RECORD(entry, WAVERT_NOTIFICATION, Links)->Event, WAVERT_NOTIFY_INCREMENT, FALSE);
    }
}

// With one notification per buffer the events fire when the position wraps; with two also
// when it passes the middle. A position landing exactly on 0 is noticed at the next update,
// which is when the engine's first half is due anyway.
VOID CMiniportWaveRTStream::AdvancePosition(ULONG Bytes)
{
    if (Bytes == 0) {
        return;
    }
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&m_PositionLock, &handle);
    if (m_PositionSize != 0) {
        ULONG c = m_Position;
        ULONG d = static_cast<ULONG>((static_cast<ULONG64>(c) + Bytes) % m_PositionSize);
        ULONG half = m_PositionSize / 2;
        m_PreviousPosition = c;
        m_Position = d;
        BOOLEAN quiet = (d == 0 || d >= c) && (m_FirstUpdate || c != 0);
        BOOLEAN notify = FALSE;
        if (m_NotificationCount == 2) {
            notify = (c <= half && half < d) || !quiet;
        } else if (m_NotificationCount == 1) {
            notify = !quiet;
        }
        m_FirstUpdate = FALSE;
        if (notify) {
            SignalNotificationsLocked();
        }
    }
    KeReleaseInStackQueuedSpinLock(&handle);
}

VOID CMiniportWaveRTStream::QueueData(ULONG Bytes)
{
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&m_GateLock, &handle);
    if (m_GateClosed) {
        KeReleaseInStackQueuedSpinLock(&handle);
        return;
    }
    if (m_GateCount++ == 0) {
        KeClearEvent(&m_GateDrained);
    }
    KeReleaseInStackQueuedSpinLock(&handle);

    // Without a buffer there is nothing to queue (and no size to wrap at).
    if (m_BufferSize != 0 && m_pBuffer != nullptr && Bytes != 0) {
        PADAPTERCOMMON adapter = m_pMiniport->Adapter();
        ULONG bytes = Bytes > m_BufferSize ? m_BufferSize : Bytes;
        if (bytes != Bytes) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_STREAM, "%s: %lu bytes cut to the buffer's %lu",
                        TRACE_DIRECTION(m_Capture), Bytes, bytes);
        }
        ULONG &offset = m_Capture ? m_CaptureQueueOffset : m_RenderQueueOffset;
        ULONG first = m_BufferSize - offset;
        if (first > bytes) {
            first = bytes;
        }
        if (m_Capture) {
            adapter->QueueCaptureBuffer(m_pBuffer + offset, first);
            if (bytes > first) {
                adapter->QueueCaptureBuffer(m_pBuffer, bytes - first);
            }
        } else {
            adapter->QueueRenderBuffer(m_pBuffer + offset, first);
            if (bytes > first) {
                adapter->QueueRenderBuffer(m_pBuffer, bytes - first);
            }
        }
        offset = static_cast<ULONG>((static_cast<ULONG64>(offset) + bytes) % m_BufferSize);
    }

    KeAcquireInStackQueuedSpinLock(&m_GateLock, &handle);
    if (--m_GateCount == 0) {
        KeSetEvent(&m_GateDrained, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseInStackQueuedSpinLock(&handle);
}
