// The standard ASIO driver's device list: the maker's USB audio devices as the audio engine
// shows them, each an active render endpoint paired with the active capture endpoint of the
// same USB device, recognised by the vendor and product IDs in the endpoints' device path.
#pragma once
#include <windows.h>
#include <mmdeviceapi.h>
#include <vector>

inline constexpr DWORD OV_DEVICE_TEXT_CHARS = 128;
inline constexpr DWORD OV_USB_TOKEN_CHARS = 10;
inline constexpr DWORD OV_SUPPORTED_DEVICE_COUNT = 2;

// One supported device. key: the USB device instance path ("USB\VID_xxxx&PID_xxxx\<instance>"),
// equal for both endpoints of the device and the value the setting "selected" holds.
struct OVDEVICERECORD {
    WCHAR name[OV_DEVICE_TEXT_CHARS];      // friendly name of the render endpoint's device interface
    WCHAR key[OV_DEVICE_TEXT_CHARS];
    WCHAR renderId[OV_DEVICE_TEXT_CHARS];  // endpoint identifiers
    WCHAR captureId[OV_DEVICE_TEXT_CHARS]; // empty until paired
    int selected;
    int paired;
};

// A USB hardware-ID pair of tokens: "VID_" and "PID_" followed by four upper-case hex digits.
struct OVSUPPORTEDDEVICEID {
    WCHAR vendor[OV_USB_TOKEN_CHARS];
    WCHAR product[OV_USB_TOKEN_CHARS];
};
extern const OVSUPPORTEDDEVICEID SupportedDeviceIds[OV_SUPPORTED_DEVICE_COUNT];

class OVDEVICELIST {
public:
    OVDEVICELIST();

    // Rebuilds the list from the active endpoints; FALSE (and an empty list) when the
    // enumerator or either endpoint walk failed. Needs COM on the calling thread.
    BOOL refresh();
    DWORD count() const;
    // Null when index is not below count().
    const OVDEVICERECORD *recordAt(DWORD index) const;
    BOOL hasDevices() const;
    // TRUE and the index of the first selected record; *index untouched otherwise.
    BOOL findSelected(DWORD *index) const;
    // Selects exactly this record; FALSE and nothing changed when index is out of range.
    BOOL selectIndex(DWORD index);
    // Selects the first record whose key equals key exactly and deselects every other one;
    // TRUE when one matched. A null key changes nothing.
    BOOL selectByKey(LPCWSTR key);
    // Copies the selected record's key; FALSE without a selection, buffer or room.
    BOOL selectedKey(LPWSTR buffer, DWORD capacity) const;
    // *found and *isSelected of the first record with this key (0 and 0 when none); TRUE when
    // found, FALSE also for a null key.
    BOOL findKey(LPCWSTR key, int *found, int *isSelected) const;

private:
    std::vector<OVDEVICERECORD> m_records;
};

// Endpoint readers: capacity in characters; TRUE when the whole text was copied.
BOOL OvReadFriendlyName(IMMDevice *device, LPWSTR destination, DWORD capacity);
BOOL OvReadEndpointGuid(IMMDevice *device, LPWSTR destination, DWORD capacity);
BOOL OvReadEndpointId(IMMDevice *device, LPWSTR destination, DWORD capacity);
// The device key from the device path the audio engine keeps in the endpoint's registry
// properties (flow 0 render, 1 capture): its second "."-separated piece.
BOOL OvReadDeviceKey(IMMDevice *device, LPWSTR destination, DWORD capacity, DWORD flow);
// *match = 1 when key names a USB device with exactly these vendor and product tokens. TRUE
// when the key had a first piece at all; FALSE for null arguments or an empty key.
BOOL OvMatchUsbIds(LPCWSTR key, LPCWSTR vendor, LPCWSTR product, int *match);
