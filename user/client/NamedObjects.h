// Names of the machine-wide and per-session objects through which the ASIO driver and the
// control-panel program of the asynchronous stack signal each other, and the settings key.
#pragma once
#include <windows.h>

// Per-user settings key, always opened in the 64-bit registry view.
#define OVM_SETTINGS_KEY L"SOFTWARE\\Orvan\\{12A0DEBD-D683-43B5-BF51-9C131720841C}"

// Guards every change of the settings and of the device choice; created unowned, null DACL.
#define OVM_SETTINGS_MUTEX_NAME L"Global\\{6A9FCDD5-B7F3-4B53-B3E7-75F25367F51A}"
// Manual-reset event that exists (and is set) while a driver object listens for changes.
#define OVM_DRIVER_MARKER_EVENT_NAME L"{F5C8CEA3-4BA3-45CE-B359-048BF6C3F552}0"
// Auto-reset event the panel sets after each settings write.
#define OVM_SETTINGS_CHANGED_EVENT_NAME L"{92C624CF-0921-450F-B44F-E37C468B3373}1"

// One initialised ASIO driver of this stack on the machine.
#define OVM_HOST_EXCLUSIVE_MUTEX_NAME L"Global\\{99B9B14B-8622-4BA1-8854-580B60467C26}"
// Held, and the in-use event set, while a host has the ASIO driver.
#define OVM_DRIVER_HELD_MUTEX_NAME L"Global\\{6CFF785C-F7B2-4E2C-B75D-7022119599B1}"
#define OVM_DRIVER_IN_USE_EVENT_NAME L"Global\\{18ACAFF7-A601-4B99-A38D-A3B7A418AB30}"
// One control-panel program per machine; the doubled brace belongs to the name.
#define OVM_PANEL_INSTANCE_MUTEX_NAME L"Global\\{{4427F646-4B33-4B24-A4D1-A838CCF662C5}"
