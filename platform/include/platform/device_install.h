// The stand-in's records of device installation and program start-up that device setup,
// tests and the simulated machine use: the machine's file store (what GetFileAttributesW
// sees), the programs CreateProcessA started with their current directories, the driver
// updates newdev was asked for, and the device information sets device setup hands to
// co-installers with their driver lists.
#pragma once
#include <string>
#include <vector>
#include <ntdef.h>

namespace platform {

// ---- File store: files that exist on the machine, by full Windows path (case-insensitive).
// Every folder above a stored file exists too; a folder of its own is added with the
// attributes FILE_ATTRIBUTE_DIRECTORY (0x10). CreateFileW creates, opens, reads and writes
// the store's files. Emptied at each boot.
// Adds the file (empty) or sets the attributes of one already stored, keeping its contents.
void file_store_add(const std::wstring &path, ULONG attributes = 0x20 /* FILE_ATTRIBUTE_ARCHIVE */);
void file_store_remove(const std::wstring &path);
// The attributes of a stored file, FILE_ATTRIBUTE_DIRECTORY for a folder above one, or
// 0xFFFFFFFF (INVALID_FILE_ATTRIBUTES) when neither.
ULONG file_store_attributes(const std::wstring &path);
// The bytes of a stored file; false when no file (or a folder) has the path.
bool file_store_contents(const std::wstring &path, std::string *bytes);

// ---- Processes started through CreateProcessA, in order (emptied at each boot).
struct process_start_record {
    std::wstring application_name; // empty when none was given
    std::wstring command_line;
    std::wstring current_directory; // the new process's current directory
    DWORD creation_flags = 0;
    ULONG process_id = 0;
};
std::vector<process_start_record> process_start_records();
// Waits until a process started through CreateProcessA ends (machine time, milliseconds) and
// gives its exit code. False on timeout or for an unknown process id.
bool process_start_wait(ULONG process_id, DWORD timeout_ms, DWORD *exit_code);

// ---- Driver updates asked of UpdateDriverForPlugAndPlayDevicesW, in order (emptied at boot).
struct driver_update_record {
    std::wstring hardware_id;
    std::wstring inf_path;
    DWORD install_flags = 0;
    DWORD error = 0;                       // 0 when the update was made
    std::vector<std::wstring> instance_ids; // the devices it reached
};
std::vector<driver_update_record> driver_update_records();

// ---- Device information sets of device setup (an HDEVINFO is a void *).
struct driver_candidate {
    std::string description;   // 8-bit text, at most 255 characters
    std::string manufacturer;
    std::string provider;
    std::string inf_path;      // the set's DriverPath while this driver is looked at
    ULONGLONG driver_date = 0; // FILETIME ticks
    ULONGLONG driver_version = 0;
    DWORD rank = 0;
    DWORD flags = 0;
};
// A set for the device node with this instance ID, holding its compatible and class driver
// lists. Null when no such node exists. The set is freed with install_set_destroy.
void *install_set_create(const std::wstring &instance_id, const std::vector<driver_candidate> &compatible,
                            const std::vector<driver_candidate> &class_drivers);
void install_set_destroy(void *set);
bool install_set_is_valid(void *set);
// The set's driver lists as they stand (ranks and flags as co-installers left them).
std::vector<driver_candidate> install_set_drivers(void *set, bool compatible);
// The set's device install flags (Flags, FlagsEx of SP_DEVINSTALL_PARAMS).
DWORD install_set_flags(void *set);
DWORD install_set_flags_ex(void *set);
// The instance ID of the set's device; its SP_DEVINFO_DATA for co-installer calls.
std::wstring install_set_instance_id(void *set);
void install_set_device_data(void *set, void *sp_devinfo_data);

} // namespace platform
