// Device discovery: the asynchronous driver's audio interfaces, turned into device-channel
// paths and probed over the channel before they are listed.
#include "AsioDeviceList.h"
#include <UserTrace.h>
#include <cwchar>
#include <memory>
#include <new>
#include <string>
#include <cstddef>
#include <dbt.h>
#include <ks.h>
#include <ksmedia.h>
#include <setupapi.h>

namespace {

// The service name of the asynchronous kernel driver, as device setup records it.
const WCHAR AsyncDriverService[] = L"OVMLSAAU";
const WCHAR WaveReference[] = L"\\wave";
const WCHAR ChannelSuffix[] = L"\\asio";

WCHAR AsciiLower(WCHAR c)
{
    return (c >= L'A' && c <= L'Z') ? (WCHAR)(c - L'A' + L'a') : c;
}

// Equality with A-Z folded, as the C runtime's case-insensitive compare does in the C locale.
bool EqualIdsAsciiCase(LPCWSTR a, LPCWSTR b)
{
    for (; *a != L'\0' && *b != L'\0'; ++a, ++b) {
        if (AsciiLower(*a) != AsciiLower(*b)) {
            return false;
        }
    }
    return *a == *b;
}

// Copies Source into a field of Capacity characters; FALSE (field empty) when it does not fit.
bool CopyWhole(WCHAR *Field, size_t Capacity, LPCWSTR Source)
{
    const size_t length = std::wcslen(Source);
    if (length >= Capacity) {
        Field[0] = L'\0';
        return false;
    }
    std::wmemcpy(Field, Source, length + 1);
    return true;
}

// A string property of the device: size query, heap buffer, second read. Empty on failure.
bool ReadStringProperty(HDEVINFO Set, SP_DEVINFO_DATA *Device, DWORD Property, std::wstring *Value)
{
    DWORD type = 0;
    DWORD required = 0;
    SetupDiGetDeviceRegistryPropertyW(Set, Device, Property, &type, nullptr, 0, &required);
    if (required == 0) {
        return false;
    }
    std::unique_ptr<WCHAR[]> text(new (std::nothrow) WCHAR[required / sizeof(WCHAR) + 1]());
    if (!text) {
        return false;
    }
    if (!SetupDiGetDeviceRegistryPropertyW(Set, Device, Property, &type, reinterpret_cast<PBYTE>(text.get()),
                                           required, nullptr)) {
        return false;
    }
    if (type != REG_SZ && type != REG_MULTI_SZ && type != REG_EXPAND_SZ) {
        return false;
    }
    try {
        Value->assign(text.get());
    } catch (...) {
        return false;
    }
    return true;
}

// The interface path turned into the device-channel path: lower case, cut at the subdevice's
// reference string, "\asio" appended. FALSE when the path names no subdevice or the result
// does not fit the record.
bool MakeChannelPath(LPCWSTR InterfacePath, WCHAR Channel[ASIO_DEVICE_PATH_CHARS])
{
    WCHAR path[ASIO_DEVICE_PATH_CHARS];
    if (!CopyWhole(path, ASIO_DEVICE_PATH_CHARS, InterfacePath)) {
        return false;
    }
    for (WCHAR *c = path; *c != L'\0'; ++c) {
        *c = AsciiLower(*c);
    }
    WCHAR *wave = std::wcsstr(path, WaveReference);
    if (wave == nullptr) {
        return false;
    }
    *wave = L'\0';
    const size_t kept = (size_t)(wave - path);
    const size_t suffix = std::wcslen(ChannelSuffix);
    if (kept + suffix >= ASIO_DEVICE_PATH_CHARS) {
        return false;
    }
    std::wmemcpy(Channel, path, kept);
    std::wmemcpy(Channel + kept, ChannelSuffix, suffix + 1);
    return true;
}

HANDLE OpenSynchronous(LPCWSTR Path)
{
    return CreateFileW(Path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

// Both questions a listed device must answer: its rate range and its DSD support.
bool ProbeDevice(AsioDeviceRecord *Record)
{
    RateRange range = {};
    DWORD bytes = 0;
    if (!CAsioDeviceList::IoControl(Record, IOCTL_QELASIO_GET_RATE_RANGE, nullptr, 0, &range, sizeof(range),
                                    &bytes) ||
        bytes != sizeof(range)) {
        return false;
    }
    Record->Range = range;
    DWORD dsd = 0;
    bytes = 0;
    if (!CAsioDeviceList::IoControl(Record, IOCTL_QELASIO_GET_DSD_SUPPORT, nullptr, 0, &dsd, sizeof(dsd), &bytes) ||
        bytes != sizeof(dsd)) {
        return false;
    }
    Record->DsdNative = dsd;
    return true;
}

} // namespace

CAsioDeviceList::CAsioDeviceList() : m_CurrentIndex(-1)
{
    m_Devices.reserve(8);
}

CAsioDeviceList::~CAsioDeviceList() = default;

BOOL CAsioDeviceList::EnumerateDevices()
{
    m_Devices.clear();
    HDEVINFO set = SetupDiGetClassDevsW(&KSCATEGORY_AUDIO, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "SetupDiGetClassDevsW failed: %u", (unsigned)GetLastError());
        return FALSE;
    }
    // The detail record holds a path of up to MAX_PATH characters behind its size field.
    const DWORD detailBytes =
        (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + MAX_PATH * sizeof(WCHAR));
    BOOL result = TRUE;
    SP_DEVICE_INTERFACE_DATA interfaceData = {};
    interfaceData.cbSize = sizeof(interfaceData);
    for (DWORD member = 0;
         SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_AUDIO, member, &interfaceData); ++member) {
        std::unique_ptr<BYTE[]> detailBuffer(new (std::nothrow) BYTE[detailBytes]());
        if (!detailBuffer) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "no memory for interface %u", (unsigned)member);
            result = FALSE;
            break;
        }
        auto detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(detailBuffer.get());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof(device);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, detailBytes, nullptr, &device)) {
            continue;
        }
        std::wstring service;
        if (!ReadStringProperty(set, &device, SPDRP_SERVICE, &service) || service != AsyncDriverService) {
            continue;
        }
        AsioDeviceRecord record = {};
        if (!MakeChannelPath(detail->DevicePath, record.ChannelPath)) {
            continue;
        }
        std::wstring description;
        if (!ReadStringProperty(set, &device, SPDRP_DEVICEDESC, &description)) {
            continue;
        }
        // A description longer than the record is cut; the name is for display only.
        std::wcsncpy(record.Description, description.c_str(), ASIO_DEVICE_DESC_CHARS - 1);
        record.Description[ASIO_DEVICE_DESC_CHARS - 1] = L'\0';
        WCHAR instanceId[ASIO_DEVICE_ID_CHARS + 1] = {};
        if (!SetupDiGetDeviceInstanceIdW(set, &device, instanceId, ASIO_DEVICE_ID_CHARS + 1, nullptr) ||
            !CopyWhole(record.InstanceId, ASIO_DEVICE_ID_CHARS, instanceId)) {
            continue;
        }
        if (!ProbeDevice(&record)) {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "%ls not listed: no answer on %ls",
                        record.InstanceId, record.ChannelPath);
            continue;
        }
        try {
            m_Devices.push_back(record);
        } catch (const std::bad_alloc &) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "no memory for the list");
            result = FALSE;
            break;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "%u devices", (unsigned)m_Devices.size());
    return result;
}

AsioDeviceRecord *CAsioDeviceList::GetDevice(INT Index)
{
    if (Index < 0 || Index >= GetCount()) {
        return nullptr;
    }
    return &m_Devices[(size_t)Index];
}

AsioDeviceRecord *CAsioDeviceList::GetCurrentDevice()
{
    return GetDevice(m_CurrentIndex);
}

BOOL CAsioDeviceList::SetCurrentDevice(INT Index)
{
    if (Index < 0 || Index >= GetCount()) {
        return FALSE;
    }
    if (AsioDeviceRecord *previous = GetDevice(m_CurrentIndex)) {
        previous->IsCurrent = 0;
    }
    m_Devices[(size_t)Index].IsCurrent = 1;
    m_CurrentIndex = Index;
    return TRUE;
}

BOOL CAsioDeviceList::SelectDevice(LPCWSTR InstanceId)
{
    if (InstanceId == nullptr) {
        return FALSE;
    }
    for (INT i = 0; i < GetCount(); ++i) {
        if (EqualIdsAsciiCase(m_Devices[(size_t)i].InstanceId, InstanceId)) {
            return SetCurrentDevice(i);
        }
    }
    return FALSE;
}

BOOL CAsioDeviceList::FindDevice(LPCWSTR InstanceId, DWORD *IsCurrent) const
{
    if (InstanceId == nullptr) {
        return FALSE;
    }
    for (const AsioDeviceRecord &record : m_Devices) {
        if (EqualIdsAsciiCase(record.InstanceId, InstanceId)) {
            if (IsCurrent != nullptr) {
                *IsCurrent = record.IsCurrent;
            }
            return TRUE;
        }
    }
    return FALSE;
}

DWORD CAsioDeviceList::GetSampleRate(const AsioDeviceRecord *Device)
{
    DWORD rate = 0;
    DWORD bytes = 0;
    if (!IoControl(Device, IOCTL_QELASIO_GET_SAMPLE_RATE, nullptr, 0, &rate, sizeof(rate), &bytes) ||
        bytes != sizeof(rate)) {
        return 0;
    }
    return rate;
}

BOOL CAsioDeviceList::IoControl(const AsioDeviceRecord *Device, DWORD Code, LPVOID InBuffer, DWORD InSize,
                                LPVOID OutBuffer, DWORD OutSize, LPDWORD BytesReturned)
{
    if (Device == nullptr) {
        return FALSE;
    }
    HANDLE handle = OpenSynchronous(Device->ChannelPath);
    if (handle == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    DWORD local = 0;
    const BOOL result = DeviceIoControl(handle, Code, InBuffer, InSize, OutBuffer, OutSize,
                                        BytesReturned != nullptr ? BytesReturned : &local, nullptr);
    const DWORD error = GetLastError();
    CloseHandle(handle);
    SetLastError(error);
    return result;
}

HDEVNOTIFY CAsioDeviceList::RegisterDeviceNotification(HWND Window)
{
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = KSCATEGORY_AUDIO;
    // Qualified: under UNICODE this member's own name is RegisterDeviceNotificationW as well.
    return ::RegisterDeviceNotificationW(Window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}
