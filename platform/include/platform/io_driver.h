// The I/O manager's side of loading and unloading a kernel driver: the driver object the loader
// hands to DriverEntry, and the checks made when the driver goes away.
#pragma once
#include <string>
#include <ntdef.h>

typedef struct _DRIVER_OBJECT DRIVER_OBJECT;

namespace platform {

// A fresh driver object named "\Driver\<service>" with its driver extension (ServiceKeyName =
// service) for the module at module_path (the path the module was loaded from, which is also
// the name the pool and IRP accounting know it by).
DRIVER_OBJECT *io_create_driver_object(const std::wstring &service, const std::string &module_path);

// After DriverUnload returned: waits for the work items still queued for the driver's devices,
// then stops the machine (verifier) when the driver left device objects or IRPs it allocated
// behind. Frees the driver object.
void io_unload_driver_object(DRIVER_OBJECT *driver);

// Frees a driver object whose DriverEntry failed, deleting the devices it may have created.
void io_discard_driver_object(DRIVER_OBJECT *driver);

// IRPs and work items allocated from code of module_path that have not been freed. (MDLs are
// pool blocks charged to the module that allocated them, tag "Mdl ".)
ULONG io_live_irps(const std::string &module_path);
ULONG io_live_work_items(const std::string &module_path);

} // namespace platform
