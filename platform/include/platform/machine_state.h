// Boot and shutdown of the platform's machine-wide state (kernel, registry, named objects,
// processes). Each part of the platform registers hooks with a static machine_hooks object;
// sim::machine calls machine_boot when it is created and machine_shutdown when it ends.
#pragma once

namespace platform {

struct machine_hooks {
    // boot runs at every machine boot, in registration order; shutdown at every shutdown, in
    // reverse order. Either may be null.
    machine_hooks(const char *name, void (*boot)(), void (*shutdown)());
};

void machine_boot();
void machine_shutdown();

} // namespace platform
