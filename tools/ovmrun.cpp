// The main job: boots a simulated machine and reports what ran on it.
#include <cstdio>
#include <platform/clock.h>
#include <sim/machine.h>

int main()
{
    sim::machine machine;
    std::printf("machine booted; clock at %lld x 100 ns\n", (long long)platform::clock_now());
    return 0;
}
