// CAsioControlPanelDlg: the control panel's one dialog. It picks the current device, the
// buffer-size index and the device rate, writes them to the shared settings, and follows
// settings changes, device arrival and removal, and a host that holds the driver.
#pragma once
#include <afxwin.h>
#include <afxcmn.h>
#include "AsioDeviceList.h"
#include "AsioListBox.h"
#include "CplRegUtil.h"
#include "DriverUseSync.h"
#include "PanelLogo.h"
#include "RateTables.h"
#include "RegKeyWatcher.h"

class CAsioControlPanelDlg : public CDialog, public CDriverUseTarget {
public:
    explicit CAsioControlPanelDlg(CWnd *pParent = nullptr);
    ~CAsioControlPanelDlg() override;

    // Sync thread: converts a stored DSD rate back to its PCM base under the settings mutex.
    void FixDsdRate() override;

protected:
    void DoDataExchange(CDataExchange *pDX) override;
    BOOL OnInitDialog() override;

    afx_msg void OnSysCommand(UINT nID, LPARAM lParam);
    afx_msg void OnPaint();
    afx_msg HCURSOR OnQueryDragIcon();
    afx_msg void OnHScroll(UINT nSBCode, UINT nPos, CScrollBar *pScrollBar);
    afx_msg void OnSelchangeDeviceList();
    afx_msg void OnSelchangeRateCombo();
    afx_msg LRESULT OnAppNotify(WPARAM wParam, LPARAM lParam);
    afx_msg BOOL OnDeviceChange(UINT nEventType, DWORD_PTR dwData);
    afx_msg void OnDestroy();

    // Tells the user that the device refused a rate. Called with no lock held: a modal box
    // must not keep the machine-wide settings mutex from the driver.
    virtual void ShowDeviceInUse();

    HANDLE m_hSettingsMutex;

    DECLARE_MESSAGE_MAP()

private:
    void RefreshDeviceList();
    void SelectListItem(INT Index);
    void SyncSelection();
    // The rate routines run with the settings mutex held by the caller. Each returns TRUE
    // when the device refused a rate and the caller is to tell the user once it let go.
    BOOL RefreshRateCombo();
    BOOL FillRateCombo(DWORD KeyRate, const RateRange &Range, DWORD Dsd, BOOL Enable);
    BOOL ApplySampleRate(DWORD Rate, BOOL Quiet);
    void SelectRateRow(DWORD Rate, BOOL *HasRow);
    void RefreshBufferSize();
    void ShowBufferSize(BOOL Enabled, DWORD Index);
    BOOL SelectionIsCurrent() const;
    void SetGroupTitle(LPCWSTR Text);

    HICON m_hIcon;
    CPanelLogo m_Logo;
    CRegistryNotify m_RegistryNotify;
    HDEVNOTIFY m_hDeviceNotify;
    CDriverUseSync m_DriverUseSync;
    CSliderCtrl m_Slider;
    CComboBox m_RateCombo;
    CAsioListBox m_DeviceListBox;
    CAsioDeviceList m_DeviceList;
    CCplRegUtil m_RegUtil;
    INT m_ListSelection;
    INT m_CurrentIndex;
    INT m_ComboIndex;
    DWORD m_ShownRate;
    DWORD m_ShownBufferIndex;
    DWORD m_ComboRateCount;
    DWORD m_ComboRates[PCM_RATE_COUNT + DSD_RATE_COUNT];
};
