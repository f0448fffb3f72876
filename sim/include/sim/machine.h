// The simulated Windows machine: one per test or per run of the main job. It owns the
// machine's clock, kernel state, registry and loaded modules.
#pragma once
#include <ntdef.h>

namespace sim {

class machine {
public:
    machine();
    ~machine();
    machine(const machine &) = delete;
    machine &operator=(const machine &) = delete;
};

} // namespace sim
