// CMiniportWaveRTStream: its faces, the format check, the states with the adapter's streaming
// behind them, the queue gate, the DRM face and the teardown that gives the reservation back.
#include "MiniportWaveRTStream.h"
#include <ksmedia.h>
#include "AsyncDriver.h"
#include "AsyncPoolTags.h"
#include "MiniportWaveRT.h"
#include "UsbAudioTrace.h"

CMiniportWaveRTStream::CMiniportWaveRTStream(PUNKNOWN UnknownOuter)
    : CUnknown(UnknownOuter), m_pMiniport(nullptr), m_pPortStream(nullptr), m_State(KSSTATE_STOP),
      m_Pin(static_cast<ULONG>(-1)), m_Capture(FALSE), m_GateClosed(TRUE), m_GateCount(0), m_pMdl(nullptr),
      m_pBuffer(nullptr), m_BufferSize(0), m_CaptureQueueOffset(0), m_RenderQueueOffset(0), m_FormatSet(FALSE),
      m_FormatKind(0), m_Channels(0), m_BitsPerSample(0), m_SampleRate(0), m_BlockAlign(0), m_PositionSize(0),
      m_Position(0), m_PreviousPosition(0), m_NotificationCount(1), m_FirstUpdate(TRUE), m_ContentId(0)
{
    KeInitializeSpinLock(&m_GateLock);
    KeInitializeEvent(&m_GateDrained, NotificationEvent, TRUE);
    KeInitializeSpinLock(&m_PositionLock);
    InitializeListHead(&m_Notifications);
}

CMiniportWaveRTStream::~CMiniportWaveRTStream()
{
    // Every downward step completes, whatever the adapter answers.
    while (m_State != KSSTATE_STOP) {
        StepState(static_cast<KSSTATE>(m_State - 1));
    }
    if (m_pMiniport != nullptr) {
        if (m_FormatSet) {
            m_pMiniport->Adapter()->ClearFormat(m_Capture);
        }
        // Closes the direction's slot, waits for the mix path to leave it and gives the
        // reservation back.
        m_pMiniport->StreamClosing(m_Capture);
    }
    ReleaseBuffer();
    while (!IsListEmpty(&m_Notifications)) {
        PLIST_ENTRY entry = RemoveHeadList(&m_Notifications);
        ExFreePoolWithTag(CONTAINING_RECORD(entry, WAVERT_NOTIFICATION, Links), ASYNC_TAG);
    }
    if (m_pPortStream != nullptr) {
        m_pPortStream->Release();
    }
    if (m_pMiniport != nullptr) {
        m_pMiniport->Release();
    }
}

STDMETHODIMP CMiniportWaveRTStream::NonDelegatingQueryInterface(REFIID iid, PVOID *ppvObject)
{
    if (ppvObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *ppvObject = nullptr;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniportWaveRTStream) ||
        IsEqualGUID(iid, IID_IMiniportWaveRTStreamNotification)) {
        *ppvObject = QICAST(IMiniportWaveRTStreamNotification *);
    } else if (IsEqualGUID(iid, IID_IDrmAudioStream)) {
        *ppvObject = QICAST(IDrmAudioStream *);
    }
    if (*ppvObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    static_cast<IUnknown *>(*ppvObject)->AddRef();
    return STATUS_SUCCESS;
}

// The wave header sits after the KSDATAFORMAT (wave specifier) or after the two words of the
// DirectSound buffer description; every field is read only once FormatSize covers it.
NTSTATUS CMiniportWaveRTStream::ParseFormat(PKSDATAFORMAT DataFormat, ULONG *Kind, PWAVEFORMATEX Wave)
{
    if (DataFormat == nullptr || DataFormat->FormatSize < sizeof(KSDATAFORMAT) ||
        !IsEqualGUID(DataFormat->MajorFormat, KSDATAFORMAT_TYPE_AUDIO)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ULONG offset = 0;
    if (IsEqualGUID(DataFormat->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)) {
        offset = FIELD_OFFSET(KSDATAFORMAT_WAVEFORMATEX, WaveFormatEx);
    } else if (IsEqualGUID(DataFormat->Specifier, KSDATAFORMAT_SPECIFIER_DSOUND)) {
        offset = FIELD_OFFSET(KSDATAFORMAT_DSOUND, BufferDesc) + FIELD_OFFSET(KSDSOUND_BUFFERDESC, WaveFormatEx);
    } else {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (DataFormat->FormatSize < offset + sizeof(WAVEFORMATEX)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const UCHAR *header = reinterpret_cast<const UCHAR *>(DataFormat) + offset;
    RtlCopyMemory(Wave, header, sizeof(WAVEFORMATEX));

    ULONG kind = 0;
    if (Wave->wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        if (DataFormat->FormatSize < offset + sizeof(WAVEFORMATEXTENSIBLE)) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        GUID subFormat;
        RtlCopyMemory(&subFormat, header + FIELD_OFFSET(WAVEFORMATEXTENSIBLE, SubFormat), sizeof(GUID));
        if (IsEqualGUID(subFormat, KSDATAFORMAT_SUBTYPE_PCM)) {
            kind = WAVERT_KIND_PCM;
        } else if (IsEqualGUID(subFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT)) {
            kind = WAVERT_KIND_IEEE_FLOAT;
        } else if (IsEqualGUID(subFormat, KSDATAFORMAT_SUBTYPE_ALAW)) {
            kind = WAVERT_KIND_ALAW;
        } else if (IsEqualGUID(subFormat, KSDATAFORMAT_SUBTYPE_MULAW)) {
            kind = WAVERT_KIND_MULAW;
        }
    } else if (Wave->wFormatTag == WAVERT_KIND_PCM || Wave->wFormatTag == WAVERT_KIND_IEEE_FLOAT ||
               Wave->wFormatTag == WAVERT_KIND_ALAW || Wave->wFormatTag == WAVERT_KIND_MULAW) {
        kind = Wave->wFormatTag;
    }
    if (kind == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    *Kind = kind;
    return STATUS_SUCCESS;
}

NTSTATUS CMiniportWaveRTStream::Init(CMiniportWaveRT *Miniport, PPORTWAVERTSTREAM PortStream, ULONG Pin,
                                     BOOLEAN Capture, PKSDATAFORMAT DataFormat)
{
    m_pMiniport = Miniport;
    m_pMiniport->AddRef();
    CloseGate();
    if (PortStream != nullptr) {
        m_pPortStream = PortStream;
        m_pPortStream->AddRef();
    }
    m_Pin = Pin;
    m_Capture = Capture;
    m_State = KSSTATE_STOP;
    m_CaptureQueueOffset = 0;
    m_RenderQueueOffset = 0;

    ULONG kind = 0;
    WAVEFORMATEX wave;
    NTSTATUS status = ParseFormat(DataFormat, &kind, &wave);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "%s: pin %lu: data format refused: 0x%08X",
                    TRACE_DIRECTION(Capture), Pin, status);
    } else {
        status = m_pMiniport->Adapter()->SetFormat(Capture, static_cast<USHORT>(kind), wave.nChannels,
                                                   wave.wBitsPerSample, wave.nSamplesPerSec);
        TraceEvents(NT_SUCCESS(status) ? TRACE_LEVEL_INFORMATION : TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL,
                    "%s: pin %lu: format %lu, %u channels, %u bits, %lu Hz: 0x%08X", TRACE_DIRECTION(Capture), Pin,
                    kind, wave.nChannels, wave.wBitsPerSample, wave.nSamplesPerSec, status);
    }
    if (NT_SUCCESS(status)) {
        m_FormatKind = kind;
        m_Channels = wave.nChannels;
        m_BitsPerSample = wave.wBitsPerSample;
        m_SampleRate = wave.nSamplesPerSec;
        m_BlockAlign = wave.nBlockAlign;
        m_FormatSet = TRUE;
        ResetPosition();
    }
    return status;
}

STDMETHODIMP CMiniportWaveRTStream::SetFormat(PKSDATAFORMAT DataFormat)
{
    UNREFERENCED_PARAMETER(DataFormat);
    return STATUS_NOT_SUPPORTED;
}

STDMETHODIMP CMiniportWaveRTStream::SetState(KSSTATE State)
{
    if (State == m_State) {
        return STATUS_SUCCESS;
    }
    LONG distance = static_cast<LONG>(State) - static_cast<LONG>(m_State);
    if (State > KSSTATE_RUN || (distance != 1 && distance != -1)) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "%s: no step from state %d to %d",
                    TRACE_DIRECTION(m_Capture), m_State, State);
        return STATUS_INVALID_PARAMETER;
    }
    return StepState(State);
}

// One neighbouring step. An upward step that fails leaves the state where it was; a downward
// step always completes and returns the adapter's answer.
NTSTATUS CMiniportWaveRTStream::StepState(KSSTATE To)
{
    NTSTATUS status = STATUS_SUCCESS;
    KSSTATE from = m_State;
    if (from == KSSTATE_ACQUIRE && To == KSSTATE_PAUSE) {
        status = StartAdapterStream();
    } else if (from == KSSTATE_PAUSE && To == KSSTATE_RUN) {
        OpenGate();
    } else if (from == KSSTATE_RUN && To == KSSTATE_PAUSE) {
        CloseGate();
    } else if (from == KSSTATE_PAUSE && To == KSSTATE_ACQUIRE) {
        status = StopAdapterStream();
    }
    if (NT_SUCCESS(status) || To < from) {
        m_State = To;
    }
    TraceEvents(NT_SUCCESS(status) ? TRACE_LEVEL_INFORMATION : TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL,
                "%s: state %d to %d: 0x%08X", TRACE_DIRECTION(m_Capture), from, To, status);
    return status;
}

NTSTATUS CMiniportWaveRTStream::StartAdapterStream()
{
    PADAPTERCOMMON adapter = m_pMiniport->Adapter();
    m_CaptureQueueOffset = 0;
    m_RenderQueueOffset = 0;
    ResetPosition();
    NTSTATUS status = adapter->StartStream(m_Capture);
    BOOLEAN started = NT_SUCCESS(status);
    if (started) {
        status = adapter->SetMixPrefill(m_Capture, m_BufferSize);
    }
    if (!NT_SUCCESS(status)) {
        adapter->ResetMix(m_Capture);
        // A start that failed holds no run count: stopping would take another client's.
        if (started) {
            adapter->StopStream(m_Capture);
        }
    }
    return status;
}

NTSTATUS CMiniportWaveRTStream::StopAdapterStream()
{
    PADAPTERCOMMON adapter = m_pMiniport->Adapter();
    adapter->ResetMix(m_Capture);
    NTSTATUS status = adapter->StopStream(m_Capture);
    if (m_Capture) {
        adapter->FlushCaptureQueue();
    } else {
        adapter->FlushRenderQueue();
    }
    return status;
}

VOID CMiniportWaveRTStream::OpenGate()
{
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&m_GateLock, &handle);
    m_GateClosed = FALSE;
    KeReleaseInStackQueuedSpinLock(&handle);
}

// PASSIVE_LEVEL: returns once no queue call is inside the gate.
VOID CMiniportWaveRTStream::CloseGate()
{
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&m_GateLock, &handle);
    m_GateClosed = TRUE;
    KeReleaseInStackQueuedSpinLock(&handle);
    KeWaitForSingleObject(&m_GateDrained, Executive, KernelMode, FALSE, nullptr);
}

STDMETHODIMP_(void) CMiniportWaveRTStream::GetHWLatency(KSRTAUDIO_HWLATENCY *HwLatency)
{
    if (HwLatency != nullptr) {
        HwLatency->FifoSize = 32;
        HwLatency->ChipsetDelay = 0;
        HwLatency->CodecDelay = 4;
    }
}

STDMETHODIMP CMiniportWaveRTStream::GetPositionRegister(KSRTAUDIO_HWREGISTER *Register)
{
    UNREFERENCED_PARAMETER(Register);
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP CMiniportWaveRTStream::GetClockRegister(KSRTAUDIO_HWREGISTER *Register)
{
    UNREFERENCED_PARAMETER(Register);
    return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP CMiniportWaveRTStream::SetContentId(ULONG ContentId, PCDRMRIGHTS DrmRights)
{
    UNREFERENCED_PARAMETER(DrmRights);
    m_ContentId = ContentId;
    return STATUS_SUCCESS;
}
