// The paced bus with ovmlsaau's streaming engine as the driver it waits for: after each frame
// the engine's threads have used their free slots and a render-only channel's drain thread has
// filled its FIFO. Used by the engine's end-to-end tests and its benchmark.
#pragma once
#include <sim/machine.h>
#include <sim/paced_bus.h>
#include "AdapterCommon.h"
#include "AsyncDriver.h"

namespace engine_test {

class bus_pump : public sim::paced_bus {
public:
    // Call before the machine's bus exists (before the first attach).
    explicit bus_pump(sim::machine &machine) : paced_bus(machine) {}

    // The device whose engine the bus waits for; forget it before the device goes away.
    void watch(DEVICE_OBJECT *pdo)
    {
        paced_bus::watch([pdo] {
            if (pdo->AttachedDevice == nullptr) {
                return true;
            }
            auto adapter = static_cast<CAdapterCommon *>(AsyncExtension(pdo->AttachedDevice)->Adapter);
            return adapter == nullptr || (!adapter->EngineThreadsPending() && !draining(adapter->Channel()));
        });
    }
    void forget() { paced_bus::watch(nullptr); }

private:
    // A started render-only channel's drain thread has pended WRITEs to move into the room its
    // output FIFO has: the bus waits for it as it waits for the engine's threads.
    static bool draining(CDeviceChannel &channel)
    {
        return channel.IsStarted() && !channel.HasInputFifo() && channel.HasOutputFifo() &&
               channel.PendedCount() != 0 && channel.OutputFifo().Fill() < channel.OutputFifo().Size();
    }
};

} // namespace engine_test
