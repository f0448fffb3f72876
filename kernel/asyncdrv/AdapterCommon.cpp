// CAdapterCommon: construction, interface queries, Init with the tuning values, the device-key
// values and the stored rate, sample-rate changes, reservations, DSD mode, the filter, pin
// questions, power and removal.
#include "AdapterCommon.h"
#include "AdapterFilter.h"
#include "AsyncDriver.h"
#include "AsyncPoolTags.h"
#include "MiniportWaveRT.h"
#include "UsbAudioTrace.h"

namespace {

const WCHAR g_TuningKey[] = L"\\Registry\\Machine\\SOFTWARE\\Qel\\Sample Device Performance";
constexpr ULONG DEFAULT_SAMPLE_RATE = 44100;
constexpr ULONG RENDER_MS_LIMIT = 8;
constexpr ULONG RENDER_ONLY_MS_LIMIT = 4;
constexpr ULONG CAPTURE_MS_LIMIT = 1;
constexpr ULONG IN_FLIGHT_LIMIT = 8;

// The rate a device starts at when the stored one cannot be used: 44100, or on a device without
// it the first rate of the PCM rate table the device supports (44100 when it supports none).
ULONG FallbackSampleRate(CUSBAudioCL &usb)
{
    ULONG rate = DEFAULT_SAMPLE_RATE;
    if (!NT_SUCCESS(usb.IsSampleRateSupported(rate))) {
        for (ULONG i = 0; PcmTableRate(i) != 0; ++i) {
            if (NT_SUCCESS(usb.IsSampleRateSupported(PcmTableRate(i)))) {
                rate = PcmTableRate(i);
                break;
            }
        }
    }
    return rate;
}

} // namespace

// Every member is set here: the block comes from pool, which holds no zeros to rely on.
CAdapterCommon::CAdapterCommon(PUNKNOWN UnknownOuter)
    : CUnknown(UnknownOuter), m_Pdo(nullptr), m_Fdo(nullptr), m_PowerState(PowerDeviceD0), m_pMiniport(nullptr),
      m_StreamFormat(), m_DeviceFormat(), m_FormatSet(), m_TransferBytes(), m_CurrentRate(0), m_PendingRate(0),
      m_RunCount(), m_Duplex(0), m_DsdNative(0), m_Initialized(FALSE), m_CaptureUsers(0), m_RenderUsers(0),
      m_DsdHold(0), m_Filter(), m_Engine(), m_EngineMix()
{
    KeInitializeEvent(&m_RemovedEvent, NotificationEvent, FALSE);
    KeInitializeSpinLock(&m_MiniportLock);
    KeInitializeMutex(&m_StreamMutex, 0);
    for (ULONG i = 0; i < 2; ++i) {
        KeInitializeSpinLock(&m_QueueLock[i]);
        InitializeListHead(&m_Queue[i]);
    }
    KeInitializeSpinLock(&m_ReserveLock);
    ExInitializeNPagedLookasideList(&m_PiecePool, nullptr, nullptr, g_PoolType, sizeof(QUEUE_PIECE), ASYNC_TAG, 0);
    InitMixSources();
    InitializeEngine();
}

CAdapterCommon::~CAdapterCommon()
{
    // Threads, DPCs and work items of the engine end before anything they use goes away.
    DestroyEngine();
    FreeFilter();
    FlushCaptureQueue();
    FlushRenderQueue();
    ExDeleteNPagedLookasideList(&m_PiecePool);
    if (m_Fdo != nullptr) {
        ForgetAdapter(m_Fdo, this);
    }
    // A DPC of the device may still be returning after it reported idle.
    KeFlushQueuedDpcs();
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
    } else if (IsEqualGUID(iid, IID_IAdapterDsd) && m_DsdNative != 0) {
        *ppvObject = QICAST(IAdapterDsd *);
    }
    if (*ppvObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    static_cast<IUnknown *>(*ppvObject)->AddRef();
    return STATUS_SUCCESS;
}

namespace {

// Query routine of the tuning entries: only a four-byte REG_DWORD replaces the default that
// its variable holds. A value of another type or size is passed over (STATUS_SUCCESS), so the
// next entry is still read; a direct entry would store a string or an oversized value over
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

} // namespace

LONG CAdapterCommon::ReadTuningValues(BOOLEAN Capture, PULONG First, PULONG Second, ULONG FirstDefault,
                                      ULONG SecondDefault)
{
    UNREFERENCED_PARAMETER(SecondDefault);
    ULONG firstLimit = Capture ? CAPTURE_MS_LIMIT : RENDER_MS_LIMIT;
    if (First == nullptr || Second == nullptr) {
        return -1;
    }
    if (FirstDefault == 0 || FirstDefault > firstLimit) {
        return -2;
    }
    // A missing or unusable value leaves its default: the first default, and 8 transfers.
    ULONG first = FirstDefault;
    ULONG second = IN_FLIGHT_LIMIT;
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    table[0].QueryRoutine = StoreTuningDword;
    table[0].Name = const_cast<PWSTR>(Capture ? L"param3" : L"param1");
    table[0].EntryContext = &first;
    table[0].DefaultType = REG_NONE;
    table[1].QueryRoutine = StoreTuningDword;
    table[1].Name = const_cast<PWSTR>(Capture ? L"param4" : L"param2");
    table[1].EntryContext = &second;
    table[1].DefaultType = REG_NONE;
    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, g_TuningKey, table, nullptr, nullptr);
    if (!NT_SUCCESS(status)) {
        *First = FirstDefault;
        *Second = IN_FLIGHT_LIMIT;
        return 1;
    }
    if (first == 0) {
        first = FirstDefault;
    } else if (first > firstLimit) {
        first = firstLimit;
    }
    // A zero count takes the first value's default, as the tuning key has always been read.
    if (second == 0) {
        second = FirstDefault;
    } else if (second > IN_FLIGHT_LIMIT) {
        second = IN_FLIGHT_LIMIT;
    }
    *First = first;
    *Second = second;
    return 0;
}

NTSTATUS CAdapterCommon::ReadDeviceDword(PDEVICE_OBJECT Pdo, PCWSTR Name, PULONG Value)
{
    HANDLE key = nullptr;
    PKEY_VALUE_FULL_INFORMATION info = nullptr;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    NTSTATUS status = IoOpenDeviceRegistryKey(Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key);
    if (NT_SUCCESS(status)) {
        ULONG size = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) + name.Length + 8 + sizeof(ULONG);
        info = static_cast<PKEY_VALUE_FULL_INFORMATION>(ExAllocatePoolWithTag(PagedPool, size, ASYNC_TAG));
        if (info == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            ULONG returned = 0;
            status = ZwQueryValueKey(key, &name, KeyValueFullInformation, info, size, &returned);
            // Only a four-byte REG_DWORD is a value: any other size or type is unreadable.
            if (NT_SUCCESS(status) && (info->Type != REG_DWORD || info->DataLength != sizeof(ULONG) ||
                                       info->DataOffset > size - sizeof(ULONG))) {
                status = STATUS_OBJECT_TYPE_MISMATCH;
            }
            if (NT_SUCCESS(status)) {
                RtlCopyMemory(Value, reinterpret_cast<PUCHAR>(info) + info->DataOffset, sizeof(ULONG));
            }
        }
    }
    if (info != nullptr) {
        ExFreePoolWithTag(info, ASYNC_TAG);
    }
    if (key != nullptr) {
        ZwClose(key);
    }
    return status;
}

NTSTATUS CAdapterCommon::WriteSampleRate(PDEVICE_OBJECT Pdo, ULONG Value)
{
    HANDLE key = nullptr;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"SampleRate");
    NTSTATUS status = IoOpenDeviceRegistryKey(Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key);
    if (NT_SUCCESS(status)) {
        status = ZwSetValueKey(key, &name, 0, REG_DWORD, &Value, sizeof(Value));
        ZwClose(key);
    }
    return status;
}

STDMETHODIMP CAdapterCommon::Init(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_OBJECT DeviceObject)
{
    m_Pdo = PhysicalDeviceObject;
    m_Fdo = DeviceObject;
    m_PowerState = PowerDeviceD0;
    RtlZeroMemory(m_StreamFormat, sizeof(m_StreamFormat));
    RtlZeroMemory(m_DeviceFormat, sizeof(m_DeviceFormat));
    KeClearEvent(&m_RemovedEvent);
    m_RunCount[0] = m_RunCount[1] = 0;

    if (ReadTuningValues(FALSE, &g_Tuning.Param1, &g_Tuning.Param2, RENDER_MS_LIMIT, IN_FLIGHT_LIMIT) < 0) {
        g_Tuning.Param1 = RENDER_MS_LIMIT;
        g_Tuning.Param2 = IN_FLIGHT_LIMIT;
    }
    if (ReadTuningValues(TRUE, &g_Tuning.Param3, &g_Tuning.Param4, CAPTURE_MS_LIMIT, IN_FLIGHT_LIMIT) < 0) {
        g_Tuning.Param3 = CAPTURE_MS_LIMIT;
        g_Tuning.Param4 = IN_FLIGHT_LIMIT;
    }

    NTSTATUS status = m_Usb.Start(PhysicalDeviceObject, USB_AUDIO_IRP_COUNT);
    if (NT_SUCCESS(status)) {
        status = m_Usb.Configure();
    }
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "USB start or configuration failed: 0x%08X", status);
        return status;
    }

    ULONG value = 0;
    if (NT_SUCCESS(ReadDeviceDword(PhysicalDeviceObject, L"DSDNativeModeSupported", &value))) {
        m_DsdNative = value != 0 ? 1 : 0;
    } else {
        m_DsdNative = NT_SUCCESS(m_Usb.SetVendorMode(0)) ? 1 : 0;
    }
    value = 0;
    g_DumpCapture = NT_SUCCESS(ReadDeviceDword(PhysicalDeviceObject, L"gDumpCapture", &value))
                        ? static_cast<LONG>(value)
                        : 0;

    if (m_Usb.GetRecord(0) != nullptr && m_Usb.GetRecord(1) != nullptr) {
        m_Duplex = 1;
    } else if (m_Usb.GetRecord(0) != nullptr && g_Tuning.Param1 > RENDER_ONLY_MS_LIMIT) {
        g_Tuning.Param1 = RENDER_ONLY_MS_LIMIT;
    }

    status = RestoreSampleRate();
    if (!NT_SUCCESS(status)) {
        return status;
    }

    m_CaptureUsers = m_RenderUsers = m_DsdHold = 0;
    m_PendingRate = 0;
    m_Initialized = TRUE;
    // Last: opening the channel's request gate lets "\asio" handles in.
    m_Channel.Init(this);
    return STATUS_SUCCESS;
}

// The stored rate, or the fallback rate when none is stored, the stored one is unreadable or
// the device does not support it; a replaced rate is written back.
NTSTATUS CAdapterCommon::RestoreSampleRate()
{
    ULONG rate = 0;
    NTSTATUS status = ReadDeviceDword(m_Pdo, L"SampleRate", &rate);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        rate = DEFAULT_SAMPLE_RATE;
        status = WriteSampleRate(m_Pdo, rate);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "SampleRate %lu not written: 0x%08X", rate, status);
            return status;
        }
    } else if (status == STATUS_OBJECT_TYPE_MISMATCH) {
        rate = 0;
    } else if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "SampleRate not read: 0x%08X", status);
        return status;
    }
    status = rate == 0 ? STATUS_INVALID_PARAMETER : m_Usb.IsSampleRateSupported(rate);
    if (status == STATUS_INVALID_PARAMETER) {
        const ULONG stored = rate;
        rate = FallbackSampleRate(m_Usb);
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_SETTINGS, "stored rate %lu not supported, %lu used", stored, rate);
        status = WriteSampleRate(m_Pdo, rate);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "SampleRate %lu not written: 0x%08X", rate, status);
        }
    } else if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "rate %lu not checked: 0x%08X", rate, status);
        return status;
    }
    m_CurrentRate = rate;
    // A class 1 device takes its rate with the alternate setting: the call fails there at every
    // start, as expected. Elsewhere a failure leaves a warning; the start goes on either way.
    status = m_Usb.SetSampleRate(rate);
    if (!NT_SUCCESS(status)) {
        TraceEvents(m_Usb.IsUac2() ? TRACE_LEVEL_WARNING : TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE,
                    "device rate %lu not set: 0x%08X", rate, status);
    }
    return STATUS_SUCCESS;
}

STDMETHODIMP CAdapterCommon::SetMiniport(PMINIPORTWAVERTEXT Miniport)
{
    if (Miniport != nullptr) {
        KIRQL irql;
        KeAcquireSpinLock(&m_MiniportLock, &irql);
        m_pMiniport = Miniport;
        KeReleaseSpinLock(&m_MiniportLock, irql);
    }
    return STATUS_SUCCESS;
}

VOID CAdapterCommon::ForgetMiniport(PMINIPORTWAVERTEXT Miniport)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_MiniportLock, &irql);
    if (m_pMiniport == Miniport) {
        m_pMiniport = nullptr;
    }
    KeReleaseSpinLock(&m_MiniportLock, irql);
}

STDMETHODIMP CAdapterCommon::GetSampleRate(PULONG Rate)
{
    if (Rate == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Rate = m_CurrentRate;
    return STATUS_SUCCESS;
}

// The subdevice is only unregistered for a rate that can have one: a rate the device lacks or
// one without a subdevice name is refused first. Without a registered miniport (the last
// registration failed) the call registers again, also at the current rate. A failed
// registration is returned; the rate is set and stored by then. PASSIVE_LEVEL.
STDMETHODIMP CAdapterCommon::SetSampleRate(ULONG Rate)
{
    if (IsRemoved()) {
        return STATUS_DELETE_PENDING;
    }
    PCWSTR name = WaveSubdeviceName(Rate);
    NTSTATUS status = STATUS_SUCCESS;
    BOOLEAN registerAgain = FALSE;
    // The stream mutex is held from the checks until the new rate is set, so that no stream
    // can start at the old rate in between.
    AcquireStreamMutex();
    KIRQL irql;
    KeAcquireSpinLock(&m_MiniportLock, &irql);
    PMINIPORTWAVERTEXT miniport = m_pMiniport;
    if (miniport != nullptr) {
        miniport->AddRef();
    }
    KeReleaseSpinLock(&m_MiniportLock, irql);
    if (Rate == m_CurrentRate && (m_PendingRate == 0 || m_PendingRate == Rate) &&
        (miniport != nullptr || name == nullptr)) {
        status = STATUS_SUCCESS;
    } else if (!NT_SUCCESS(m_Usb.IsSampleRateSupported(Rate)) || name == nullptr) {
        status = STATUS_INVALID_PARAMETER;
    } else if (m_RunCount[0] != 0 || m_RunCount[1] != 0) {
        status = STATUS_DEVICE_BUSY;
    } else {
        if (miniport != nullptr) {
            miniport->UnregisterSubdevice(m_Fdo);
            ForgetMiniport(miniport);
        }
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "rate %lu to %lu", m_CurrentRate, Rate);
        m_PendingRate = 0;
        m_CurrentRate = Rate;
        const NTSTATUS set = m_Usb.SetSampleRate(Rate);
        if (!NT_SUCCESS(set)) {
            TraceEvents(m_Usb.IsUac2() ? TRACE_LEVEL_WARNING : TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE,
                        "device rate %lu not set: 0x%08X", Rate, set);
        }
        const NTSTATUS written = WriteSampleRate(m_Pdo, Rate);
        if (!NT_SUCCESS(written)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "SampleRate %lu not written: 0x%08X", Rate, written);
        }
        registerAgain = TRUE;
    }
    ReleaseStreamMutex();
    if (miniport != nullptr) {
        miniport->Release();
    }
    if (registerAgain) {
        status = RegisterWaveSubdevice(m_Fdo, this);
    }
    return status;
}

STDMETHODIMP CAdapterCommon::GetSampleRateRange(PULONG Lowest, PULONG Highest)
{
    if (Lowest == nullptr || Highest == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG direction = m_Usb.GetRecord(0) != nullptr ? 0 : 1;
    if (m_Usb.GetRecord(direction) == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ULONG channels = 0, minBits = 0, maxBits = 0;
    AcquireStreamMutex();
    NTSTATUS status = m_Usb.GetTerminalFormatRange(direction, &channels, &minBits, &maxBits, Lowest, Highest);
    ReleaseStreamMutex();
    return status;
}

STDMETHODIMP CAdapterCommon::ReserveStreams(BOOLEAN Capture, BOOLEAN Render, BOOLEAN Dsd)
{
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;
    KeAcquireSpinLock(&m_ReserveLock, &irql);
    if (m_DsdHold != 0) {
        status = STATUS_DEVICE_BUSY;
    } else if (Dsd && (m_CaptureUsers != 0 || m_RenderUsers != 0)) {
        status = STATUS_DEVICE_BUSY;
    } else {
        m_CaptureUsers += Capture ? 1 : 0;
        m_RenderUsers += Render ? 1 : 0;
        m_DsdHold = Dsd ? 1 : 0;
    }
    KeReleaseSpinLock(&m_ReserveLock, irql);
    return status;
}

STDMETHODIMP CAdapterCommon::ReleaseStreams(BOOLEAN Capture, BOOLEAN Render)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_ReserveLock, &irql);
    if (Capture && m_CaptureUsers != 0) {
        --m_CaptureUsers;
    } else if (Capture) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "i: no reservation to release");
    }
    if (Render && m_RenderUsers != 0) {
        --m_RenderUsers;
    } else if (Render) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "o: no reservation to release");
    }
    if (m_DsdHold != 0 && (m_CaptureUsers != 0 || m_RenderUsers != 0)) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "DSD hold cleared with users i %lu o %lu",
                    m_CaptureUsers, m_RenderUsers);
    }
    m_DsdHold = 0;
    KeReleaseSpinLock(&m_ReserveLock, irql);
    return STATUS_SUCCESS;
}

STDMETHODIMP CAdapterCommon::SetDsdMode(USHORT Mode)
{
    if (m_DsdNative == 0) {
        return Mode != 0 ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
    }
    NTSTATUS status = STATUS_SUCCESS;
    AcquireStreamMutex();
    USB_STREAMING_INTERFACE *first = m_Usb.m_pStreamingInterfaces;
    if (Mode == (first != nullptr ? first->VendorMode : 0)) {
        status = STATUS_SUCCESS;
    } else if (m_RunCount[0] != 0 || m_RunCount[1] != 0) {
        status = STATUS_DEVICE_BUSY;
    } else {
        status = m_Usb.SetVendorMode(Mode);
    }
    ReleaseStreamMutex();
    return status;
}

STDMETHODIMP_(ULONG) CAdapterCommon::IsDsdSupported() { return m_DsdNative; }

NTSTATUS CAdapterCommon::BuildOwnedFilter(OWNED_FILTER *Filter)
{
    // The library rebuilds its records' data ranges, which the data-range questions read under
    // the same mutex.
    AcquireStreamMutex();
    NTSTATUS status = m_Usb.BuildFilter(&Filter->Descriptor, &g_AdapterFilterAutomation);
    if (NT_SUCCESS(status)) {
        status = OwnFilterDataRanges(&Filter->Descriptor, g_PoolType, &Filter->Ranges);
        if (!NT_SUCCESS(status)) {
            m_Usb.FreeFilter(&Filter->Descriptor);
        }
    }
    ReleaseStreamMutex();
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "filter not built: 0x%08X", status);
    }
    Filter->Built = NT_SUCCESS(status);
    return status;
}

VOID CAdapterCommon::FreeOwnedFilter(OWNED_FILTER *Filter)
{
    if (Filter->Built) {
        m_Usb.FreeFilter(&Filter->Descriptor);
        ExFreePoolWithTag(Filter->Ranges, ASYNC_TAG);
        Filter->Ranges = nullptr;
        Filter->Built = FALSE;
    }
}

// The adapter's own description is built once and kept until the adapter goes: the pin and
// node questions of every filter, open or not, read it while miniports come and go.
STDMETHODIMP CAdapterCommon::BuildFilter()
{
    return m_Filter.Built ? STATUS_SUCCESS : BuildOwnedFilter(&m_Filter);
}

STDMETHODIMP CAdapterCommon::FreeFilter()
{
    FreeOwnedFilter(&m_Filter);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(PPCFILTER_DESCRIPTOR) CAdapterCommon::GetFilterDescriptor()
{
    return m_Filter.Built ? &m_Filter.Descriptor : nullptr;
}

STDMETHODIMP_(PPCFILTER_DESCRIPTOR) CAdapterCommon::GetFilterDescriptorAgain() { return GetFilterDescriptor(); }

const USBAUDIO_PIN_ELEMENT *CAdapterCommon::PinElement(ULONG Pin)
{
    const PCFILTER_DESCRIPTOR &filter = m_Filter.Descriptor;
    if (!m_Filter.Built || Pin >= filter.PinCount) {
        return nullptr;
    }
    const UCHAR *pins = reinterpret_cast<const UCHAR *>(filter.Pins);
    return reinterpret_cast<const USBAUDIO_PIN_ELEMENT *>(pins + static_cast<SIZE_T>(Pin) * filter.PinSize);
}

BOOLEAN CAdapterCommon::IsCapturePin(ULONG Pin)
{
    const USBAUDIO_PIN_ELEMENT *pin = PinElement(Pin);
    return pin != nullptr && pin->Path == USBAUDIO_PATH_CAPTURE;
}

STDMETHODIMP CAdapterCommon::GetPinInfo(ULONG Pin, GUID *Modes, PULONG Count)
{
    if (Count == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const USBAUDIO_PIN_ELEMENT *pin = PinElement(Pin);
    if (pin == nullptr) {
        *Count = 0;
        return STATUS_INVALID_PARAMETER;
    }
    if (pin->Descriptor.KsPinDescriptor.Communication == KSPIN_COMMUNICATION_BRIDGE) {
        *Count = 0;
        return STATUS_NOT_SUPPORTED;
    }
    if (Modes != nullptr) {
        if (*Count == 0) {
            *Count = 1;
            return STATUS_BUFFER_TOO_SMALL;
        }
        Modes[0] = AUDIO_SIGNALPROCESSINGMODE_RAW;
    }
    *Count = 1;
    return STATUS_SUCCESS;
}

STDMETHODIMP CAdapterCommon::PrepareRemoval()
{
    KeSetEvent(&m_RemovedEvent, IO_NO_INCREMENT, FALSE);
    // Closes the request gate, waits for the channel requests inside it, then stops and
    // unprepares the channel whatever its handles' states.
    m_Channel.PrepareRemoval();
    // Bounded: a duplex stop that finds the counts unequal does not count down.
    for (ULONG i = 0; i < ADAPTER_MAX_REMOVAL_STOPS && m_RunCount[0] != 0; ++i) {
        StopStream(FALSE);
    }
    for (ULONG i = 0; i < ADAPTER_MAX_REMOVAL_STOPS && m_RunCount[1] != 0; ++i) {
        StopStream(TRUE);
    }
    return STATUS_SUCCESS;
}

// Back in D0 the device may have lost its interface settings: every direction that does not
// stream returns to alternate setting 0, so that its next start selects its format again, and a
// DSD-native device gets its vendor mode back. A direction that streams keeps its interface:
// deselecting it would silence it without telling its client. Under the stream mutex, so that
// the change cannot fall between a start's selection and its run count. PASSIVE_LEVEL.
STDMETHODIMP_(void) CAdapterCommon::PowerChangeState(POWER_STATE NewState)
{
    AcquireStreamMutex();
    if (static_cast<ULONG>(NewState.DeviceState) != m_PowerState) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "D%lu to D%lu", m_PowerState - PowerDeviceD0,
                    static_cast<ULONG>(NewState.DeviceState) - PowerDeviceD0);
        m_PowerState = static_cast<ULONG>(NewState.DeviceState);
        if (NewState.DeviceState == PowerDeviceD0) {
            for (ULONG direction = 0; direction < 2; ++direction) {
                if (m_RunCount[direction] == 0) {
                    DeselectDeviceFormat(direction != 0);
                }
            }
            if (m_DsdNative != 0) {
                m_Usb.RestoreVendorMode();
            }
        }
    }
    ReleaseStreamMutex();
}

STDMETHODIMP CAdapterCommon::QueryPowerChangeState(POWER_STATE NewStateQuery)
{
    UNREFERENCED_PARAMETER(NewStateQuery);
    return STATUS_SUCCESS;
}

// The device may be unplugged at any time; telling PnP so keeps the removal quiet.
STDMETHODIMP CAdapterCommon::QueryDeviceCapabilities(struct _DEVICE_CAPABILITIES *PowerDeviceCaps)
{
    if (PowerDeviceCaps != nullptr) {
        PowerDeviceCaps->SurpriseRemovalOK = 1;
    }
    return STATUS_SUCCESS;
}

BOOLEAN CAdapterCommon::IsRemoved() { return KeReadStateEvent(&m_RemovedEvent) != 0; }

VOID CAdapterCommon::AcquireStreamMutex()
{
    KeWaitForSingleObject(&m_StreamMutex, Executive, KernelMode, FALSE, nullptr);
}

VOID CAdapterCommon::ReleaseStreamMutex() { KeReleaseMutex(&m_StreamMutex, FALSE); }
