// CAdapterCommon: construction, interface queries, Init, the tuning values, stream formats,
// direction start and stop, the piece queues, power and surprise removal.
#include "AdapterCommon.h"
#include "StdPoolTags.h"
#include "StdTrace.h"

const WCHAR STD_TUNING_KEY[] = L"\\Registry\\Machine\\SOFTWARE\\Orvan\\Marla Series performance";

namespace {

// Driver-wide: the values the last start of each direction read.
STD_TUNING g_LastTuning[2] = {{STD_RENDER_MS_DEFAULT, STD_RENDER_IN_FLIGHT_DEFAULT},
                              {STD_CAPTURE_MS_DEFAULT, STD_CAPTURE_IN_FLIGHT_DEFAULT}};

// Room for every transfer a direction may keep in flight; StartStream narrows it to the tuning.
constexpr LONG INITIAL_SLOTS = STD_IN_FLIGHT_MAX;

// Query routine of the tuning entries: only a four-byte REG_DWORD replaces the default that
// its variable holds. A value of another type or size is passed over (STATUS_SUCCESS), so the
// other entry is still read; a direct entry would store a string or an oversized value over
// the variable and whatever follows it.
NTSTATUS StoreTuningDword(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength, PVOID Context,
                          PVOID EntryContext)
{
    UNREFERENCED_PARAMETER(ValueName);
    UNREFERENCED_PARAMETER(Context);
    if (ValueType == REG_DWORD && ValueLength == sizeof(ULONG) && ValueData != nullptr) {
        RtlCopyMemory(EntryContext, ValueData, sizeof(ULONG));
    }
    return STATUS_SUCCESS;
}

ULONG ClampTuning(ULONG value, ULONG defaultValue, ULONG maximum)
{
    if (value == 0) {
        return defaultValue;
    }
    return value > maximum ? maximum : value;
}

} // namespace

// Every member is set here: the block comes from pool, which holds no zeros to rely on.
CAdapterCommon::CAdapterCommon(PUNKNOWN UnknownOuter)
    : CUnknown(UnknownOuter), m_PowerState(PowerDeviceD0), m_Callback(nullptr), m_Format(), m_Thread(), m_InFlight(),
      m_BytesPerTransfer(), m_Tuning(), m_Recoveries(), m_RenderFillOwner(nullptr)
{
    KeInitializeEvent(&m_RemovedEvent, NotificationEvent, FALSE);
    KeInitializeSpinLock(&m_CallbackLock);
    KeInitializeMutex(&m_FormatMutex, 0);
    KeInitializeSpinLock(&m_RenderFillLock);
    for (ULONG i = 0; i < 2; ++i) {
        KeInitializeEvent(&m_StopEvent[i], NotificationEvent, TRUE);
        KeInitializeEvent(&m_ErrorEvent[i], NotificationEvent, FALSE);
        KeInitializeEvent(&m_RunEvent[i], NotificationEvent, FALSE);
        KeInitializeEvent(&m_IdleEvent[i], NotificationEvent, TRUE);
        KeInitializeSemaphore(&m_Slots[i], INITIAL_SLOTS, INITIAL_SLOTS);
        KeInitializeSpinLock(&m_InFlightLock[i]);
        KeInitializeSpinLock(&m_QueueLock[i]);
        InitializeListHead(&m_Queue[i]);
        m_Tuning[i] = g_LastTuning[i];
    }
    ExInitializeNPagedLookasideList(&m_PiecePool, nullptr, nullptr, 0, sizeof(STD_QUEUE_PIECE), STD_TAG, 0);
    ExInitializeNPagedLookasideList(&m_ContextPool, nullptr, nullptr, 0, sizeof(STD_TRANSFER_CONTEXT), STD_TAG, 0);
}

CAdapterCommon::~CAdapterCommon()
{
    // A worker thread and its transfers use this object until they end.
    JoinWorker(STD_RENDER);
    JoinWorker(STD_CAPTURE);
    // The last chain to end set the idle event under its in-flight lock; taking each lock once
    // waits until that completion has let go of it, the last thing it touches here.
    for (ULONG i = 0; i < 2; ++i) {
        KIRQL irql;
        KeAcquireSpinLock(&m_InFlightLock[i], &irql);
        KeReleaseSpinLock(&m_InFlightLock[i], irql);
    }
    FreeQueue(STD_RENDER);
    FreeQueue(STD_CAPTURE);
    ExDeleteNPagedLookasideList(&m_ContextPool);
    ExDeleteNPagedLookasideList(&m_PiecePool);
}

STDMETHODIMP CAdapterCommon::NonDelegatingQueryInterface(REFIID iid, PVOID *ppvObject)
{
    if (ppvObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *ppvObject = nullptr;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IAdapterCommon)) {
        *ppvObject = QICAST(IAdapterCommon *);
    } else if (IsEqualGUID(iid, IID_IAdapterPowerManagement)) {
        *ppvObject = QICAST(IAdapterPowerManagement *);
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    static_cast<IUnknown *>(*ppvObject)->AddRef();
    return STATUS_SUCCESS;
}

STD_TUNING CAdapterCommon::ReadTuning(BOOLEAN Capture)
{
    const ULONG msDefault = Capture ? STD_CAPTURE_MS_DEFAULT : STD_RENDER_MS_DEFAULT;
    const ULONG countDefault = Capture ? STD_CAPTURE_IN_FLIGHT_DEFAULT : STD_RENDER_IN_FLIGHT_DEFAULT;
    ULONG ms = msDefault;
    ULONG count = countDefault;
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    table[0].QueryRoutine = StoreTuningDword;
    table[0].Name = const_cast<PWSTR>(Capture ? L"param3" : L"param1");
    table[0].EntryContext = &ms;
    table[0].DefaultType = REG_NONE;
    table[1].QueryRoutine = StoreTuningDword;
    table[1].Name = const_cast<PWSTR>(Capture ? L"param4" : L"param2");
    table[1].EntryContext = &count;
    table[1].DefaultType = REG_NONE;
    STD_TUNING tuning = {msDefault, countDefault};
    if (NT_SUCCESS(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, STD_TUNING_KEY, table, nullptr, nullptr))) {
        tuning.MsPerTransfer = ClampTuning(ms, msDefault, STD_MS_PER_TRANSFER_MAX);
        tuning.TransfersInFlight = ClampTuning(count, countDefault, STD_IN_FLIGHT_MAX);
    }
    return tuning;
}

STD_TUNING CAdapterCommon::LastTuning(BOOLEAN Capture)
{
    return g_LastTuning[Capture ? STD_CAPTURE : STD_RENDER];
}

STDMETHODIMP CAdapterCommon::Init(PDEVICE_OBJECT PhysicalDeviceObject)
{
    PAGED_CODE();
    m_PowerState = PowerDeviceD0;
    RtlZeroMemory(m_Format, sizeof(m_Format));
    KeClearEvent(&m_RemovedEvent);
    for (ULONG i = 0; i < 2; ++i) {
        m_Thread[i] = nullptr;
        KeInitializeSemaphore(&m_Slots[i], INITIAL_SLOTS, INITIAL_SLOTS);
        KeSetEvent(&m_IdleEvent[i], IO_NO_INCREMENT, FALSE);
        KeClearEvent(&m_ErrorEvent[i]);
        KeClearEvent(&m_RunEvent[i]);
        KeSetEvent(&m_StopEvent[i], IO_NO_INCREMENT, FALSE);
        m_InFlight[i] = 0;
        m_BytesPerTransfer[i] = 0;
        m_Recoveries[i] = 0;
    }
    NTSTATUS status = m_Usb.Start(PhysicalDeviceObject);
    if (NT_SUCCESS(status)) {
        status = m_Usb.Configure();
    }
    return status;
}

STDMETHODIMP_(void) CAdapterCommon::SetCallback(PMINIPORTCALLBACK Callback)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_CallbackLock, &irql);
    m_Callback = Callback;
    KeReleaseSpinLock(&m_CallbackLock, irql);
}

STDMETHODIMP CAdapterCommon::GetFormatRange(BOOLEAN Capture, PULONG MaxChannels, PULONG MinBits, PULONG MaxBits,
                                            PULONG MinRate, PULONG MaxRate)
{
    if (IsDeviceRemoved()) {
        return STATUS_DELETE_PENDING;
    }
    if (MaxChannels == nullptr || MinBits == nullptr || MaxBits == nullptr || MinRate == nullptr ||
        MaxRate == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return m_Usb.GetFormatRange(Capture, MaxChannels, MinBits, MaxBits, MinRate, MaxRate);
}

VOID CAdapterCommon::AcquireFormatMutex()
{
    KeWaitForSingleObject(&m_FormatMutex, Executive, KernelMode, FALSE, nullptr);
}

VOID CAdapterCommon::ReleaseFormatMutex()
{
    KeReleaseMutex(&m_FormatMutex, FALSE);
}

// Expects the format mutex. The stored format stands while the direction runs.
NTSTATUS CAdapterCommon::SetFormatLocked(ULONG Direction, ULONG Channels, ULONG Bits, ULONG Rate)
{
    STD_STREAM_FORMAT &format = m_Format[Direction];
    if (format.Channels == Channels && format.Bits == Bits && format.Rate == Rate) {
        return STATUS_SUCCESS;
    }
    if (KeReadStateEvent(&m_StopEvent[Direction]) == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = m_Usb.IsFormatSupported(Direction == STD_CAPTURE, Channels, Bits, Rate);
    if (NT_SUCCESS(status)) {
        format.Channels = Channels;
        format.Bits = Bits;
        format.Rate = Rate;
        format.BytesPerFrame = Channels * (Bits / 8);
    }
    return status;
}

STDMETHODIMP CAdapterCommon::SetStreamFormat(BOOLEAN Capture, ULONG Channels, ULONG Bits, ULONG Rate)
{
    PAGED_CODE();
    if (IsDeviceRemoved()) {
        return STATUS_DELETE_PENDING;
    }
    AcquireFormatMutex();
    NTSTATUS status = SetFormatLocked(Index(Capture), Channels, Bits, Rate);
    ReleaseFormatMutex();
    return status;
}

STDMETHODIMP CAdapterCommon::ChangeStreamFormat(BOOLEAN Capture, ULONG Channels, ULONG Bits, ULONG Rate)
{
    return SetStreamFormat(Capture, Channels, Bits, Rate);
}

STDMETHODIMP_(void) CAdapterCommon::ClearStreamFormat(BOOLEAN Capture)
{
    PAGED_CODE();
    AcquireFormatMutex();
    RtlZeroMemory(&m_Format[Index(Capture)], sizeof(STD_STREAM_FORMAT));
    ReleaseFormatMutex();
}

STDMETHODIMP CAdapterCommon::StartStream(BOOLEAN Capture)
{
    PAGED_CODE();
    const ULONG direction = Index(Capture);
    NTSTATUS status = STATUS_SUCCESS;
    AcquireFormatMutex();
    if (IsDeviceRemoved()) {
        status = STATUS_DELETE_PENDING;
    } else if (m_Thread[direction] != nullptr) {
        // The direction runs already (its thread may have ended on a device-gone status and
        // still waits to be joined by StopStream).
        status = STATUS_UNSUCCESSFUL;
    } else {
        const STD_STREAM_FORMAT &format = m_Format[direction];
        STD_TUNING tuning = ReadTuning(Capture);
        g_LastTuning[direction] = tuning;
        m_Tuning[direction] = tuning;
        KeInitializeSemaphore(&m_Slots[direction], (LONG)tuning.TransfersInFlight, (LONG)tuning.TransfersInFlight);
        KeClearEvent(&m_ErrorEvent[direction]);
        ULONG bytes = 0;
        status = m_Usb.SelectStreamingFormat(Capture, format.Channels, format.Bits, format.Rate,
                                             tuning.MsPerTransfer, &bytes);
        if (NT_SUCCESS(status) && bytes == 0) {
            status = STATUS_NOT_SUPPORTED;
        }
        if (NT_SUCCESS(status)) {
            m_BytesPerTransfer[direction] = bytes;
            KeClearEvent(&m_StopEvent[direction]);
            status = CreateWorker(direction);
            if (!NT_SUCCESS(status)) {
                KeSetEvent(&m_StopEvent[direction], IO_NO_INCREMENT, FALSE);
            }
        }
        if (!NT_SUCCESS(status)) {
            ULONG none = 0;
            m_Usb.SelectStreamingFormat(Capture, 0, 0, 0, 0, &none);
            m_BytesPerTransfer[direction] = 0;
        }
    }
    ReleaseFormatMutex();
    return status;
}

VOID CAdapterCommon::JoinWorker(ULONG Direction)
{
    auto thread = static_cast<PKTHREAD>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&m_Thread[Direction]), nullptr));
    if (thread != nullptr) {
        KeSetEvent(&m_StopEvent[Direction], IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(thread);
    }
}

STDMETHODIMP CAdapterCommon::StopStream(BOOLEAN Capture)
{
    PAGED_CODE();
    if (IsDeviceRemoved()) {
        return STATUS_DELETE_PENDING;
    }
    const ULONG direction = Index(Capture);
    AcquireFormatMutex();
    JoinWorker(direction);
    // A direction that never started has its stop event set already; one whose start failed
    // set it again.
    KeSetEvent(&m_StopEvent[direction], IO_NO_INCREMENT, FALSE);
    ULONG none = 0;
    m_Usb.SelectStreamingFormat(Capture, 0, 0, 0, 0, &none);
    m_BytesPerTransfer[direction] = 0;
    ReleaseFormatMutex();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(void) CAdapterCommon::SetRunEvent(BOOLEAN Capture)
{
    KeSetEvent(&m_RunEvent[Index(Capture)], IO_NO_INCREMENT, FALSE);
}

STDMETHODIMP_(void) CAdapterCommon::ClearRunEvent(BOOLEAN Capture)
{
    KeClearEvent(&m_RunEvent[Index(Capture)]);
}

VOID CAdapterCommon::AppendPiece(ULONG Direction, PUCHAR Buffer, ULONG Length)
{
    if (IsDeviceRemoved() || Buffer == nullptr || Length == 0) {
        return;
    }
    auto piece = static_cast<STD_QUEUE_PIECE *>(ExAllocateFromNPagedLookasideList(&m_PiecePool));
    if (piece == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_STREAM, "%s: no queue entry, %lu bytes dropped\n",
                    TRACE_DIRECTION(Direction == STD_CAPTURE), Length);
        return;
    }
    piece->Start = Buffer;
    piece->Current = Buffer;
    piece->BytesLeft = Length;
    ExInterlockedInsertTailList(&m_Queue[Direction], &piece->Link, &m_QueueLock[Direction]);
}

STDMETHODIMP_(void) CAdapterCommon::QueueRenderBuffer(PUCHAR Buffer, ULONG Length)
{
    AppendPiece(STD_RENDER, Buffer, Length);
}

STDMETHODIMP_(void) CAdapterCommon::QueueCaptureBuffer(PUCHAR Buffer, ULONG Length)
{
    AppendPiece(STD_CAPTURE, Buffer, Length);
}

VOID CAdapterCommon::FreeQueue(ULONG Direction)
{
    PLIST_ENTRY entry;
    while ((entry = ExInterlockedRemoveHeadList(&m_Queue[Direction], &m_QueueLock[Direction])) != nullptr) {
        ExFreeToNPagedLookasideList(&m_PiecePool, CONTAINING_RECORD(entry, STD_QUEUE_PIECE, Link));
    }
}

STDMETHODIMP_(void) CAdapterCommon::FlushRenderQueue()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_RenderFillLock, &irql);
    FreeQueue(STD_RENDER);
    KeReleaseSpinLock(&m_RenderFillLock, irql);
}

STDMETHODIMP_(void) CAdapterCommon::FlushCaptureQueue()
{
    FreeQueue(STD_CAPTURE);
}

ULONG CAdapterCommon::QueuedPieces(BOOLEAN Capture)
{
    const ULONG direction = Index(Capture);
    ULONG count = 0;
    KIRQL irql;
    KeAcquireSpinLock(&m_QueueLock[direction], &irql);
    for (PLIST_ENTRY entry = m_Queue[direction].Flink; entry != &m_Queue[direction]; entry = entry->Flink) {
        ++count;
    }
    KeReleaseSpinLock(&m_QueueLock[direction], irql);
    return count;
}

STDMETHODIMP_(void) CAdapterCommon::SurpriseRemoval()
{
    PAGED_CODE();
    KeSetEvent(&m_RemovedEvent, IO_NO_INCREMENT, FALSE);
    // Transfers in flight fail as the device goes; a second lets them come back first.
    LARGE_INTEGER second;
    second.QuadPart = -10000000LL;
    KeDelayExecutionThread(KernelMode, FALSE, &second);
    ClearRunEvent(FALSE);
    ClearRunEvent(TRUE);
    // Under the format mutex, so that a start in progress has stored its thread to be joined.
    AcquireFormatMutex();
    JoinWorker(STD_RENDER);
    JoinWorker(STD_CAPTURE);
    ReleaseFormatMutex();
    FlushRenderQueue();
    FlushCaptureQueue();
}

STDMETHODIMP_(BOOLEAN) CAdapterCommon::IsDeviceRemoved()
{
    return KeReadStateEvent(&m_RemovedEvent) != 0 ? TRUE : FALSE;
}

STDMETHODIMP_(void) CAdapterCommon::PowerChangeState(POWER_STATE NewState)
{
    const ULONG state = (ULONG)NewState.DeviceState;
    if (state != m_PowerState && state >= PowerDeviceD0 && state <= PowerDeviceD3) {
        m_PowerState = state;
    }
}

STDMETHODIMP CAdapterCommon::QueryPowerChangeState(POWER_STATE NewStateQuery)
{
    UNREFERENCED_PARAMETER(NewStateQuery);
    return STATUS_SUCCESS;
}

STDMETHODIMP CAdapterCommon::QueryDeviceCapabilities(struct _DEVICE_CAPABILITIES *PowerDeviceCaps)
{
    if (PowerDeviceCaps != nullptr) {
        PowerDeviceCaps->SurpriseRemovalOK = 1;
    }
    return STATUS_SUCCESS;
}
