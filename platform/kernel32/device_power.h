// The device power state query behind GetDevicePowerState.
#pragma once

namespace platform {

struct user_file;

enum class device_power_answer { on, off, removed };

// Whether the device node behind file is in D0, in a lower state, or removed.
device_power_answer device_power_of(user_file *file);

} // namespace platform
