// The standard ASIO driver's settings key: load with the older buffer-size conversion, save,
// creation with defaults, and the comparison that tells what the control panel changed.
#include "Settings.h"
#include <algorithm>
#include <cwchar>

const WCHAR OvSettingsKey[] = L"SOFTWARE\\Orvan\\Marla Series ASIO";

const OVSETTINGSRECORD OvDefaultSettings = {0, 512, 0, 0, 44100, {0}, 0};

namespace {

const WCHAR BufferSizeValue[] = L"buffer_size,2";
const WCHAR OldBufferSizeValue[] = L"buffer_size";
const WCHAR LockValue[] = L"lock";
const WCHAR NotifyValue[] = L"notify";
const WCHAR SamplingRateValue[] = L"sampling_rate";
const WCHAR SelectedValue[] = L"selected";

// Reads a value whose type and size must be exactly as given. The destination changes only
// when both are: a short value or one of another type would leave a part-written member.
// Returns the query's own status, or ERROR_INVALID_DATA for a type or size that differs.
LSTATUS ReadExact(HKEY key, LPCWSTR name, DWORD expectedType, void *destination, DWORD bytes)
{
    BYTE buffer[sizeof(DWORD)] = {};
    DWORD type = REG_NONE;
    DWORD size = bytes;
    const LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, buffer, &size);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (type != expectedType || size != bytes) {
        return ERROR_INVALID_DATA;
    }
    memcpy(destination, buffer, bytes);
    return ERROR_SUCCESS;
}

// "selected" is kept only when it is REG_SZ and fits one device key. The member is terminated
// after the characters read, since the registry keeps text written without its terminator.
BOOL ReadSelected(HKEY key, OVSETTINGSRECORD *record)
{
    WCHAR text[OV_SELECTED_READ_CHARS] = {};
    DWORD type = REG_NONE;
    DWORD size = sizeof(text);
    if (RegQueryValueExW(key, SelectedValue, nullptr, &type, reinterpret_cast<LPBYTE>(text), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return FALSE;
    }
    DWORD chars = size / sizeof(WCHAR);
    if (chars == OV_SELECTED_READ_CHARS && text[chars - 1] != L'\0') {
        // A key of 128 characters with no room for its terminator is not a device key.
        return FALSE;
    }
    memcpy(record->selected, text, chars * sizeof(WCHAR));
    record->selected[chars < OV_SELECTED_CHARS ? chars : OV_SELECTED_CHARS - 1] = L'\0';
    record->selectedBytes = size;
    return TRUE;
}

// Writes the five current values in the table's order; each write's result is not reported.
VOID WriteValues(HKEY key, const OVSETTINGSRECORD *record)
{
    const DWORD bufferSize = record->bufferSize;
    const DWORD samplingRate = record->samplingRate;
    const size_t chars = wcsnlen(record->selected, OV_SELECTED_CHARS - 1);
    RegSetValueExW(key, BufferSizeValue, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&bufferSize),
                   sizeof(bufferSize));
    RegSetValueExW(key, LockValue, 0, REG_BINARY, &record->lock, sizeof(record->lock));
    RegSetValueExW(key, NotifyValue, 0, REG_BINARY, &record->notify, sizeof(record->notify));
    RegSetValueExW(key, SamplingRateValue, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&samplingRate),
                   sizeof(samplingRate));
    RegSetValueExW(key, SelectedValue, 0, REG_SZ, reinterpret_cast<const BYTE *>(record->selected),
                   (DWORD)((chars + 1) * sizeof(WCHAR)));
}

} // namespace

BOOL OVSETTINGS::load(OVSETTINGSRECORD *record)
{
    if (record == nullptr) {
        return FALSE;
    }
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, OvSettingsKey, 0, KEY_READ | KEY_WOW64_64KEY, &key);
    if (status == ERROR_FILE_NOT_FOUND && createDefaults()) {
        status = RegOpenKeyExW(HKEY_CURRENT_USER, OvSettingsKey, 0, KEY_READ | KEY_WOW64_64KEY, &key);
    }
    if (status != ERROR_SUCCESS) {
        return FALSE;
    }

    record->presence = OV_KEY_OPENED;
    DWORD oldBufferSize = 0;
    const BOOL hasOld = ReadExact(key, OldBufferSizeValue, REG_DWORD, &oldBufferSize, sizeof(DWORD)) == ERROR_SUCCESS;
    if (hasOld) {
        record->presence |= OV_HAS_OLD_BUFFER_SIZE;
    }
    const LSTATUS sizeStatus = ReadExact(key, BufferSizeValue, REG_DWORD, &record->bufferSize, sizeof(DWORD));
    BOOL sizeRead = sizeStatus == ERROR_SUCCESS;
    if (sizeRead) {
        record->presence |= OV_HAS_BUFFER_SIZE;
    } else if (sizeStatus == ERROR_FILE_NOT_FOUND && hasOld) {
        // The older value counted in tenths of a 64-frame step.
        record->bufferSize = (oldBufferSize / 10) * 64;
        sizeRead = TRUE;
    }
    // A size outside the range (an older value below 10 converts to 0) would leave the driver
    // offering a buffer size that createBuffers refuses, so that no host could ever stream.
    if (sizeRead) {
        record->bufferSize = std::clamp(record->bufferSize, OV_BUFFER_FRAMES_MIN, OV_BUFFER_FRAMES_MAX);
    }
    if (ReadExact(key, LockValue, REG_BINARY, &record->lock, sizeof(BYTE)) == ERROR_SUCCESS) {
        record->presence |= OV_HAS_LOCK;
    }
    if (ReadExact(key, NotifyValue, REG_BINARY, &record->notify, sizeof(BYTE)) == ERROR_SUCCESS) {
        record->presence |= OV_HAS_NOTIFY;
    }
    if (ReadExact(key, SamplingRateValue, REG_DWORD, &record->samplingRate, sizeof(DWORD)) == ERROR_SUCCESS) {
        record->presence |= OV_HAS_SAMPLING_RATE;
    }
    if (ReadSelected(key, record)) {
        record->presence |= OV_HAS_SELECTED;
    }
    RegCloseKey(key);

    if (hasOld && (record->presence & OV_HAS_BUFFER_SIZE) == 0) {
        save(record);
    }
    return TRUE;
}

BOOL OVSETTINGS::save(const OVSETTINGSRECORD *record)
{
    if (record == nullptr) {
        return FALSE;
    }
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, OvSettingsKey, 0, KEY_WRITE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        return FALSE;
    }
    WriteValues(key, record);
    RegCloseKey(key);
    return TRUE;
}

BOOL OVSETTINGS::createDefaults()
{
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, OvSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, &disposition) != ERROR_SUCCESS) {
        return FALSE;
    }
    if (disposition != REG_OPENED_EXISTING_KEY) {
        WriteValues(key, &OvDefaultSettings);
    }
    RegCloseKey(key);
    return TRUE;
}

DWORD OvCompareSettings(const OVSETTINGSRECORD &record, const OVCURRENTSETTINGS &current, BOOL otherDeviceNamed)
{
    DWORD mask = 0;
    if (record.bufferSize != current.bufferFrames) {
        mask |= OV_CHANGED_BUFFER_SIZE;
    }
    if ((DWORD)record.lock != current.lock) {
        mask |= OV_CHANGED_LOCK;
    }
    if ((DWORD)record.notify != current.notify) {
        mask |= OV_CHANGED_NOTIFY;
    }
    if (record.samplingRate != current.sampleRate) {
        mask |= OV_CHANGED_SAMPLE_RATE;
    }
    if (otherDeviceNamed) {
        mask |= OV_CHANGED_SELECTED;
    }
    return mask;
}
