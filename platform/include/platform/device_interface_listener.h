// The hook by which the I/O manager tells the Win32 side that a device interface arrived or
// left. The kernel side only calls it; the window manager installs it at machine boot, so the
// kernel never depends on window code.
#pragma once
#include <platform/pnp.h>
#include <functional>

namespace platform {

// Called for every real change of an interface's state: disabled to enabled (arrival), enabled
// to disabled (removal), including the implicit disable when the interface's device is marked
// removed or its node is deleted. A call that changes nothing is not reported. The listener
// runs on the thread that made the change, in the order of the changes, with the PnP manager's
// lock held: it must only record or queue the event, never wait, send window messages or call
// back into the PnP manager. An empty function removes the listener. Machine boot leaves it
// in place; whoever installs it clears it at shutdown.
using device_interface_listener = std::function<void(const interface_event &event)>;
void set_device_interface_listener(device_interface_listener listener);

} // namespace platform
