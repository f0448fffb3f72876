// CUSBAudioCL start: the AudioControl interface and its entities, the streaming interface
// records, device configuration, pipe binding and the capture packet check.
#include "USBAudioCL.h"
#include "USBAudioClock.h"
#include "USBAudioEntity.h"
#include "USBAudioFeatureUnit.h"
#include "USBAudioTerminal.h"
#include "UsbAudioPoolTags.h"
#include "UsbAudioQuirks.h"
#include "UsbAudioTrace.h"
#include "UsbDescriptor.h"

namespace {

constexpr ULONG MAX_ALTERNATES = 256;
constexpr ULONG MIN_FEEDBACK_PERIOD = 4;
constexpr ULONG MAX_FEEDBACK_PERIOD = 1024;
constexpr ULONG ENDPOINT_DESC_LENGTH = 7;
constexpr ULONG UAC1_SYNCH_ENDPOINT_LENGTH = 9;

BOOLEAN SameDevice(USHORT vendorId, USHORT productId, const USB_AUDIO_DEVICE_ID &id)
{
    return vendorId == id.VendorId && productId == id.ProductId;
}

UCHAR EndpointUsage(const UCHAR *endpoint)
{
    return static_cast<UCHAR>((UsbDescByte(endpoint, 3) >> 4) & 3);
}

BOOLEAN IsIsochronousEndpoint(const UCHAR *endpoint)
{
    return (UsbDescByte(endpoint, 3) & 3) == 1;
}

} // namespace

CUSBAudioCL::CUSBAudioCL()
    : m_CurrentSampleRate(0), m_pPatternRow(nullptr), m_PatternPosition(0), m_RenderPacketInterval(1),
      m_IsUac2(FALSE), m_pAcInterface(nullptr), m_pAcHeader(nullptr), m_pEntities(nullptr),
      m_StreamingInterfaceCount(0), m_pStreamingInterfaces(nullptr), m_pRender(nullptr), m_pCapture(nullptr),
      m_ImplicitFeedback(FALSE)
{
}

CUSBAudioCL::~CUSBAudioCL()
{
    ReleaseModel();
}

VOID CUSBAudioCL::ReleaseModel()
{
    while (m_pStreamingInterfaces != nullptr) {
        USB_STREAMING_INTERFACE *record = m_pStreamingInterfaces;
        m_pStreamingInterfaces = record->Next;
        if (record->Alternates != nullptr) {
            ExFreePoolWithTag(record->Alternates, USBAUDIO_TAG);
        }
        if (record->DataRanges != nullptr) {
            ExFreePoolWithTag(record->DataRanges, USBAUDIO_TAG);
        }
        ExFreePoolWithTag(record, USBAUDIO_TAG);
    }
    while (m_pEntities != nullptr) {
        CUSBAudioEntity *entity = m_pEntities;
        m_pEntities = entity->m_pNext;
        delete entity;
    }
    m_StreamingInterfaceCount = 0;
    m_pRender = nullptr;
    m_pCapture = nullptr;
    m_ImplicitFeedback = FALSE;
    m_pAcInterface = nullptr;
    m_pAcHeader = nullptr;
}

UCHAR CUSBAudioCL::AudioInterfaceClass() const
{
    USHORT vid = GetVendorId();
    USHORT pid = GetProductId();
    return SameDevice(vid, pid, USB_AUDIO_QUIRK_MAKER_VENDOR_CLASS) || SameDevice(vid, pid, USB_AUDIO_QUIRK_OTHER_VENDOR_CLASS)
               ? USB_VENDOR_CLASS
               : USB_AUDIO_CLASS;
}

BOOLEAN CUSBAudioCL::IsFullConfigurationDevice() const
{
    return AudioInterfaceClass() == USB_VENDOR_CLASS ||
           SameDevice(GetVendorId(), GetProductId(), USB_AUDIO_QUIRK_FULL_CONFIGURATION);
}

BOOLEAN CUSBAudioCL::HasLengthPrefixedRender() const
{
    return SameDevice(GetVendorId(), GetProductId(), USB_AUDIO_QUIRK_MAKER_VENDOR_CLASS);
}

UCHAR CUSBAudioCL::GetAcInterfaceNumber() const
{
    return UsbDescByte(m_pAcInterface, 2);
}

NTSTATUS CUSBAudioCL::Start(PDEVICE_OBJECT pdo, ULONG irpCount)
{
    ReleaseModel();
    NTSTATUS status = Init(pdo, irpCount);
    USB_DESC_VIEW view = {m_pConfigDescriptor, m_ConfigLength};
    const UCHAR *acEnd = nullptr;
    if (NT_SUCCESS(status)) {
        m_pAcInterface = view.FindInterface(USB_ANY, 0, AudioInterfaceClass(), USB_AUDIO_SUBCLASS_CONTROL);
        if (m_pAcInterface == nullptr) {
            status = STATUS_NOT_SUPPORTED;
        }
    }
    if (NT_SUCCESS(status)) {
        acEnd = view.InterfaceSpanEnd(m_pAcInterface);
        const UCHAR *header = view.Next(m_pAcInterface);
        if (header == nullptr || header >= acEnd || header[1] != USB_DESC_CS_INTERFACE ||
            UsbDescByte(header, 2) != UAC_AC_HEADER) {
            status = STATUS_NOT_SUPPORTED;
        } else {
            m_pAcHeader = header;
            m_IsUac2 = UsbDescWord(header, 3) == 0x0200 ? TRUE : FALSE;
            ULONG totalLength = UsbDescWord(header, m_IsUac2 ? 6 : 5);
            if (totalLength > static_cast<ULONG>(acEnd - header)) {
                status = STATUS_NOT_SUPPORTED;
            }
        }
    }
    if (NT_SUCCESS(status)) {
        status = BuildEntityList(acEnd);
    }
    if (NT_SUCCESS(status)) {
        status = CreateStreamingInterfaceList();
    }
    for (USB_STREAMING_INTERFACE *record = m_pStreamingInterfaces; NT_SUCCESS(status) && record != nullptr;
         record = record->Next) {
        const UCHAR *general = record->AlternateCount > 1 ? record->Alternates[1].AsGeneral : nullptr;
        CUSBAudioEntity *terminal = general != nullptr ? FindEntity(UsbDescByte(general, 3)) : nullptr;
        UCHAR subtype = terminal != nullptr ? terminal->GetSubtype() : 0;
        if (subtype != UAC_AC_INPUT_TERMINAL && subtype != UAC_AC_OUTPUT_TERMINAL) {
            status = STATUS_NOT_SUPPORTED;
        } else {
            record->Terminal = static_cast<CUSBAudioTerminal *>(terminal);
        }
    }
    if (NT_SUCCESS(status)) {
        for (USB_STREAMING_INTERFACE *record = m_pStreamingInterfaces; record != nullptr; record = record->Next) {
            if (record->Direction == USB_STREAM_RENDER && m_pRender == nullptr) {
                m_pRender = record;
            } else if (record->Direction == USB_STREAM_CAPTURE && m_pCapture == nullptr) {
                m_pCapture = record;
            }
        }
        m_ImplicitFeedback = m_pRender != nullptr && m_pCapture != nullptr &&
                                     (!m_IsUac2 || m_pRender->Terminal->GetClockSourceID() ==
                                                       m_pCapture->Terminal->GetClockSourceID())
                                 ? TRUE
                                 : FALSE;
    }
    if (!NT_SUCCESS(status)) {
        ReleaseModel();
    }
    return status;
}

CUSBAudioEntity *CUSBAudioCL::CreateEntity(const UCHAR *d)
{
    POOL_TYPE pool = PoolType();
    CUSBAudioEntity *entity = nullptr;
    UCHAR subtype = d[2];
    switch (subtype) {
    case UAC_AC_INPUT_TERMINAL:
        entity = new (pool, USBAUDIO_TAG) CUSBAudioInputTerminal(d, this);
        break;
    case UAC_AC_OUTPUT_TERMINAL:
        entity = new (pool, USBAUDIO_TAG) CUSBAudioOutputTerminal(d, this);
        break;
    case UAC_AC_FEATURE_UNIT:
        entity = new (pool, USBAUDIO_TAG) CUSBAudioFeatureUnit(d, this);
        break;
    case UAC1_AC_PROCESSING_UNIT:
        // Subtype 7 is the effect unit of revision 2, which the driver does not use.
        entity = m_IsUac2 ? static_cast<CUSBAudioEntity *>(new (pool, USBAUDIO_TAG) CUSBAudioDummyEntity(d, this))
                          : new (pool, USBAUDIO_TAG) CUSBAudioProcessingUnit(d, this);
        break;
    case UAC2_AC_CLOCK_SOURCE:
        entity = new (pool, USBAUDIO_TAG) CUSBAudioClockSource(d, this);
        break;
    case UAC2_AC_CLOCK_SELECTOR:
        entity = new (pool, USBAUDIO_TAG) CUSBAudioClockSelector(d, this);
        break;
    default:
        entity = new (pool, USBAUDIO_TAG) CUSBAudioDummyEntity(d, this);
        break;
    }
    return entity;
}

NTSTATUS CUSBAudioCL::BuildEntityList(const UCHAR *acEnd)
{
    USB_DESC_VIEW view = {m_pConfigDescriptor, m_ConfigLength};
    const UCHAR *limit = m_pAcHeader + UsbDescWord(m_pAcHeader, m_IsUac2 ? 6 : 5);
    CUSBAudioEntity **tail = &m_pEntities;
    const UCHAR *next = view.Next(m_pAcHeader);
    for (const UCHAR *d = next != nullptr ? view.FindType(next, USB_DESC_CS_INTERFACE, limit) : nullptr;
         d != nullptr; d = view.Next(d) != nullptr ? view.FindType(view.Next(d), USB_DESC_CS_INTERFACE, limit) : nullptr) {
        UCHAR subtype = UsbDescByte(d, 2);
        BOOLEAN known = m_IsUac2 ? subtype >= 2 && subtype <= 13 : subtype >= 2 && subtype <= 8;
        if (!known) {
            break;
        }
        // Only the bytes up to the next interface may belong to the entity.
        if (d + d[0] > acEnd) {
            break;
        }
        CUSBAudioEntity *entity = CreateEntity(d);
        if (entity == nullptr) {
            break;
        }
        *tail = entity;
        tail = &entity->m_pNext;
    }
    // Every entity is initialised; the last result decides, as later parts null-check the
    // links an earlier failure left unresolved.
    NTSTATUS status = STATUS_SUCCESS;
    for (CUSBAudioEntity *entity = m_pEntities; entity != nullptr; entity = entity->m_pNext) {
        status = entity->Init();
    }
    return status;
}

CUSBAudioEntity *CUSBAudioCL::FindEntity(UCHAR id)
{
    CUSBAudioEntity *found = nullptr;
    for (CUSBAudioEntity *entity = m_pEntities; id != 0 && entity != nullptr; entity = entity->m_pNext) {
        if (entity->GetID() == id) {
            found = entity;
            break;
        }
    }
    return found;
}

CUSBAudioClock *CUSBAudioCL::FindClock(UCHAR id)
{
    CUSBAudioEntity *entity = m_IsUac2 ? FindEntity(id) : nullptr;
    UCHAR subtype = entity != nullptr ? entity->GetSubtype() : 0;
    return subtype == UAC2_AC_CLOCK_SOURCE || subtype == UAC2_AC_CLOCK_SELECTOR ? static_cast<CUSBAudioClock *>(entity)
                                                                                : nullptr;
}

NTSTATUS CUSBAudioCL::ClassRequest(UCHAR requestType, UCHAR request, UCHAR controlSelector, UCHAR channel,
                                   UCHAR entityId, USHORT length, PVOID buffer, PULONG returned)
{
    USHORT value = static_cast<USHORT>((controlSelector << 8) | channel);
    USHORT index = static_cast<USHORT>((entityId << 8) | GetAcInterfaceNumber());
    return ControlRequest(requestType, request, value, index, length, buffer, returned);
}

NTSTATUS CUSBAudioCL::CreateStreamingInterfaceList()
{
    NTSTATUS status = STATUS_SUCCESS;
    USB_DESC_VIEW view = {m_pConfigDescriptor, m_ConfigLength};
    USB_STREAMING_INTERFACE **tail = &m_pStreamingInterfaces;
    for (ULONG number = GetAcInterfaceNumber() + 1u; number <= 0xFF; ++number) {
        if (view.FindInterface(static_cast<LONG>(number), 0, AudioInterfaceClass(), USB_AUDIO_SUBCLASS_STREAMING) ==
            nullptr) {
            break;
        }
        auto record = static_cast<USB_STREAMING_INTERFACE *>(
            ExAllocatePoolWithTag(PoolType(), sizeof(USB_STREAMING_INTERFACE), USBAUDIO_TAG));
        if (record == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        RtlZeroMemory(record, sizeof(*record));
        record->InterfaceNumber = static_cast<UCHAR>(number);
        KeInitializeSpinLock(&record->FeedbackLock);
        status = ParseStreamingInterface(record);
        if (!NT_SUCCESS(status)) {
            if (record->Alternates != nullptr) {
                ExFreePoolWithTag(record->Alternates, USBAUDIO_TAG);
            }
            ExFreePoolWithTag(record, USBAUDIO_TAG);
            break;
        }
        *tail = record;
        tail = &record->Next;
        ++m_StreamingInterfaceCount;
    }
    return status;
}

NTSTATUS CUSBAudioCL::ParseStreamingInterface(USB_STREAMING_INTERFACE *record)
{
    NTSTATUS status = STATUS_SUCCESS;
    USB_DESC_VIEW view = {m_pConfigDescriptor, m_ConfigLength};
    LONG number = record->InterfaceNumber;
    const UCHAR *first = view.FindInterface(number, 1, USB_ANY, USB_ANY);
    const UCHAR *endpoint = nullptr;
    if (first != nullptr && first[4] != 0) {
        endpoint = view.FindType(first, USB_DESC_ENDPOINT, view.InterfaceSpanEnd(first));
    }
    if (endpoint == nullptr || !UsbDescHas(endpoint, 0, 3)) {
        status = STATUS_NOT_SUPPORTED;
    } else {
        record->Direction = (endpoint[2] & 0x80) != 0 ? USB_STREAM_CAPTURE : USB_STREAM_RENDER;
        record->AlternateCount = 2;
        while (record->AlternateCount < MAX_ALTERNATES &&
               view.FindInterface(number, static_cast<LONG>(record->AlternateCount), USB_ANY, USB_ANY) != nullptr) {
            ++record->AlternateCount;
        }
        SIZE_T size = record->AlternateCount * sizeof(USB_ALTERNATE_ENTRY);
        record->Alternates = static_cast<USB_ALTERNATE_ENTRY *>(ExAllocatePoolWithTag(PoolType(), size, USBAUDIO_TAG));
        if (record->Alternates == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlZeroMemory(record->Alternates, size);
        }
    }
    ULONG usableLimit = m_HighSpeed ? 5 : 16;
    for (ULONG i = 0; NT_SUCCESS(status) && i < record->AlternateCount; ++i) {
        USB_ALTERNATE_ENTRY &entry = record->Alternates[i];
        entry.InterfaceDescriptor = view.FindInterface(number, static_cast<LONG>(i), USB_ANY, USB_ANY);
        if (entry.InterfaceDescriptor == nullptr) {
            status = STATUS_NOT_SUPPORTED;
            break;
        }
        const UCHAR *span = entry.InterfaceDescriptor;
        const UCHAR *spanEnd = view.InterfaceSpanEnd(span);
        ULONG endpoints = span[4];
        if (endpoints == 0) {
            continue;
        }
        ULONG seen = 0;
        for (const UCHAR *ep = view.FindType(span, USB_DESC_ENDPOINT, spanEnd); ep != nullptr && seen < endpoints;
             ep = view.Next(ep) != nullptr ? view.FindType(view.Next(ep), USB_DESC_ENDPOINT, spanEnd) : nullptr) {
            ++seen;
            if (!UsbDescHas(ep, 0, ENDPOINT_DESC_LENGTH)) {
                continue;
            }
            BOOLEAN usable = !IsIsochronousEndpoint(ep) || ep[6] < usableLimit;
            UCHAR usage = EndpointUsage(ep);
            if (!m_IsUac2) {
                if (seen == 1 && (usage == 0 || usage == 2)) {
                    entry.DataEndpoint = ep;
                }
                // The synch endpoint is the one the data endpoint names in bSynchAddress.
                if (entry.DataEndpoint != nullptr && entry.FeedbackEndpoint == nullptr && ep != entry.DataEndpoint &&
                    usable && ((ep[3] >> 2) & 3) == 0 && UsbDescHas(entry.DataEndpoint, 8, 1) &&
                    ep[2] == entry.DataEndpoint[8]) {
                    entry.FeedbackEndpoint = ep;
                }
            } else if ((usage == 0 || usage == 2) && usable && entry.DataEndpoint == nullptr) {
                entry.DataEndpoint = ep;
            } else if (usage == 1 && usable && entry.FeedbackEndpoint == nullptr) {
                entry.FeedbackEndpoint = ep;
            }
        }
        for (const UCHAR *d = view.FindType(span, USB_DESC_CS_INTERFACE, spanEnd); d != nullptr;
             d = view.Next(d) != nullptr ? view.FindType(view.Next(d), USB_DESC_CS_INTERFACE, spanEnd) : nullptr) {
            if (UsbDescByte(d, 2) == 1 && entry.AsGeneral == nullptr) {
                entry.AsGeneral = d;
            } else if (UsbDescByte(d, 2) == 2 && entry.FormatType == nullptr) {
                entry.FormatType = d;
            }
        }
        const UCHAR *afterData = entry.DataEndpoint != nullptr ? view.Next(entry.DataEndpoint) : nullptr;
        for (const UCHAR *d = afterData != nullptr ? view.FindType(afterData, USB_DESC_CS_ENDPOINT, spanEnd) : nullptr;
             d != nullptr;
             d = view.Next(d) != nullptr ? view.FindType(view.Next(d), USB_DESC_CS_ENDPOINT, spanEnd) : nullptr) {
            if (UsbDescByte(d, 2) == 1) {
                entry.CsEndpoint = d;
                break;
            }
        }
    }
    if (!NT_SUCCESS(status) && record->Alternates != nullptr) {
        ExFreePoolWithTag(record->Alternates, USBAUDIO_TAG);
        record->Alternates = nullptr;
    }
    return status;
}

NTSTATUS CUSBAudioCL::Configure()
{
    NTSTATUS status = STATUS_SUCCESS;
    ULONG count = 0;
    PUSBD_INTERFACE_LIST_ENTRY list = nullptr;
    if (m_pAcInterface == nullptr) {
        status = STATUS_UNSUCCESSFUL;
    } else if (IsFullConfigurationDevice()) {
        list = CreateInterfaceList(&count);
    } else {
        USB_DESC_VIEW view = {m_pConfigDescriptor, m_ConfigLength};
        SIZE_T size = (static_cast<SIZE_T>(m_StreamingInterfaceCount) + 2) * sizeof(USBD_INTERFACE_LIST_ENTRY);
        list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(ExAllocatePoolWithTag(PoolType(), size, USBAUDIO_TAG));
        if (list != nullptr) {
            RtlZeroMemory(list, size);
            list[count++].InterfaceDescriptor =
                reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<UCHAR *>(m_pAcInterface));
            for (USB_STREAMING_INTERFACE *record = m_pStreamingInterfaces; record != nullptr; record = record->Next) {
                const UCHAR *desc = view.FindInterface(record->InterfaceNumber, 0, USB_ANY, USB_ANY);
                list[count++].InterfaceDescriptor =
                    reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<UCHAR *>(desc));
            }
        }
    }
    if (NT_SUCCESS(status) && list == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status)) {
        status = ConfigurationRequest(list, count);
    }
    for (USB_STREAMING_INTERFACE *record = m_pStreamingInterfaces; NT_SUCCESS(status) && record != nullptr;
         record = record->Next) {
        record->CurrentAlternate = 0;
        status = SelectAlternate(record->InterfaceNumber, 0);
    }
    if (NT_SUCCESS(status)) {
        status = LinkStreamingPipes();
    }
    if (list != nullptr) {
        ExFreePoolWithTag(list, USBAUDIO_TAG);
    }
    return status;
}

NTSTATUS CUSBAudioCL::LinkStreamingPipes()
{
    NTSTATUS status = STATUS_SUCCESS;
    for (USB_STREAMING_INTERFACE *record = m_pStreamingInterfaces; record != nullptr; record = record->Next) {
        const USB_ALTERNATE_ENTRY *entry = record->CurrentEntry();
        const UCHAR *endpoints[2] = {entry != nullptr ? entry->DataEndpoint : nullptr,
                                     entry != nullptr ? entry->FeedbackEndpoint : nullptr};
        PUSBD_PIPE_INFORMATION pipes[2] = {};
        for (ULONG i = 0; i < 2; ++i) {
            if (endpoints[i] == nullptr) {
                continue;
            }
            pipes[i] = FindPipe(endpoints[i][2]);
            if (pipes[i] == nullptr) {
                status = STATUS_NOT_SUPPORTED;
            } else if (pipes[i]->PipeType == UsbdPipeTypeIsochronous) {
                if (m_HighSpeed) {
                    pipes[i]->Interval = pipes[i]->Interval == 0 ? 1 : (pipes[i]->Interval > 4 ? 4 : pipes[i]->Interval);
                } else {
                    pipes[i]->Interval = 1;
                }
            }
        }
        record->DataPipe = pipes[0];
        record->FeedbackPipe = pipes[1];
        if (pipes[1] == nullptr) {
            continue;
        }
        ULONGLONG period = 0;
        const UCHAR *feedback = endpoints[1];
        if (m_IsUac2) {
            ULONG interval = pipes[1]->Interval == 0 ? 1 : pipes[1]->Interval;
            interval = interval > (m_HighSpeed ? 4u : 16u) ? (m_HighSpeed ? 4u : 16u) : interval;
            period = 1ull << (interval - 1);
            if (m_HighSpeed) {
                period /= 8;
            }
        } else if (feedback[0] == UAC1_SYNCH_ENDPOINT_LENGTH) {
            period = 1ull << (feedback[7] & 31);
        } else {
            period = pipes[1]->Interval;
        }
        record->FeedbackPeriod = static_cast<ULONG>(
            period < MIN_FEEDBACK_PERIOD ? MIN_FEEDBACK_PERIOD : (period > MAX_FEEDBACK_PERIOD ? MAX_FEEDBACK_PERIOD : period));
    }
    return status;
}

NTSTATUS CUSBAudioCL::CheckTransferStatus(NTSTATUS irpStatus, PURB urb, USB_TRANSFER_CONTEXT *context)
{
    NTSTATUS status = irpStatus;
    if (NT_SUCCESS(status) && urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER &&
        (urb->UrbIsochronousTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0 && m_pCapture != nullptr) {
        ULONG packets = urb->UrbIsochronousTransfer.NumberOfPackets;
        for (ULONG i = 0; i < packets && i < USBCL_MAX_ISOCH_PACKETS; ++i) {
            ULONG length = urb->UrbIsochronousTransfer.IsoPacket[i].Length;
            if (length < m_pCapture->MinimumPacketBytes || length > m_pCapture->MaximumPacketBytes) {
                status = STATUS_UNEXPECTED_IO_ERROR;
                break;
            }
        }
    }
    return status;
}

BOOLEAN CUSBAudioCL::IsImplicitFeedbackMode() const
{
    BOOLEAN implicit = m_ImplicitFeedback;
    if (!implicit && m_pCapture != nullptr && m_pCapture->AlternateCount >= 2) {
        const UCHAR *data = m_pCapture->Alternates[1].DataEndpoint;
        implicit = data != nullptr && EndpointUsage(data) == 2 ? TRUE : FALSE;
    }
    return implicit;
}

ULONG CUSBAudioCL::NominalFeedback(ULONG rate) const
{
    return static_cast<ULONG>(static_cast<ULONGLONG>(rate) * 65536 / (m_HighSpeed ? 8000 : 1000));
}
