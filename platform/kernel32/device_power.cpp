// The power state of the device behind a file opened from user mode, read from its device
// node. Kept apart from the Win32 calls because it works on kernel structures.
#include <wdm.h>
#include <platform/pnp.h>
#include <platform/user_io.h>
#include "device_power.h"

namespace platform {

device_power_answer device_power_of(user_file *file)
{
    FILE_OBJECT *file_object = user_io_file_object(file);
    if (file_object == nullptr || file_object->DeviceObject == nullptr) {
        return device_power_answer::removed;
    }
    device_power_answer answer = device_power_answer::on; // a device without a node is always on
    pnp_lock();
    for (device_node *node : pnp_nodes()) {
        for (DEVICE_OBJECT *d = node->pdo; d != nullptr; d = d->AttachedDevice) {
            if (d == file_object->DeviceObject) {
                answer = node->removed                               ? device_power_answer::removed
                         : node->device_power_state == PowerDeviceD0 ? device_power_answer::on
                                                                     : device_power_answer::off;
            }
        }
    }
    pnp_unlock();
    return answer;
}

} // namespace platform
