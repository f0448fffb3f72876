// The entity base (allocation, ID, bounded name formatting), the dummy entity and the
// processing unit.
#include "USBAudioEntity.h"
#include "UsbAudioPoolTags.h"
#include "UsbAudioTrace.h"
#include "UsbDescriptor.h"

void *CUSBAudioEntity::operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept
{
    void *p = ExAllocatePoolWithTag(poolType, size, tag);
    if (p != nullptr) {
        RtlZeroMemory(p, size);
    }
    return p;
}

void CUSBAudioEntity::operator delete(void *p)
{
    if (p != nullptr) {
        ExFreePoolWithTag(p, USBAUDIO_TAG);
    }
}

CUSBAudioEntity::CUSBAudioEntity(const UCHAR *descriptor, CUSBAudioCL *owner)
    : m_pNext(nullptr), m_pDescriptor(descriptor), m_pAudio(owner)
{
}

CUSBAudioEntity::~CUSBAudioEntity() = default;

void CUSBAudioEntity::Dump()
{
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_DEVICE, "entity: bLength %u type 0x%02X subtype 0x%02X id %u\n",
                UsbDescByte(m_pDescriptor, 0), UsbDescByte(m_pDescriptor, 1), UsbDescByte(m_pDescriptor, 2),
                UsbDescByte(m_pDescriptor, 3));
}

UCHAR CUSBAudioEntity::GetID()
{
    return UsbDescByte(m_pDescriptor, 3);
}

UCHAR CUSBAudioEntity::GetSubtype() const
{
    return UsbDescByte(m_pDescriptor, 2);
}

NTSTATUS CUSBAudioEntity::FormatName(PCSTR prefix, PCHAR buffer, SIZE_T size)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (buffer == nullptr || size == 0 || size > 0x7FFFFFFF) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_DEVICE, "entity %u: no name into %llu bytes\n", GetID(),
                    (ULONGLONG)(buffer == nullptr ? 0 : size));
        status = STATUS_INVALID_PARAMETER;
    } else {
        CHAR text[32];
        SIZE_T length = 0;
        for (PCSTR p = prefix; *p != '\0' && length < sizeof(text) - 6; ++p) {
            text[length++] = *p;
        }
        text[length++] = '(';
        ULONG id = GetID();
        CHAR digits[3];
        SIZE_T digitCount = 0;
        do {
            digits[digitCount++] = static_cast<CHAR>('0' + id % 10);
            id /= 10;
        } while (id != 0);
        while (digitCount != 0) {
            text[length++] = digits[--digitCount];
        }
        text[length++] = ')';
        SIZE_T copy = length < size - 1 ? length : size - 1;
        RtlCopyMemory(buffer, text, copy);
        buffer[copy] = '\0';
        if (copy < length) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_DEVICE, "entity %u: name cut to %llu bytes\n", GetID(),
                        (ULONGLONG)size);
            status = STATUS_BUFFER_OVERFLOW;
        }
    }
    return status;
}

NTSTATUS CUSBAudioDummyEntity::Init()
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "unit %u of subtype %u\n", GetID(), GetSubtype());
    return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioDummyEntity::GetName(PCHAR buffer, SIZE_T size)
{
    return FormatName("Dummy", buffer, size);
}

LONG CUSBAudioDummyEntity::GetSourceID(ULONG index)
{
    return -1;
}

NTSTATUS CUSBAudioProcessingUnit::Init()
{
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "processing unit %u is not supported\n", GetID());
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS CUSBAudioProcessingUnit::GetName(PCHAR buffer, SIZE_T size)
{
    return FormatName("Processing", buffer, size);
}

LONG CUSBAudioProcessingUnit::GetSourceID(ULONG index)
{
    return -1;
}
