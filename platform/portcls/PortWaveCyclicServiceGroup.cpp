// Service groups: a set of service sinks that a miniport's notification reaches together. The
// group runs its members in a DPC of its own, so RequestService may come from any context up
// to DISPATCH_LEVEL, also from inside the caller's spin locks; a delayed service uses a timer
// on the machine clock.
#include <algorithm>
#include <vector>
#include "PortWaveCyclic.h"
#include "PortWaveRTStream.h"
#include <platform/verifier.h>

namespace platform {
namespace {

class CServiceGroup final : public CUnknown, public IServiceGroup {
public:
    DECLARE_STD_UNKNOWN();
    explicit CServiceGroup(PUNKNOWN outer) : CUnknown(outer)
    {
        ++pc_live_objects();
        KeInitializeSpinLock(&m_lock);
        KeInitializeDpc(&m_dpc, service_dpc, this);
        KeInitializeTimer(&m_timer);
    }
    ~CServiceGroup() override;

    STDMETHODIMP_(void) RequestService() override;
    STDMETHODIMP AddMember(PSERVICESINK ServiceSink) override;
    STDMETHODIMP_(void) RemoveMember(PSERVICESINK ServiceSink) override;
    STDMETHODIMP_(void) SupportDelayedService() override {}
    STDMETHODIMP_(void) RequestDelayedService(ULONGLONG Delay) override;
    STDMETHODIMP_(void) CancelDelayedService() override { KeCancelTimer(&m_timer); }

private:
    static VOID service_dpc(PKDPC dpc, PVOID context, PVOID, PVOID);
    void service_members();

    KSPIN_LOCK m_lock;
    std::vector<PSERVICESINK> m_members; // counted; under m_lock
    KDPC m_dpc;
    KTIMER m_timer;
};

// The last reference goes at PASSIVE_LEVEL (the port and the miniport let go of their groups
// there); no DPC of the group may still run after it.
CServiceGroup::~CServiceGroup()
{
    KeCancelTimer(&m_timer);
    KeRemoveQueueDpc(&m_dpc);
    KeFlushQueuedDpcs();
    for (PSERVICESINK sink : m_members) {
        sink->Release();
    }
    --pc_live_objects();
}

STDMETHODIMP CServiceGroup::NonDelegatingQueryInterface(REFIID iid, PVOID *ppvObject)
{
    if (ppvObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUID(iid, IID_IServiceGroup) || IsEqualGUID(iid, IID_IServiceSink)) {
        *ppvObject = static_cast<IServiceGroup *>(this);
        NonDelegatingAddRef();
        return STATUS_SUCCESS;
    }
    return CUnknown::NonDelegatingQueryInterface(iid, ppvObject);
}

STDMETHODIMP_(void) CServiceGroup::RequestService()
{
    verifier_check_irql(DISPATCH_LEVEL, "IServiceGroup::RequestService");
    KeInsertQueueDpc(&m_dpc, nullptr, nullptr);
}

STDMETHODIMP CServiceGroup::AddMember(PSERVICESINK ServiceSink)
{
    if (ServiceSink == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ServiceSink->AddRef();
    KIRQL irql;
    KeAcquireSpinLock(&m_lock, &irql);
    m_members.push_back(ServiceSink);
    KeReleaseSpinLock(&m_lock, irql);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(void) CServiceGroup::RemoveMember(PSERVICESINK ServiceSink)
{
    bool found = false;
    KIRQL irql;
    KeAcquireSpinLock(&m_lock, &irql);
    auto it = std::find(m_members.begin(), m_members.end(), ServiceSink);
    if (it != m_members.end()) {
        m_members.erase(it);
        found = true;
    }
    KeReleaseSpinLock(&m_lock, irql);
    if (found) {
        ServiceSink->Release();
    }
}

STDMETHODIMP_(void) CServiceGroup::RequestDelayedService(ULONGLONG Delay)
{
    LARGE_INTEGER due;
    due.QuadPart = (LONGLONG)Delay;
    KeSetTimer(&m_timer, due, &m_dpc);
}

VOID CServiceGroup::service_dpc(PKDPC, PVOID context, PVOID, PVOID)
{
    static_cast<CServiceGroup *>(context)->service_members();
}

// Members are called outside the group's lock, each with a reference of its own, so a sink may
// leave the group while the group runs.
void CServiceGroup::service_members()
{
    KeAcquireSpinLockAtDpcLevel(&m_lock);
    std::vector<PSERVICESINK> members = m_members;
    for (PSERVICESINK sink : members) {
        sink->AddRef();
    }
    KeReleaseSpinLockFromDpcLevel(&m_lock);
    for (PSERVICESINK sink : members) {
        sink->RequestService();
        sink->Release();
    }
}

} // namespace
} // namespace platform

using namespace platform;

extern "C" NTSTATUS PcNewServiceGroup(PSERVICEGROUP *OutServiceGroup, PUNKNOWN OuterUnknown)
{
    if (OutServiceGroup == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *OutServiceGroup = nullptr;
    CServiceGroup *group = new (NonPagedPoolNx, pc_pool_tag) CServiceGroup(OuterUnknown);
    if (group == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    group->AddRef();
    *OutServiceGroup = group;
    return STATUS_SUCCESS;
}
