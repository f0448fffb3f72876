// The WaveCyclic port: binds a WaveCyclic miniport at Init, keeps its filter descriptor, makes
// the pin objects of new pins, counts pin instances, services streams on the miniport's Notify
// and unregisters its subdevice. PcNewPort creates it.
#include <algorithm>
#include "PortWaveCyclic.h"
#include "PortWaveRTStream.h"
#include <platform/verifier.h>

namespace platform {
namespace {

bool valid_descriptor(const PCFILTER_DESCRIPTOR *filter)
{
    if (filter == nullptr) {
        return false;
    }
    if (filter->PinCount != 0 && (filter->Pins == nullptr || filter->PinSize < sizeof(PCPIN_DESCRIPTOR))) {
        return false;
    }
    if (filter->NodeCount != 0 && (filter->Nodes == nullptr || filter->NodeSize < sizeof(PCNODE_DESCRIPTOR))) {
        return false;
    }
    if (filter->ConnectionCount != 0 && filter->Connections == nullptr) {
        return false;
    }
    return filter->CategoryCount == 0 || filter->Categories != nullptr;
}

class CPortWaveCyclic final : public CUnknown,
                              public IPortWaveCyclic,
                              public IUnregisterSubdevice,
                              public pc_port,
                              public pc_cyclic_port {
public:
    DECLARE_STD_UNKNOWN();
    explicit CPortWaveCyclic(PUNKNOWN outer) : CUnknown(outer) { ++pc_live_objects(); }
    ~CPortWaveCyclic() override
    {
        if (m_device != nullptr) {
            pc_device_remove_port(m_device, this);
        }
        if (m_miniport != nullptr) {
            m_miniport->Release();
        }
        --pc_live_objects();
    }

    STDMETHODIMP Init(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
                      PRESOURCELIST ResourceList) override;
    STDMETHODIMP_(void) Notify(PSERVICEGROUP ServiceGroup) override;
    STDMETHODIMP UnregisterSubdevice(PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown) override;

    IUnknown *port_unknown() override { return GetOuterUnknown(); }
    IMiniport *miniport() override { return m_miniport; }
    const PCFILTER_DESCRIPTOR *filter() override { return m_filter; }
    NTSTATUS new_pin_stream(ULONG, BOOLEAN, PKSDATAFORMAT, IMiniportWaveRTStream **stream,
                            IPortWaveRTStream **port_stream) override
    {
        *stream = nullptr;
        *port_stream = nullptr;
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    bool makes_own_pins() const override { return true; }
    NTSTATUS create_pin_object(IUnknown *unknown, ULONG pin_id, const KSDATAFORMAT *format, bool capture,
                               ks_object **pin) override;
    bool acquire_pin_instance(ULONG pin_id) override;
    void release_pin_instance(ULONG pin_id) override;
    ULONG pin_instances(ULONG pin_id) override;
    void object_opened() override;
    void object_closed() override;
    void subdevice_withdrawn() override;
    void pin_group_opened(IServiceGroup *group) override;
    void pin_group_closed(IServiceGroup *group) override;

private:
    void drop_miniport_when_unused();

    std::mutex m_lock;
    PDEVICE_OBJECT m_device = nullptr;
    IMiniportWaveCyclic *m_miniport = nullptr; // counted
    PPCFILTER_DESCRIPTOR m_filter = nullptr;
    std::vector<ULONG> m_instances;
    ULONG m_open_objects = 0;
    bool m_withdrawn = false;
    std::vector<IServiceGroup *> m_pin_groups; // one counted entry per open pin
};

STDMETHODIMP CPortWaveCyclic::NonDelegatingQueryInterface(REFIID iid, PVOID *ppvObject)
{
    if (ppvObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUID(iid, IID_IPort) || IsEqualGUID(iid, IID_IPortWaveCyclic)) {
        *ppvObject = static_cast<IPortWaveCyclic *>(this);
    } else if (IsEqualGUID(iid, IID_IUnregisterSubdevice)) {
        *ppvObject = static_cast<IUnregisterSubdevice *>(this);
    } else if (IsEqualGUID(iid, IID_pc_port)) {
        // The private face is not counted.
        *ppvObject = static_cast<pc_port *>(this);
        return STATUS_SUCCESS;
    } else {
        return CUnknown::NonDelegatingQueryInterface(iid, ppvObject);
    }
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP CPortWaveCyclic::Init(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport,
                                   PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList)
{
    verifier_check_irql(PASSIVE_LEVEL, "IPortWaveCyclic::Init");
    UNREFERENCED_PARAMETER(Irp);
    if (DeviceObject == nullptr || UnknownMiniport == nullptr || pc_device_of(DeviceObject) == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_miniport != nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    IMiniportWaveCyclic *miniport = nullptr;
    NTSTATUS status =
        UnknownMiniport->QueryInterface(IID_IMiniportWaveCyclic, reinterpret_cast<void **>(&miniport));
    if (!NT_SUCCESS(status) || miniport == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    status = miniport->Init(UnknownAdapter, ResourceList, this);
    if (!NT_SUCCESS(status)) {
        miniport->Release();
        return status;
    }
    PPCFILTER_DESCRIPTOR filter = nullptr;
    status = miniport->GetDescription(&filter);
    if (NT_SUCCESS(status) && !valid_descriptor(filter)) {
        status = STATUS_INVALID_PARAMETER;
    }
    if (!NT_SUCCESS(status)) {
        miniport->Release();
        return status;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_miniport = miniport;
    m_filter = filter;
    m_instances.assign(filter->PinCount, 0);
    m_device = DeviceObject;
    pc_device_add_port(DeviceObject, this);
    return STATUS_SUCCESS;
}

// The group services its members in its own DPC, so a miniport may notify from inside its
// locks and its completion routines.
STDMETHODIMP_(void) CPortWaveCyclic::Notify(PSERVICEGROUP ServiceGroup)
{
    verifier_check_irql(DISPATCH_LEVEL, "IPortWaveCyclic::Notify");
    if (ServiceGroup != nullptr) {
        ServiceGroup->RequestService();
    }
}

STDMETHODIMP CPortWaveCyclic::UnregisterSubdevice(PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown)
{
    if (Unknown == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    pc_port *port = nullptr;
    if (!NT_SUCCESS(Unknown->QueryInterface(IID_pc_port, reinterpret_cast<void **>(&port))) || port == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return pc_unregister_subdevice(DeviceObject, port);
}

NTSTATUS CPortWaveCyclic::create_pin_object(IUnknown *unknown, ULONG pin_id, const KSDATAFORMAT *format,
                                            bool capture, ks_object **pin)
{
    IMiniportWaveCyclic *miniport = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        miniport = m_miniport;
        if (miniport != nullptr) {
            miniport->AddRef();
        }
    }
    if (miniport == nullptr) {
        unknown->Release();
        return STATUS_DEVICE_NOT_READY;
    }
    NTSTATUS status = pc_create_cyclic_pin(unknown, this, this, miniport, pin_id, format, capture, pin);
    miniport->Release();
    return status;
}

bool CPortWaveCyclic::acquire_pin_instance(ULONG pin_id)
{
    std::unique_lock<std::mutex> guard(m_lock);
    return pc_acquire_pin_instance(guard, m_filter, m_instances, m_miniport, pin_id);
}

void CPortWaveCyclic::release_pin_instance(ULONG pin_id)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (pin_id < m_instances.size() && m_instances[pin_id] > 0) {
        --m_instances[pin_id];
    }
}

ULONG CPortWaveCyclic::pin_instances(ULONG pin_id)
{
    std::lock_guard<std::mutex> guard(m_lock);
    return pin_id < m_instances.size() ? m_instances[pin_id] : 0;
}

void CPortWaveCyclic::object_opened()
{
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_open_objects;
}

void CPortWaveCyclic::object_closed()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        --m_open_objects;
    }
    drop_miniport_when_unused();
}

void CPortWaveCyclic::subdevice_withdrawn()
{
    std::vector<IServiceGroup *> groups;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_withdrawn = true;
        groups = m_pin_groups;
        for (IServiceGroup *group : groups) {
            group->AddRef();
        }
    }
    for (IServiceGroup *group : groups) {
        group->RequestService();
        group->Release();
    }
    drop_miniport_when_unused();
}

void CPortWaveCyclic::pin_group_opened(IServiceGroup *group)
{
    group->AddRef();
    std::lock_guard<std::mutex> guard(m_lock);
    m_pin_groups.push_back(group);
}

void CPortWaveCyclic::pin_group_closed(IServiceGroup *group)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = std::find(m_pin_groups.begin(), m_pin_groups.end(), group);
        if (it == m_pin_groups.end()) {
            return;
        }
        m_pin_groups.erase(it);
    }
    group->Release();
}

// The miniport holds the port as well; letting it go once the subdevice is gone and nothing is
// open breaks that cycle, so both are freed when their last outside reference goes.
void CPortWaveCyclic::drop_miniport_when_unused()
{
    IMiniportWaveCyclic *miniport = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_withdrawn && m_open_objects == 0) {
            miniport = m_miniport;
            m_miniport = nullptr;
            m_filter = nullptr;
        }
    }
    if (miniport != nullptr) {
        NonDelegatingAddRef();
        miniport->Release();
        NonDelegatingRelease();
    }
}

} // namespace

NTSTATUS pc_new_port_wave_cyclic(PPORT *out)
{
    CPortWaveCyclic *port = new (NonPagedPoolNx, pc_pool_tag) CPortWaveCyclic(nullptr);
    if (port == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    port->AddRef();
    *out = static_cast<IPortWaveCyclic *>(port);
    return STATUS_SUCCESS;
}

} // namespace platform
