// The WaveCyclic port's internal pieces shared by its files: the port's creation for PcNewPort
// and the pin objects that carry the audio engine's stream requests to the cyclic buffer.
#pragma once
#include "portcls_internal.h"

namespace platform {

// PcNewPort for CLSID_PortWaveCyclic: the port, referenced.
NTSTATUS pc_new_port_wave_cyclic(PPORT *port);

// The port's face toward its pins: the service groups of the open pins, which the port
// services once more when its subdevice goes, so that requests waiting on a stream whose
// device has left learn of it.
struct pc_cyclic_port {
    virtual void pin_group_opened(IServiceGroup *group) = 0;
    virtual void pin_group_closed(IServiceGroup *group) = 0;

protected:
    ~pc_cyclic_port() = default;
};

// Creates the pin object of a WaveCyclic pin: the miniport's NewStream with the connect
// format, the stream's DMA channel and service group, and the port's sink in that group.
// Owns port_unknown's reference (kept by the pin, released on failure).
NTSTATUS pc_create_cyclic_pin(IUnknown *port_unknown, pc_port *port, pc_cyclic_port *cyclic,
                              IMiniportWaveCyclic *miniport, ULONG pin_id, const KSDATAFORMAT *format, bool capture,
                              ks_object **pin);

} // namespace platform
