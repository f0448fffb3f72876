// CAsioDeviceList: finds the devices served by the asynchronous kernel driver through SetupAPI,
// probes each over its device channel, and tracks which record is the current device.
#pragma once
#include <vector>
#include <windows.h>
#include "AsioDeviceRecord.h"

class CAsioDeviceList {
public:
    CAsioDeviceList();
    ~CAsioDeviceList();
    CAsioDeviceList(const CAsioDeviceList &) = delete;
    CAsioDeviceList &operator=(const CAsioDeviceList &) = delete;

    // Rebuilds the list from the present KSCATEGORY_AUDIO interfaces whose device service is
    // the asynchronous driver's and whose channel answers the rate-range and DSD probes.
    // FALSE only when the interface list cannot be had or memory runs out (records found
    // until then stay). The current index is kept; owners select again afterwards.
    BOOL EnumerateDevices();

    INT GetCount() const { return (INT)m_Devices.size(); }
    // Null when Index is outside the list. The pointer is valid until the next enumeration.
    AsioDeviceRecord *GetDevice(INT Index);
    AsioDeviceRecord *GetCurrentDevice();
    INT GetCurrentIndex() const { return m_CurrentIndex; }
    // FALSE, nothing changed, for an index outside the list. At most one record is flagged.
    BOOL SetCurrentDevice(INT Index);
    // Instance IDs compare with A-Z folded to a-z, nothing else folded.
    BOOL SelectDevice(LPCWSTR InstanceId);
    BOOL FindDevice(LPCWSTR InstanceId, DWORD *IsCurrent = nullptr) const;

    // The device's current rate over a synchronous channel handle; 0 when it cannot be read.
    static DWORD GetSampleRate(const AsioDeviceRecord *Device);
    // Opens the record's channel synchronously, sends one request and closes the handle.
    static BOOL IoControl(const AsioDeviceRecord *Device, DWORD Code, LPVOID InBuffer, DWORD InSize,
                          LPVOID OutBuffer, DWORD OutSize, LPDWORD BytesReturned = nullptr);
    // Asks for KSCATEGORY_AUDIO arrivals and removals as WM_DEVICECHANGE to Window.
    static HDEVNOTIFY RegisterDeviceNotification(HWND Window);

private:
    INT m_CurrentIndex;
    std::vector<AsioDeviceRecord> m_Devices;
};
