// The WaveRT port: binds a WaveRT miniport at Init, keeps its filter descriptor, creates the
// miniport streams of new pins, counts pin instances and unregisters its subdevice. PcNewPort
// creates it.
#include "portcls_internal.h"
#include "PortWaveRTStream.h"
#include "PortWaveCyclic.h"
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

class CPortWaveRT final : public CUnknown, public IPortWaveRT, public IUnregisterSubdevice, public pc_port {
public:
    DECLARE_STD_UNKNOWN();
    explicit CPortWaveRT(PUNKNOWN outer) : CUnknown(outer) { ++pc_live_objects(); }
    ~CPortWaveRT() override
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
    STDMETHODIMP UnregisterSubdevice(PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown) override;

    IUnknown *port_unknown() override { return GetOuterUnknown(); }
    IMiniport *miniport() override { return m_miniport; }
    const PCFILTER_DESCRIPTOR *filter() override { return m_filter; }
    NTSTATUS new_pin_stream(ULONG pin_id, BOOLEAN capture, PKSDATAFORMAT format, IMiniportWaveRTStream **stream,
                            IPortWaveRTStream **port_stream) override;
    bool acquire_pin_instance(ULONG pin_id) override;
    void release_pin_instance(ULONG pin_id) override;
    ULONG pin_instances(ULONG pin_id) override;
    void object_opened() override;
    void object_closed() override;
    void subdevice_withdrawn() override;

private:
    void drop_miniport_when_unused();

    std::mutex m_lock;
    PDEVICE_OBJECT m_device = nullptr;
    IMiniportWaveRT *m_miniport = nullptr; // counted
    PPCFILTER_DESCRIPTOR m_filter = nullptr;
    std::vector<ULONG> m_instances;
    ULONG m_open_objects = 0;
    bool m_withdrawn = false;
};

STDMETHODIMP CPortWaveRT::NonDelegatingQueryInterface(REFIID iid, PVOID *ppvObject)
{
    if (ppvObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUID(iid, IID_IPort) || IsEqualGUID(iid, IID_IPortWaveRT)) {
        *ppvObject = static_cast<IPortWaveRT *>(this);
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

STDMETHODIMP CPortWaveRT::Init(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport,
                               PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList)
{
    verifier_check_irql(PASSIVE_LEVEL, "IPortWaveRT::Init");
    UNREFERENCED_PARAMETER(Irp);
    if (DeviceObject == nullptr || UnknownMiniport == nullptr || pc_device_of(DeviceObject) == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_miniport != nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    IMiniportWaveRT *miniport = nullptr;
    NTSTATUS status = UnknownMiniport->QueryInterface(IID_IMiniportWaveRT, reinterpret_cast<void **>(&miniport));
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

STDMETHODIMP CPortWaveRT::UnregisterSubdevice(PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown)
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

NTSTATUS CPortWaveRT::new_pin_stream(ULONG pin_id, BOOLEAN capture, PKSDATAFORMAT format,
                                     IMiniportWaveRTStream **stream, IPortWaveRTStream **port_stream)
{
    *stream = nullptr;
    *port_stream = nullptr;
    if (m_miniport == nullptr) {
        return STATUS_DEVICE_NOT_READY;
    }
    CPortWaveRTStream *service = new (NonPagedPoolNx, pc_pool_tag) CPortWaveRTStream(nullptr);
    if (service == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    service->AddRef();
    IMiniportWaveRTStream *created = nullptr;
    NTSTATUS status = m_miniport->NewStream(&created, service, pin_id, capture, format);
    if (NT_SUCCESS(status) && created == nullptr) {
        status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status)) {
        if (created != nullptr) {
            created->Release();
        }
        service->Release();
        return status;
    }
    *stream = created;
    *port_stream = service;
    return STATUS_SUCCESS;
}

bool CPortWaveRT::acquire_pin_instance(ULONG pin_id)
{
    std::unique_lock<std::mutex> guard(m_lock);
    return pc_acquire_pin_instance(guard, m_filter, m_instances, m_miniport, pin_id);
}

void CPortWaveRT::release_pin_instance(ULONG pin_id)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (pin_id < m_instances.size() && m_instances[pin_id] > 0) {
        --m_instances[pin_id];
    }
}

ULONG CPortWaveRT::pin_instances(ULONG pin_id)
{
    std::lock_guard<std::mutex> guard(m_lock);
    return pin_id < m_instances.size() ? m_instances[pin_id] : 0;
}

void CPortWaveRT::object_opened()
{
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_open_objects;
}

void CPortWaveRT::object_closed()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        --m_open_objects;
    }
    drop_miniport_when_unused();
}

void CPortWaveRT::subdevice_withdrawn()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_withdrawn = true;
    }
    drop_miniport_when_unused();
}

// The miniport holds the port as well; letting it go once the subdevice is gone and nothing is
// open breaks that cycle, so both are freed when their last outside reference goes.
void CPortWaveRT::drop_miniport_when_unused()
{
    IMiniportWaveRT *miniport = nullptr;
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
} // namespace platform

using namespace platform;

extern "C" NTSTATUS PcNewPort(PPORT *OutPort, REFCLSID ClassId)
{
    verifier_check_irql(PASSIVE_LEVEL, "PcNewPort");
    if (OutPort == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *OutPort = nullptr;
    if (IsEqualGUID(ClassId, CLSID_PortWaveCyclic)) {
        return pc_new_port_wave_cyclic(OutPort);
    }
    if (!IsEqualGUID(ClassId, CLSID_PortWaveRT)) {
        return STATUS_NOT_SUPPORTED;
    }
    CPortWaveRT *port = new (NonPagedPoolNx, pc_pool_tag) CPortWaveRT(nullptr);
    if (port == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    port->AddRef();
    *OutPort = static_cast<IPortWaveRT *>(port);
    return STATUS_SUCCESS;
}
