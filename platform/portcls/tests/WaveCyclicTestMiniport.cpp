// The WaveCyclic test miniport, its streams and hand-moved hardware, and the adapter that
// registers it with the WaveCyclic port.
#include "WaveCyclicTestMiniport.h"
#include <cstring>
#include <gtest/gtest.h>
#include <ksmedia.h>
#include <platform/io_driver.h>
#include <platform/pnp.h>
#include <sim/audio_engine.h>

namespace cyclictest {
namespace {

constexpr ULONG test_tag = 0x63796354; // 'Tcyc'

KSDATARANGE_AUDIO g_range = {
    {{sizeof(KSDATARANGE_AUDIO), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_PCM,
      KSDATAFORMAT_SPECIFIER_WAVEFORMATEX}},
    channels, bits, bits, rate, rate};
const PKSDATARANGE g_ranges[] = {reinterpret_cast<PKSDATARANGE>(&g_range)};

const PCPIN_DESCRIPTOR g_pins[] = {
    {1, 1, 0, nullptr,
     {0, nullptr, 0, nullptr, 1, g_ranges, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO, nullptr,
      {0}}},
    {1, 1, 0, nullptr,
     {0, nullptr, 0, nullptr, 1, g_ranges, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO, nullptr,
      {0}}},
};

const PCFILTER_DESCRIPTOR g_filter = {0, nullptr, sizeof(PCPIN_DESCRIPTOR), pin_count, g_pins, sizeof(PCNODE_DESCRIPTOR),
                                      0, nullptr, 0, nullptr, 0, nullptr};

class test_stream;

std::mutex g_streams_lock;
test_stream *g_streams[2] = {nullptr, nullptr}; // render, capture
PPORTWAVECYCLIC g_port = nullptr;               // of the live miniport, uncounted
PSERVICEGROUP g_group = nullptr;                // of the live miniport, uncounted

class test_stream final : public IMiniportWaveCyclicStream, public IDmaChannel, public CUnknown {
public:
    DECLARE_STD_UNKNOWN();
    test_stream(ULONG pin, bool capture) : CUnknown(nullptr), m_pin(pin), m_capture(capture) { ++log().live_streams; }
    ~test_stream() override
    {
        {
            std::lock_guard<std::mutex> guard(g_streams_lock);
            g_streams[m_capture ? 1 : 0] = nullptr;
        }
        FreeBuffer();
        --log().live_streams;
    }

    STDMETHODIMP SetFormat(PKSDATAFORMAT) override { return STATUS_NOT_SUPPORTED; }
    STDMETHODIMP_(ULONG) SetNotificationFreq(ULONG Interval, PULONG FramingSize) override
    {
        log().notification_interval = Interval;
        *FramingSize = Interval * rate / 1000 * block;
        return Interval;
    }
    STDMETHODIMP SetState(KSSTATE State) override
    {
        std::lock_guard<std::mutex> guard(log().lock);
        log().states.emplace_back(m_pin, State);
        if (State == KSSTATE_ACQUIRE && m_state == KSSTATE_STOP) {
            position = 0;
        }
        m_state = State;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetPosition(PULONG Position) override
    {
        if (!NT_SUCCESS(log().position_result)) {
            return log().position_result;
        }
        *Position = position;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP NormalizePhysicalPosition(PLONGLONG) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(void) Silence(PVOID Buffer, ULONG ByteCount) override { std::memset(Buffer, 0, ByteCount); }

    STDMETHODIMP AllocateBuffer(ULONG Size, PPHYSICAL_ADDRESS) override
    {
        m_buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, Size, test_tag));
        m_size = m_buffer != nullptr ? Size : 0;
        return m_buffer != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    }
    STDMETHODIMP_(void) FreeBuffer() override
    {
        if (m_buffer != nullptr) {
            ExFreePoolWithTag(m_buffer, test_tag);
            m_buffer = nullptr;
        }
    }
    STDMETHODIMP_(ULONG) TransferCount() override { return m_size; }
    STDMETHODIMP_(ULONG) MaximumBufferSize() override { return m_size; }
    STDMETHODIMP_(ULONG) AllocatedBufferSize() override { return m_size; }
    STDMETHODIMP_(ULONG) BufferSize() override { return m_size; }
    STDMETHODIMP_(void) SetBufferSize(ULONG) override {}
    STDMETHODIMP_(PVOID) SystemAddress() override { return m_buffer; }
    STDMETHODIMP_(PHYSICAL_ADDRESS) PhysicalAddress() override { return PHYSICAL_ADDRESS{}; }
    STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject() override { return nullptr; }
    // The port never hands a region that crosses the buffer's end.
    STDMETHODIMP_(void) CopyTo(PVOID Destination, PVOID Source, ULONG ByteCount) override
    {
        EXPECT_GE(static_cast<PUCHAR>(Destination), m_buffer);
        EXPECT_LE(static_cast<PUCHAR>(Destination) + ByteCount, m_buffer + m_size);
        std::memcpy(Destination, Source, ByteCount);
        ++log().copies_to;
    }
    STDMETHODIMP_(void) CopyFrom(PVOID Destination, PVOID Source, ULONG ByteCount) override
    {
        EXPECT_GE(static_cast<PUCHAR>(Source), m_buffer);
        EXPECT_LE(static_cast<PUCHAR>(Source) + ByteCount, m_buffer + m_size);
        std::memcpy(Destination, Source, ByteCount);
        ++log().copies_from;
    }

    void move(ULONG bytes)
    {
        ULONG at = position;
        for (ULONG done = 0; done < bytes; done += block) {
            if (m_capture) {
                sim::wavert_write_pattern(m_buffer + at, log().captured_frames++, 1, channels, bits);
            } else {
                std::lock_guard<std::mutex> guard(log().lock);
                log().played.insert(log().played.end(), m_buffer + at, m_buffer + at + block);
            }
            at = (at + block) % m_size;
        }
        position = at;
    }

    std::atomic<ULONG> position{0};

private:
    ULONG m_pin;
    bool m_capture;
    KSSTATE m_state = KSSTATE_STOP;
    PUCHAR m_buffer = nullptr;
    ULONG m_size = 0;
};

STDMETHODIMP test_stream::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    if (IsEqualGUID(iid, IID_IMiniportWaveCyclicStream)) {
        *object = static_cast<IMiniportWaveCyclicStream *>(this);
    } else if (IsEqualGUID(iid, IID_IDmaChannel)) {
        *object = static_cast<IDmaChannel *>(this);
    } else {
        return CUnknown::NonDelegatingQueryInterface(iid, object);
    }
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
}

class test_miniport final : public IMiniportWaveCyclic, public CUnknown {
public:
    DECLARE_STD_UNKNOWN();
    test_miniport() : CUnknown(nullptr) { ++log().live_miniports; }
    ~test_miniport() override
    {
        g_port = nullptr;
        g_group = nullptr;
        if (m_group != nullptr) {
            m_group->Release();
        }
        if (m_port != nullptr) {
            m_port->Release();
        }
        --log().live_miniports;
    }

    STDMETHODIMP GetDescription(PPCFILTER_DESCRIPTOR *Description) override
    {
        *Description = const_cast<PPCFILTER_DESCRIPTOR>(&g_filter);
        return STATUS_SUCCESS;
    }
    STDMETHODIMP DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP Init(PUNKNOWN, PRESOURCELIST, PPORTWAVECYCLIC Port) override
    {
        NTSTATUS status = PcNewServiceGroup(&m_group, nullptr);
        if (NT_SUCCESS(status)) {
            Port->AddRef();
            m_port = Port;
            g_port = Port;
            g_group = m_group;
        }
        return status;
    }
    STDMETHODIMP NewStream(PMINIPORTWAVECYCLICSTREAM *Stream, PUNKNOWN, POOL_TYPE, ULONG Pin, BOOLEAN Capture,
                           PKSDATAFORMAT, PDMACHANNEL *DmaChannel, PSERVICEGROUP *ServiceGroup) override
    {
        if (!NT_SUCCESS(log().new_stream_result)) {
            return log().new_stream_result;
        }
        test_stream *stream = new (NonPagedPoolNx, test_tag) test_stream(Pin, Capture != FALSE);
        stream->AddRef();
        NTSTATUS status = stream->AllocateBuffer(log().buffer_size, nullptr);
        if (!NT_SUCCESS(status)) {
            stream->Release();
            return status;
        }
        {
            std::lock_guard<std::mutex> guard(g_streams_lock);
            g_streams[Capture ? 1 : 0] = stream;
        }
        *Stream = stream;
        stream->AddRef();
        *DmaChannel = stream;
        m_group->AddRef();
        *ServiceGroup = m_group;
        return STATUS_SUCCESS;
    }

private:
    PPORTWAVECYCLIC m_port = nullptr;
    PSERVICEGROUP m_group = nullptr;
};

STDMETHODIMP test_miniport::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    if (IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportWaveCyclic)) {
        *object = static_cast<IMiniportWaveCyclic *>(this);
        NonDelegatingAddRef();
        return STATUS_SUCCESS;
    }
    return CUnknown::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS start_device(PDEVICE_OBJECT device, PIRP, PRESOURCELIST)
{
    PPORT port = nullptr;
    NTSTATUS status = PcNewPort(&port, CLSID_PortWaveCyclic);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    test_miniport *miniport = new (NonPagedPoolNx, test_tag) test_miniport();
    miniport->AddRef();
    status = port->Init(device, nullptr, static_cast<IMiniportWaveCyclic *>(miniport), nullptr, nullptr);
    if (NT_SUCCESS(status)) {
        status = PcRegisterSubdevice(device, const_cast<PWSTR>(L"Cyclic"), port);
    }
    miniport->Release();
    port->Release();
    return status;
}

NTSTATUS add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    return PcAddAdapterDevice(driver, pdo, start_device, 1, PORT_CLASS_DEVICE_EXTENSION_SIZE + 64);
}

NTSTATUS bus_dispatch(PDEVICE_OBJECT, PIRP irp)
{
    NTSTATUS status = irp->IoStatus.Status;
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (major == IRP_MJ_PNP || major == IRP_MJ_POWER) {
        status = STATUS_SUCCESS;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS on_done(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS send_pnp(PDEVICE_OBJECT pdo, UCHAR minor)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, on_done, &done, TRUE, TRUE, TRUE);
    IoCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    return status;
}

} // namespace

miniport_log &log()
{
    static miniport_log instance;
    return instance;
}

void miniport_log::reset()
{
    std::lock_guard<std::mutex> guard(lock);
    states.clear();
    played.clear();
    captured_frames = 0;
    copies_to = 0;
    copies_from = 0;
    notification_interval = 0;
    buffer_size = 1920;
    new_stream_result = STATUS_SUCCESS;
    position_result = STATUS_SUCCESS;
}

bool advance(bool capture, ULONG bytes)
{
    std::lock_guard<std::mutex> guard(g_streams_lock);
    test_stream *stream = g_streams[capture ? 1 : 0];
    if (stream == nullptr || g_port == nullptr) {
        return false;
    }
    stream->move(bytes);
    g_port->Notify(g_group);
    return true;
}

cyclic_adapter::cyclic_adapter()
{
    m_bus = platform::io_create_driver_object(L"cyctestbus", "");
    for (PDRIVER_DISPATCH &entry : m_bus->MajorFunction) {
        entry = bus_dispatch;
    }
    IoCreateDevice(m_bus, 0, nullptr, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &m_pdo);
    m_pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    platform::device_node fields;
    fields.instance_id = L"USB\\VID_1234&PID_6789\\0001";
    fields.service = L"CYCTEST";
    platform::pnp_create_node(m_pdo, fields);
    m_driver = platform::io_create_driver_object(L"CYCTEST", "");
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\CYCTEST");
    PcInitializeAdapterDriver(m_driver, &path, add_device);
}

cyclic_adapter::~cyclic_adapter() { remove(); }

NTSTATUS cyclic_adapter::start()
{
    NTSTATUS status = m_driver->DriverExtension->AddDevice(m_driver, m_pdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    m_fdo = m_pdo->AttachedDevice;
    return send_pnp(m_pdo, IRP_MN_START_DEVICE);
}

void cyclic_adapter::remove()
{
    if (m_removed) {
        return;
    }
    m_removed = true;
    if (m_fdo != nullptr) {
        send_pnp(m_pdo, IRP_MN_REMOVE_DEVICE);
        m_fdo = nullptr;
    }
    m_driver->DriverUnload(m_driver);
    platform::io_unload_driver_object(m_driver);
    platform::pnp_delete_node(m_pdo);
    IoDeleteDevice(m_pdo);
    platform::io_discard_driver_object(m_bus);
}

} // namespace cyclictest
