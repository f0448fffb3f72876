// The paced bus with ovmlsaau's streaming engine as the driver it waits for: after each frame
// the engine's threads have used their free slots. Used by the engine's end-to-end tests and its
// benchmark.
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
            return adapter == nullptr || !adapter->EngineThreadsPending();
        });
    }
    void forget() { paced_bus::watch(nullptr); }
};

} // namespace engine_test
