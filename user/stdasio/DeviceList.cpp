// The device list of the standard ASIO driver: the endpoint walks that find the supported USB
// devices and pair their render and capture endpoints, the endpoint readers, the USB ID match
// and the selection of the current device.
#include "DeviceList.h"

#include <cwchar>
#include <objbase.h>
#include <propsys.h>
#include <functiondiscoverykeys_devpkey.h>

const OVSUPPORTEDDEVICEID SupportedDeviceIds[OV_SUPPORTED_DEVICE_COUNT] = {
    {L"VID_3A51", L"PID_0201"},
    {L"VID_3A51", L"PID_0202"},
};

namespace {

// The endpoint property that holds the device path of the device behind the endpoint.
constexpr const WCHAR *DevicePathValue = L"{b3f8fa53-0004-438e-9003-51a46e139bfc},2";
constexpr DWORD PathChars = 256;
// The device path is read into 256 bytes of UTF-16 text: 128 characters with the terminator.
constexpr DWORD DevicePathChars = 128;

// Copies src when it fits in capacity characters with its terminator.
BOOL CopyWhole(LPWSTR destination, DWORD capacity, LPCWSTR source)
{
    const size_t length = wcslen(source);
    if (destination == nullptr || length >= capacity) {
        return FALSE;
    }
    wmemcpy(destination, source, length + 1);
    return TRUE;
}

// The next piece of text between separators; runs of separators count as one and leading
// ones are skipped. FALSE when none is left.
BOOL NextPiece(const WCHAR **cursor, LPCWSTR separators, LPWSTR piece, DWORD capacity)
{
    const WCHAR *p = *cursor;
    while (*p != L'\0' && wcschr(separators, *p) != nullptr) {
        ++p;
    }
    if (*p == L'\0') {
        *cursor = p;
        return FALSE;
    }
    DWORD length = 0;
    while (*p != L'\0' && wcschr(separators, *p) == nullptr) {
        if (length + 1 < capacity) {
            piece[length++] = *p;
        }
        ++p;
    }
    piece[length] = L'\0';
    *cursor = p;
    return TRUE;
}

BOOL ReadStringProperty(IMMDevice *device, const PROPERTYKEY &key, LPWSTR destination, DWORD capacity)
{
    IPropertyStore *store = nullptr;
    if (device == nullptr || FAILED(device->OpenPropertyStore(STGM_READ, &store))) {
        return FALSE;
    }
    PROPVARIANT value;
    PropVariantInit(&value);
    BOOL copied = FALSE;
    if (SUCCEEDED(store->GetValue(key, &value)) && value.vt == VT_LPWSTR && value.pwszVal != nullptr) {
        copied = CopyWhole(destination, capacity, value.pwszVal);
    }
    PropVariantClear(&value);
    store->Release();
    return copied;
}

// Adds the render endpoint at index to records when it is a supported device.
void AddRenderEndpoint(IMMDeviceCollection *collection, UINT index, std::vector<OVDEVICERECORD> *records)
{
    IMMDevice *device = nullptr;
    if (FAILED(collection->Item(index, &device))) {
        return;
    }
    OVDEVICERECORD record = {};
    BOOL supported = FALSE;
    if (OvReadDeviceKey(device, record.key, OV_DEVICE_TEXT_CHARS, eRender)) {
        for (const OVSUPPORTEDDEVICEID &row : SupportedDeviceIds) {
            int match = 0;
            if (OvMatchUsbIds(record.key, row.vendor, row.product, &match) && match != 0) {
                supported = TRUE;
                break;
            }
        }
    }
    if (supported && OvReadFriendlyName(device, record.name, OV_DEVICE_TEXT_CHARS) &&
        OvReadEndpointId(device, record.renderId, OV_DEVICE_TEXT_CHARS)) {
        records->push_back(record);
    }
    device->Release();
}

// Gives the capture endpoint at index to the first unpaired record of the same device.
void PairCaptureEndpoint(IMMDeviceCollection *collection, UINT index, std::vector<OVDEVICERECORD> *records)
{
    IMMDevice *device = nullptr;
    if (FAILED(collection->Item(index, &device))) {
        return;
    }
    WCHAR key[OV_DEVICE_TEXT_CHARS] = {};
    WCHAR id[OV_DEVICE_TEXT_CHARS] = {};
    if (OvReadDeviceKey(device, key, OV_DEVICE_TEXT_CHARS, eCapture) && OvReadEndpointId(device, id, OV_DEVICE_TEXT_CHARS)) {
        for (OVDEVICERECORD &record : *records) {
            if (record.paired == 0 && wcscmp(record.key, key) == 0) {
                wmemcpy(record.captureId, id, OV_DEVICE_TEXT_CHARS);
                record.paired = 1;
                break;
            }
        }
    }
    device->Release();
}

// Runs visit for each active endpoint of flow; FALSE when the walk itself failed.
template <typename Visit> BOOL WalkEndpoints(IMMDeviceEnumerator *enumerator, EDataFlow flow, Visit visit)
{
    IMMDeviceCollection *collection = nullptr;
    if (FAILED(enumerator->EnumAudioEndpoints(flow, DEVICE_STATE_ACTIVE, &collection))) {
        return FALSE;
    }
    UINT count = 0;
    const BOOL counted = SUCCEEDED(collection->GetCount(&count));
    for (UINT i = 0; counted && i < count; ++i) {
        visit(collection, i);
    }
    collection->Release();
    return counted;
}

} // namespace

OVDEVICELIST::OVDEVICELIST()
{
    m_records.reserve(8);
}

BOOL OVDEVICELIST::refresh()
{
    m_records.clear();
    IMMDeviceEnumerator *enumerator = nullptr;
    if (FAILED(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_INPROC_SERVER, IID_IMMDeviceEnumerator,
                                reinterpret_cast<void **>(&enumerator)))) {
        return FALSE;
    }
    std::vector<OVDEVICERECORD> records;
    BOOL walked = WalkEndpoints(enumerator, eRender, [&](IMMDeviceCollection *c, UINT i) { AddRenderEndpoint(c, i, &records); });
    walked = walked &&
             WalkEndpoints(enumerator, eCapture, [&](IMMDeviceCollection *c, UINT i) { PairCaptureEndpoint(c, i, &records); });
    enumerator->Release();
    if (!walked) {
        return FALSE;
    }
    for (const OVDEVICERECORD &record : records) {
        if (record.paired != 0) {
            m_records.push_back(record);
        }
    }
    return TRUE;
}

DWORD OVDEVICELIST::count() const
{
    return static_cast<DWORD>(m_records.size());
}

const OVDEVICERECORD *OVDEVICELIST::recordAt(DWORD index) const
{
    return index < m_records.size() ? &m_records[index] : nullptr;
}

BOOL OVDEVICELIST::hasDevices() const
{
    return !m_records.empty();
}

BOOL OVDEVICELIST::findSelected(DWORD *index) const
{
    for (DWORD i = 0; i < m_records.size(); ++i) {
        if (m_records[i].selected != 0) {
            if (index != nullptr) {
                *index = i;
            }
            return TRUE;
        }
    }
    return FALSE;
}

BOOL OVDEVICELIST::selectIndex(DWORD index)
{
    if (index >= m_records.size()) {
        return FALSE;
    }
    for (DWORD i = 0; i < m_records.size(); ++i) {
        m_records[i].selected = i == index ? 1 : 0;
    }
    return TRUE;
}

BOOL OVDEVICELIST::selectByKey(LPCWSTR key)
{
    if (key == nullptr) {
        return FALSE;
    }
    BOOL matched = FALSE;
    for (OVDEVICERECORD &record : m_records) {
        const BOOL match = !matched && wcscmp(record.key, key) == 0;
        record.selected = match ? 1 : 0;
        matched = matched || match;
    }
    return matched;
}

BOOL OVDEVICELIST::selectedKey(LPWSTR buffer, DWORD capacity) const
{
    DWORD index = 0;
    if (buffer == nullptr || capacity == 0 || !findSelected(&index)) {
        return FALSE;
    }
    return CopyWhole(buffer, capacity, m_records[index].key);
}

BOOL OVDEVICELIST::findKey(LPCWSTR key, int *found, int *isSelected) const
{
    if (found != nullptr) {
        *found = 0;
    }
    if (isSelected != nullptr) {
        *isSelected = 0;
    }
    if (key == nullptr) {
        return FALSE;
    }
    for (const OVDEVICERECORD &record : m_records) {
        if (wcscmp(record.key, key) == 0) {
            if (found != nullptr) {
                *found = 1;
            }
            if (isSelected != nullptr) {
                *isSelected = record.selected;
            }
            return TRUE;
        }
    }
    return FALSE;
}

BOOL OvReadFriendlyName(IMMDevice *device, LPWSTR destination, DWORD capacity)
{
    return ReadStringProperty(device, PKEY_DeviceInterface_FriendlyName, destination, capacity);
}

BOOL OvReadEndpointGuid(IMMDevice *device, LPWSTR destination, DWORD capacity)
{
    return ReadStringProperty(device, PKEY_AudioEndpoint_GUID, destination, capacity);
}

BOOL OvReadEndpointId(IMMDevice *device, LPWSTR destination, DWORD capacity)
{
    LPWSTR id = nullptr;
    if (device == nullptr || FAILED(device->GetId(&id)) || id == nullptr) {
        return FALSE;
    }
    const BOOL copied = CopyWhole(destination, capacity, id);
    CoTaskMemFree(id);
    return copied;
}

BOOL OvReadDeviceKey(IMMDevice *device, LPWSTR destination, DWORD capacity, DWORD flow)
{
    WCHAR guid[PathChars] = {};
    if (!OvReadEndpointGuid(device, guid, PathChars)) {
        return FALSE;
    }
    WCHAR path[PathChars] = {};
    const LPCWSTR pattern = flow == eRender ? L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio\\Render\\%ls\\Properties"
                                            : L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio\\Capture\\%ls\\Properties";
    if (swprintf(path, PathChars, pattern, guid) < 0) {
        return FALSE;
    }
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        return FALSE;
    }
    // One character more than is read, so that a value stored without its terminator still
    // ends inside the buffer.
    WCHAR devicePath[DevicePathChars + 1] = {};
    DWORD type = 0;
    DWORD bytes = DevicePathChars * sizeof(WCHAR);
    const LONG status =
        RegQueryValueExW(key, DevicePathValue, nullptr, &type, reinterpret_cast<BYTE *>(devicePath), &bytes);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ) {
        return FALSE;
    }
    devicePath[bytes / sizeof(WCHAR)] = L'\0';
    const WCHAR *cursor = devicePath;
    WCHAR piece[DevicePathChars + 1];
    if (!NextPiece(&cursor, L".", piece, DevicePathChars + 1) || !NextPiece(&cursor, L".", piece, DevicePathChars + 1)) {
        return FALSE;
    }
    return CopyWhole(destination, capacity, piece);
}

BOOL OvMatchUsbIds(LPCWSTR key, LPCWSTR vendor, LPCWSTR product, int *match)
{
    if (match != nullptr) {
        *match = 0;
    }
    if (key == nullptr || vendor == nullptr || product == nullptr || match == nullptr) {
        return FALSE;
    }
    WCHAR copy[PathChars];
    wcsncpy(copy, key, PathChars - 1);
    copy[PathChars - 1] = L'\0';
    const WCHAR *cursor = copy;
    WCHAR piece[PathChars];
    if (!NextPiece(&cursor, L"\\", piece, PathChars)) {
        return FALSE;
    }
    if (wcsncmp(piece, L"USB", 3) == 0 && NextPiece(&cursor, L"&\\", piece, PathChars) && wcscmp(piece, vendor) == 0 &&
        NextPiece(&cursor, L"&\\", piece, PathChars) && wcscmp(piece, product) == 0) {
        *match = 1;
    }
    return TRUE;
}
