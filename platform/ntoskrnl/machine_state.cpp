// The registry of machine boot and shutdown hooks.
#include <platform/machine_state.h>
#include <platform/clock.h>
#include <vector>

namespace platform {
namespace {

struct hook {
    const char *name;
    void (*boot)();
    void (*shutdown)();
};

std::vector<hook> &hooks()
{
    static std::vector<hook> list;
    return list;
}

} // namespace

machine_hooks::machine_hooks(const char *name, void (*boot)(), void (*shutdown)())
{
    hooks().push_back({name, boot, shutdown});
}

void machine_boot()
{
    clock_reset();
    for (const hook &h : hooks()) {
        if (h.boot != nullptr) {
            h.boot();
        }
    }
}

void machine_shutdown()
{
    auto &list = hooks();
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        if (it->shutdown != nullptr) {
            it->shutdown();
        }
    }
    clock_reset();
}

} // namespace platform
