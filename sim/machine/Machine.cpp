// Boot and shutdown of the simulated machine.
#include <sim/machine.h>
#include <platform/clock.h>

namespace sim {

machine::machine()
{
    platform::clock_reset();
}

machine::~machine()
{
    platform::clock_reset();
}

} // namespace sim
