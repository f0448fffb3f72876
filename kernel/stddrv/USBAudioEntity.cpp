// The entity base (pool allocation, ID, subtype), the terminals and the feature unit: each
// resolves the IDs its descriptor names into entity pointers.
#include "USBAudioEntity.h"
#include "StdPoolTags.h"
#include "USBAudioCL.h"
#include "USBAudioClock.h"
#include "UsbDescriptor.h"
#include "StdTrace.h"

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
        ExFreePoolWithTag(p, STD_TAG);
    }
}

CUSBAudioEntity::CUSBAudioEntity(const UCHAR *descriptor, CUSBAudioCL *owner)
    : m_pNext(nullptr), m_pDescriptor(descriptor), m_pAudio(owner)
{
}

CUSBAudioEntity::~CUSBAudioEntity() = default;

UCHAR CUSBAudioEntity::GetID() const
{
    return UsbDescByte(m_pDescriptor, 3);
}

UCHAR CUSBAudioEntity::GetSubtype() const
{
    return UsbDescByte(m_pDescriptor, 2);
}

NTSTATUS CUSBAudioTerminal::ResolveClock(ULONG offset)
{
    m_pClock = m_pAudio->FindClock(UsbDescByte(m_pDescriptor, offset));
    if (m_pClock == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "terminal %u: clock %u not found\n", GetID(),
                    UsbDescByte(m_pDescriptor, offset));
    }
    return m_pClock != nullptr ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
}

NTSTATUS CUSBAudioInputTerminal::Init()
{
    return m_pAudio->IsUac2() ? ResolveClock(7) : STATUS_SUCCESS;
}

NTSTATUS CUSBAudioOutputTerminal::Init()
{
    m_pSource = m_pAudio->FindEntity(UsbDescByte(m_pDescriptor, 7));
    NTSTATUS status = m_pSource != nullptr ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
    if (m_pSource == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "output terminal %u: source %u not found\n", GetID(),
                    UsbDescByte(m_pDescriptor, 7));
    }
    if (NT_SUCCESS(status) && m_pAudio->IsUac2()) {
        status = ResolveClock(8);
    }
    return status;
}

NTSTATUS CUSBAudioFeatureUnit::Init()
{
    m_pSource = m_pAudio->FindEntity(UsbDescByte(m_pDescriptor, 4));
    if (m_pSource == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "feature unit %u: source %u not found\n", GetID(),
                    UsbDescByte(m_pDescriptor, 4));
    }
    return m_pSource != nullptr ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
}
