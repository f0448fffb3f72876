// Boot and shutdown of the simulated machine.
#include <sim/machine.h>
#include <platform/machine_state.h>

namespace sim {

machine::machine()
{
    platform::machine_boot();
}

machine::~machine()
{
    platform::machine_shutdown();
}

} // namespace sim
