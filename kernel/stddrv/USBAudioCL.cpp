// CUSBAudioCL start: the AudioControl interface and its entities, the streaming-interface
// records and their terminals, device configuration and pipe binding.
#include "USBAudioCL.h"
#include "StdPoolTags.h"
#include "USBAudioClock.h"
#include "USBAudioEntity.h"
#include "UsbDescriptor.h"
#include "StdTrace.h"

namespace {

constexpr ULONG MAX_ALTERNATES = 256;
constexpr ULONG ENDPOINT_DESC_LENGTH = 7;
constexpr UCHAR AS_GENERAL = 0x01;
constexpr UCHAR AS_FORMAT_TYPE = 0x02;
constexpr UCHAR EP_GENERAL = 0x01;
// Offset of the header's total length: after bcdADC on class 1, after bCategory on class 2.
constexpr ULONG UAC1_TOTAL_LENGTH_OFFSET = 5;
constexpr ULONG UAC2_TOTAL_LENGTH_OFFSET = 6;

// The first class-specific descriptor of a type and subtype in [from, end), or null.
const UCHAR *FindClassDescriptor(const USB_DESC_VIEW &view, const UCHAR *from, const UCHAR *end, UCHAR type,
                                 UCHAR subtype)
{
    for (const UCHAR *d = from; d != nullptr && d < end; d = view.Next(d)) {
        if (d[1] == type && UsbDescByte(d, 2) == subtype) {
            return d;
        }
    }
    return nullptr;
}

} // namespace

CUSBAudioCL::CUSBAudioCL()
    : m_IsUac2(FALSE), m_pAcInterface(nullptr), m_pAcHeader(nullptr), m_pEntities(nullptr),
      m_StreamingInterfaceCount(0), m_pStreamingInterfaces(nullptr), m_pRender(nullptr), m_pCapture(nullptr),
      m_pRenderPattern(nullptr), m_RenderPatternPosition(0), m_RenderIntervalFactor(1)
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
            ExFreePoolWithTag(record->Alternates, STD_TAG);
        }
        ExFreePoolWithTag(record, STD_TAG);
    }
    while (m_pEntities != nullptr) {
        CUSBAudioEntity *entity = m_pEntities;
        m_pEntities = entity->m_pNext;
        delete entity;
    }
    m_StreamingInterfaceCount = 0;
    m_pRender = nullptr;
    m_pCapture = nullptr;
    m_pAcInterface = nullptr;
    m_pAcHeader = nullptr;
}

UCHAR CUSBAudioCL::GetAcInterfaceNumber() const
{
    return UsbDescByte(m_pAcInterface, 2);
}

NTSTATUS CUSBAudioCL::Start(PDEVICE_OBJECT lowerDevice)
{
    // A layer that started once keeps its model: it serves one device for its whole life.
    BOOLEAN startedBefore = m_pLowerDevice != nullptr;
    NTSTATUS status = startedBefore ? STATUS_INVALID_DEVICE_STATE : Init(lowerDevice);
    USB_DESC_VIEW view = {m_pConfigDescriptor, m_ConfigLength};
    const UCHAR *limit = nullptr;
    if (NT_SUCCESS(status)) {
        m_pAcInterface = view.FindInterface(USB_ANY, 0, USB_AUDIO_CLASS, USB_AUDIO_SUBCLASS_CONTROL);
        if (m_pAcInterface == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "no AudioControl interface\n");
            status = STATUS_NOT_SUPPORTED;
        }
    }
    if (NT_SUCCESS(status)) {
        const UCHAR *acEnd = view.InterfaceSpanEnd(m_pAcInterface);
        const UCHAR *header = view.Next(m_pAcInterface);
        if (header == nullptr || header >= acEnd || header[1] != USB_DESC_CS_INTERFACE ||
            UsbDescByte(header, 2) != UAC_AC_HEADER) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "no class header after the AudioControl interface\n");
            status = STATUS_NOT_SUPPORTED;
        } else {
            m_pAcHeader = header;
            m_IsUac2 = UsbDescWord(header, 3) == 0x0200 ? TRUE : FALSE;
            ULONG offset = m_IsUac2 ? UAC2_TOTAL_LENGTH_OFFSET : UAC1_TOTAL_LENGTH_OFFSET;
            ULONG totalLength = UsbDescWord(header, offset);
            if (!UsbDescHas(header, offset, 2) || totalLength < header[0] ||
                totalLength > static_cast<ULONG>(acEnd - header)) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "header total length %lu past the interface\n",
                            totalLength);
                status = STATUS_NOT_SUPPORTED;
            } else {
                limit = header + totalLength;
            }
        }
    }
    if (NT_SUCCESS(status)) {
        status = ParseAudioControl(limit);
    }
    if (NT_SUCCESS(status)) {
        status = CreateStreamingInterfaceList();
    }
    if (NT_SUCCESS(status)) {
        status = LinkTerminals();
    }
    if (NT_SUCCESS(status)) {
        for (USB_STREAMING_INTERFACE *record = m_pStreamingInterfaces; record != nullptr; record = record->Next) {
            if (record->Direction == USB_STREAM_CAPTURE && m_pCapture == nullptr) {
                m_pCapture = record;
            } else if (record->Direction == USB_STREAM_RENDER && m_pRender == nullptr) {
                m_pRender = record;
            }
        }
        if (m_pCapture == nullptr || m_pRender == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "streaming interfaces: capture %s, render %s\n",
                        m_pCapture != nullptr ? "found" : "missing", m_pRender != nullptr ? "found" : "missing");
            status = STATUS_NOT_SUPPORTED;
        }
    }
    if (!NT_SUCCESS(status) && !startedBefore) {
        ReleaseModel();
    }
    return status;
}

NTSTATUS CUSBAudioCL::ParseAudioControl(const UCHAR *limit)
{
    NTSTATUS status = STATUS_SUCCESS;
    USB_DESC_VIEW view = {m_pConfigDescriptor, m_ConfigLength};
    CUSBAudioEntity **tail = &m_pEntities;
    BOOLEAN walking = TRUE;
    for (const UCHAR *d = view.Next(m_pAcHeader); walking && d != nullptr && d < limit; d = view.Next(d)) {
        if (d + d[0] > limit) {
            break;
        }
        if (d[1] != USB_DESC_CS_INTERFACE) {
            continue;
        }
        CUSBAudioEntity *entity = nullptr;
        switch (UsbDescByte(d, 2)) {
        case UAC_AC_INPUT_TERMINAL:
            entity = new (NonPagedPool, STD_TAG) CUSBAudioInputTerminal(d, this);
            break;
        case UAC_AC_OUTPUT_TERMINAL:
            entity = new (NonPagedPool, STD_TAG) CUSBAudioOutputTerminal(d, this);
            break;
        case UAC_AC_FEATURE_UNIT:
            entity = new (NonPagedPool, STD_TAG) CUSBAudioFeatureUnit(d, this);
            break;
        case UAC2_AC_CLOCK_SOURCE:
            entity = m_IsUac2 ? new (NonPagedPool, STD_TAG) CUSBAudioClockSource(d, this) : nullptr;
            walking = m_IsUac2;
            break;
        case UAC2_AC_CLOCK_SELECTOR:
            entity = m_IsUac2 ? new (NonPagedPool, STD_TAG) CUSBAudioClockSelector(d, this) : nullptr;
            walking = m_IsUac2;
            break;
        case UAC_AC_MIXER_UNIT:
        case UAC_AC_SELECTOR_UNIT:
        case UAC_AC_UNIT_7:
        case UAC_AC_UNIT_8:
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "unit %u of subtype %u is not supported\n",
                        UsbDescByte(d, 3), UsbDescByte(d, 2));
            status = STATUS_NOT_IMPLEMENTED;
            walking = FALSE;
            break;
        case UAC2_AC_EXTENSION_UNIT:
        case UAC2_AC_CLOCK_MULTIPLIER:
        case UAC2_AC_RATE_CONVERTER:
            status = m_IsUac2 ? STATUS_NOT_IMPLEMENTED : STATUS_SUCCESS;
            if (m_IsUac2) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "unit %u of subtype %u is not supported\n",
                            UsbDescByte(d, 3), UsbDescByte(d, 2));
            }
            walking = FALSE;
            break;
        default:
            walking = FALSE;
            break;
        }
        if (walking && entity == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            walking = FALSE;
        }
        if (entity != nullptr) {
            *tail = entity;
            tail = &entity->m_pNext;
        }
    }
    // Every entity is initialised and the last result decides: a link an earlier entity could
    // not resolve stays null, and every user of a link checks it.
    for (CUSBAudioEntity *entity = m_pEntities; NT_SUCCESS(status) && entity != nullptr; entity = entity->m_pNext) {
        status = entity->Init();
        if (!NT_SUCCESS(status) && entity->m_pNext != nullptr) {
            status = STATUS_SUCCESS;
        }
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

NTSTATUS CUSBAudioCL::CreateStreamingInterfaceList()
{
    NTSTATUS status = STATUS_SUCCESS;
    USB_DESC_VIEW view = {m_pConfigDescriptor, m_ConfigLength};
    USB_STREAMING_INTERFACE **tail = &m_pStreamingInterfaces;
    for (ULONG number = GetAcInterfaceNumber() + 1u; NT_SUCCESS(status) && number <= 0xFF; ++number) {
        if (view.FindInterface(static_cast<LONG>(number), USB_ANY, USB_AUDIO_CLASS, USB_AUDIO_SUBCLASS_STREAMING) ==
            nullptr) {
            break;
        }
        auto record = static_cast<USB_STREAMING_INTERFACE *>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_STREAMING_INTERFACE), STD_TAG));
        if (record == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        RtlZeroMemory(record, sizeof(*record));
        record->InterfaceNumber = static_cast<UCHAR>(number);
        *tail = record;
        tail = &record->Next;
        ++m_StreamingInterfaceCount;
        status = ParseStreamingInterface(record);
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
    if (endpoint == nullptr || !UsbDescHas(endpoint, 0, ENDPOINT_DESC_LENGTH)) {
        status = STATUS_NOT_SUPPORTED;
    } else {
        record->Direction = (endpoint[2] & 0x80) != 0 ? USB_STREAM_CAPTURE : USB_STREAM_RENDER;
        record->AlternateCount = 2;
        while (record->AlternateCount < MAX_ALTERNATES &&
               view.FindInterface(number, static_cast<LONG>(record->AlternateCount), USB_ANY, USB_ANY) != nullptr) {
            ++record->AlternateCount;
        }
        SIZE_T size = record->AlternateCount * sizeof(USB_ALTERNATE_SETTING);
        record->Alternates = static_cast<USB_ALTERNATE_SETTING *>(ExAllocatePoolWithTag(NonPagedPool, size, STD_TAG));
        if (record->Alternates == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlZeroMemory(record->Alternates, size);
        }
    }
    for (ULONG i = 0; NT_SUCCESS(status) && i < record->AlternateCount; ++i) {
        USB_ALTERNATE_SETTING &alternate = record->Alternates[i];
        alternate.InterfaceDescriptor = view.FindInterface(number, static_cast<LONG>(i), USB_ANY, USB_ANY);
        if (alternate.InterfaceDescriptor == nullptr) {
            status = STATUS_NOT_SUPPORTED;
            break;
        }
        if (alternate.InterfaceDescriptor[4] == 0) {
            continue;
        }
        const UCHAR *span = view.Next(alternate.InterfaceDescriptor);
        const UCHAR *spanEnd = view.InterfaceSpanEnd(alternate.InterfaceDescriptor);
        const UCHAR *dataEndpoint = span != nullptr ? view.FindType(span, USB_DESC_ENDPOINT, spanEnd) : nullptr;
        // An endpoint too short to state its packet size and interval is no endpoint.
        if (dataEndpoint == nullptr || !UsbDescHas(dataEndpoint, 0, ENDPOINT_DESC_LENGTH)) {
            continue;
        }
        alternate.Endpoint = dataEndpoint;
        alternate.AsGeneral = FindClassDescriptor(view, span, spanEnd, USB_DESC_CS_INTERFACE, AS_GENERAL);
        alternate.FormatType = FindClassDescriptor(view, span, spanEnd, USB_DESC_CS_INTERFACE, AS_FORMAT_TYPE);
        alternate.CsEndpoint = FindClassDescriptor(view, span, spanEnd, USB_DESC_CS_ENDPOINT, EP_GENERAL);
    }
    return status;
}

NTSTATUS CUSBAudioCL::LinkTerminals()
{
    NTSTATUS status = STATUS_SUCCESS;
    for (USB_STREAMING_INTERFACE *record = m_pStreamingInterfaces; NT_SUCCESS(status) && record != nullptr;
         record = record->Next) {
        const UCHAR *general = record->AlternateCount > 1 ? record->Alternates[1].AsGeneral : nullptr;
        CUSBAudioEntity *terminal = UsbDescHas(general, 3, 1) ? FindEntity(general[3]) : nullptr;
        UCHAR subtype = terminal != nullptr ? terminal->GetSubtype() : 0;
        if (subtype != UAC_AC_INPUT_TERMINAL && subtype != UAC_AC_OUTPUT_TERMINAL) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "interface %u links to no terminal\n",
                        record->InterfaceNumber);
            status = STATUS_NOT_SUPPORTED;
        } else {
            record->Terminal = static_cast<CUSBAudioTerminal *>(terminal);
        }
    }
    return status;
}

NTSTATUS CUSBAudioCL::Configure()
{
    NTSTATUS status = m_pAcInterface != nullptr ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
    ULONG count = m_StreamingInterfaceCount + 1;
    SIZE_T size = (static_cast<SIZE_T>(count) + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
    PUSBD_INTERFACE_LIST_ENTRY list = nullptr;
    if (NT_SUCCESS(status)) {
        list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(ExAllocatePoolWithTag(NonPagedPool, size, STD_TAG));
        if (list == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (NT_SUCCESS(status)) {
        RtlZeroMemory(list, size);
        list[0].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<UCHAR *>(m_pAcInterface));
        ULONG i = 1;
        for (USB_STREAMING_INTERFACE *record = m_pStreamingInterfaces; record != nullptr; record = record->Next) {
            list[i++].InterfaceDescriptor =
                reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<UCHAR *>(record->Alternates[0].InterfaceDescriptor));
        }
        status = ConfigurationRequest(list, count);
    }
    if (NT_SUCCESS(status)) {
        for (USB_STREAMING_INTERFACE *record = m_pStreamingInterfaces; record != nullptr; record = record->Next) {
            record->CurrentAlternate = 0;
        }
        status = BindPipes();
    }
    if (list != nullptr) {
        ExFreePoolWithTag(list, STD_TAG);
    }
    return status;
}

NTSTATUS CUSBAudioCL::BindPipes()
{
    NTSTATUS status = STATUS_SUCCESS;
    for (USB_STREAMING_INTERFACE *record = m_pStreamingInterfaces; record != nullptr; record = record->Next) {
        const UCHAR *endpoint = record->Alternates[record->CurrentAlternate].Endpoint;
        record->Pipe = endpoint != nullptr ? FindPipe(endpoint[2]) : nullptr;
        if (endpoint != nullptr && record->Pipe == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "interface %u: endpoint 0x%02X has no pipe\n",
                        record->InterfaceNumber, endpoint[2]);
            status = STATUS_NOT_SUPPORTED;
        }
    }
    return status;
}

NTSTATUS CUSBAudioCL::SelectRecordAlternate(USB_STREAMING_INTERFACE *record, ULONG alternate)
{
    NTSTATUS status = alternate < record->AlternateCount ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    if (NT_SUCCESS(status)) {
        status = SelectAlternate(record->InterfaceNumber, static_cast<UCHAR>(alternate));
    }
    if (NT_SUCCESS(status)) {
        record->CurrentAlternate = alternate;
    }
    // The interface's pipe information was replaced (or may be): every record is bound anew.
    NTSTATUS bound = BindPipes();
    return NT_SUCCESS(status) ? bound : status;
}

PUSBD_PIPE_INFORMATION CUSBAudioCL::GetStreamPipe(ULONG direction)
{
    USB_STREAMING_INTERFACE *record = GetStreamingInterface(direction);
    return record != nullptr ? record->Pipe : nullptr;
}
