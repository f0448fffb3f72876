// Internals of the port class stand-in shared by its files: the adapter device's state kept in
// the reserved extension area, the registered subdevices, the port's private face and the KS
// objects (filters and pins) that file objects opened on a subdevice carry in FsContext.
#pragma once
#include <atomic>
#include <mutex>
#include <string>
#include <vector>
#include <portcls.h>

namespace platform {

struct pc_device;
struct ks_object;

// The private face of a port, reached by QueryInterface with IID_pc_port from the IUnknown
// given to PcRegisterSubdevice. It is not reference counted: holders keep the port's IUnknown.
// {4C83F1B9-6E2D-4B1A-9F0C-2D7E5A8B3C61}
DEFINE_GUID(IID_pc_port, 0x4C83F1B9, 0x6E2D, 0x4B1A, 0x9F, 0x0C, 0x2D, 0x7E, 0x5A, 0x8B, 0x3C, 0x61);

struct pc_port {
    // The port's IUnknown (the one its references go to).
    virtual IUnknown *port_unknown() = 0;
    // The miniport, after a successful IPort::Init; null before.
    virtual IMiniport *miniport() = 0;
    // The filter descriptor the miniport gave at Init.
    virtual const PCFILTER_DESCRIPTOR *filter() = 0;
    // Creates the miniport stream of a new pin instance and the port stream that serves it;
    // both returned referenced.
    virtual NTSTATUS new_pin_stream(ULONG pin_id, BOOLEAN capture, PKSDATAFORMAT format,
                                    IMiniportWaveRTStream **stream, IPortWaveRTStream **port_stream) = 0;
    // Instance accounting of pin factories: acquire fails when the factory is at its limit.
    virtual bool acquire_pin_instance(ULONG pin_id) = 0;
    virtual void release_pin_instance(ULONG pin_id) = 0;
    virtual ULONG pin_instances(ULONG pin_id) = 0;
    // KS objects open on the port. The port keeps its miniport while it is registered or any
    // object is open, and drops it after both have ended.
    virtual void object_opened() = 0;
    virtual void object_closed() = 0;
    virtual void subdevice_withdrawn() = 0;
    // A port whose pins are not WaveRT pins makes its own pin object for a validated connect
    // request; the others leave the pin to the WaveRT path. The call owns port_unknown's
    // reference: the pin keeps it, or it is released on failure, whatever the miniport's status
    // (a STATUS_NOT_SUPPORTED from NewStream is a failure like any other).
    virtual bool makes_own_pins() const { return false; }
    virtual NTSTATUS create_pin_object(IUnknown *port_unknown, ULONG pin_id, const KSDATAFORMAT *format,
                                       bool capture, ks_object **pin)
    {
        (void)pin_id, (void)format, (void)capture, (void)pin;
        port_unknown->Release();
        return STATUS_NOT_SUPPORTED;
    }

protected:
    ~pc_port() = default;
};

// A published subdevice: its name, its port and the device interfaces that announce it.
struct pc_subdevice {
    std::wstring name;
    IUnknown *port_unknown = nullptr; // counted
    pc_port *port = nullptr;
    std::vector<UNICODE_STRING> links;
};

// The adapter device portcls manages. The reserved head of the device extension points to it.
struct pc_device {
    ULONG magic = 0;
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    PCPFNSTARTDEVICE start_device = nullptr;
    ULONG max_subdevices = 0;
    IAdapterPowerManagement *power = nullptr; // counted
    DEVICE_POWER_STATE power_state = PowerDeviceD0;
    bool started = false;
    bool removed = false;
    std::mutex lock; // guards subdevices and ports
    std::vector<pc_subdevice *> subdevices;
    std::vector<pc_port *> ports; // every port initialised on the device, registered or not
};

constexpr ULONG pc_device_magic = 0x50634476; // "PcDv"

// The portcls state of an adapter device, or null for a device portcls did not create.
pc_device *pc_device_of(PDEVICE_OBJECT device);

// Ports initialised on a device. At removal every one of them is told its subdevice is gone,
// also a port that was never registered, so that no port and miniport keep each other alive.
void pc_device_add_port(PDEVICE_OBJECT device, pc_port *port);
void pc_device_remove_port(PDEVICE_OBJECT device, pc_port *port);

// Subdevices: lookup by name (case-insensitive) with a reference on the port taken for the
// caller, and the withdrawal of all of a device's subdevices at removal.
IUnknown *pc_find_subdevice(pc_device *dev, const std::wstring &name, pc_port **port);
void pc_unregister_all_subdevices(pc_device *dev);
// Withdraws the subdevice whose port is port (IUnregisterSubdevice of the ports).
NTSTATUS pc_unregister_subdevice(PDEVICE_OBJECT device, pc_port *port);

// Runs a property request through an automation table. *found tells whether the table has
// the property; *value_size is in/out as PCPROPERTY_REQUEST::ValueSize.
NTSTATUS pc_dispatch_automation(const PCAUTOMATION_TABLE *table, const KSPROPERTY *property, IUnknown *major,
                                IUnknown *minor, ULONG node, void *instance, ULONG instance_size, void *value,
                                ULONG *value_size, PIRP irp, bool *found);

// Element access of descriptor arrays with their declared strides.
const PCPIN_DESCRIPTOR *pc_pin_descriptor(const PCFILTER_DESCRIPTOR *filter, ULONG pin_id);
const PCNODE_DESCRIPTOR *pc_node_descriptor(const PCFILTER_DESCRIPTOR *filter, ULONG node_id);

// Takes one more instance of pin_id within the descriptor's limits, which a miniport answering
// IPinCount may adjust. guard holds the port's lock on entry and on return; it is let go while
// the miniport is asked. instances: the port's open instances per pin. false: no such pin, no
// miniport, or the limit is reached.
bool pc_acquire_pin_instance(std::unique_lock<std::mutex> &guard, const PCFILTER_DESCRIPTOR *filter,
                             std::vector<ULONG> &instances, IUnknown *miniport, ULONG pin_id);

// The data ranges of a pin without the attribute lists that follow flagged ranges.
std::vector<const KSDATARANGE *> pc_pin_ranges(const PCPIN_DESCRIPTOR *pin);
// The attribute list that follows a flagged range in the pin's table, or null.
const KSMULTIPLE_ITEM *pc_range_attributes(const PCPIN_DESCRIPTOR *pin, const KSDATARANGE *range);

// Whether a connection format fits one of the pin's data ranges.
bool pc_format_matches_pin(const PCPIN_DESCRIPTOR *pin, const KSDATAFORMAT *format, ULONG format_size);

// The port's own intersection of a client range with a pin range, used when the miniport
// answers STATUS_NOT_IMPLEMENTED: a WAVEFORMATEX format at the highest common values.
NTSTATUS pc_default_intersection(const KSDATARANGE *client, const KSDATARANGE *own, ULONG out_len, void *out,
                                 ULONG *out_size);

// KS objects behind file objects of a subdevice.
enum class ks_kind : ULONG { filter = 1, pin = 2 };

struct ks_object {
    ULONG magic;
    ks_kind kind;
    virtual ~ks_object() = default;
    // A KS property request: request bytes (a KSPROPERTY and what follows), value in/out.
    virtual NTSTATUS property(const UCHAR *request, ULONG request_size, void *value, ULONG *value_size,
                              PIRP irp) = 0;
    // IOCTL_KS_WRITE_STREAM and IOCTL_KS_READ_STREAM: STATUS_PENDING when the object took the
    // IRP, else the status the dispatcher completes it with.
    virtual NTSTATUS stream_io(PIRP irp)
    {
        (void)irp;
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // IRP_MJ_CLEANUP of the object's file: requests it still holds are completed.
    virtual void cleanup() {}

protected:
    ks_object(ks_kind k) : magic(ks_object_magic), kind(k) {}
    static constexpr ULONG ks_object_magic = 0x4B734F62; // "KsOb"
    friend ks_object *ks_object_of(PFILE_OBJECT file);
};

ks_object *ks_object_of(PFILE_OBJECT file);

// A filter instance: holds its subdevice's port.
struct ks_filter final : ks_object {
    ks_filter(IUnknown *unknown, pc_port *p) : ks_object(ks_kind::filter), port_unknown(unknown), port(p) {}
    ~ks_filter() override;
    NTSTATUS property(const UCHAR *request, ULONG request_size, void *value, ULONG *value_size,
                      PIRP irp) override;

    IUnknown *port_unknown; // counted
    pc_port *port;
};

// Filter-level request handling shared with pins (node and pin-factory properties).
NTSTATUS ks_filter_property(pc_port *port, IUnknown *minor, const UCHAR *request, ULONG request_size,
                            void *value, ULONG *value_size, PIRP irp);

// Creates a pin on a subdevice from its connect request; *pin on success.
NTSTATUS ks_create_pin(IUnknown *port_unknown, pc_port *port, const KSPIN_CONNECT *connect, ULONG connect_size,
                       ks_object **pin);

// Counts of live port-class objects (ports, port streams, KS objects), for leak checks.
std::atomic<LONG> &pc_live_objects();

} // namespace platform
