// The control panel's dialog: start-up, the device list and the current device, and the
// messages through which it follows settings changes and device arrival and removal.
#include "AsioControlPanelDlg.h"
#include <dbt.h>
#include <cwchar>
#include "ControlPanelResources.h"
#include "ControlPanelTrace.h"
#include "NamedObjects.h"
#include "SyncObj.h"

namespace {

const DWORD SelectedChars = 261;
const DWORD VersionTextChars = 256;

// Instance IDs compare with A-Z folded to a-z and nothing else folded.
BOOL SameInstanceId(LPCWSTR a, LPCWSTR b)
{
    for (;; ++a, ++b) {
        WCHAR ca = *a;
        WCHAR cb = *b;
        if (ca >= L'A' && ca <= L'Z') {
            ca = (WCHAR)(ca - L'A' + L'a');
        }
        if (cb >= L'A' && cb <= L'Z') {
            cb = (WCHAR)(cb - L'A' + L'a');
        }
        if (ca != cb) {
            return FALSE;
        }
        if (ca == L'\0') {
            return TRUE;
        }
    }
}

// The description as a list-box string: "&" doubled, so it is not taken as a mnemonic.
CString ListText(LPCWSTR description)
{
    CString text;
    for (; *description != L'\0'; ++description) {
        text += *description;
        if (*description == L'&') {
            text += L'&';
        }
    }
    return text;
}

} // namespace

BEGIN_MESSAGE_MAP(CAsioControlPanelDlg, CDialog)
    ON_WM_SYSCOMMAND()
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
    ON_WM_HSCROLL()
    ON_LBN_SELCHANGE(IDC_DEVICE_LIST, &CAsioControlPanelDlg::OnSelchangeDeviceList)
    ON_CBN_SELCHANGE(IDC_RATE_COMBO, &CAsioControlPanelDlg::OnSelchangeRateCombo)
    ON_MESSAGE(WM_APP, &CAsioControlPanelDlg::OnAppNotify)
    ON_WM_DEVICECHANGE()
    ON_WM_DESTROY()
END_MESSAGE_MAP()

CAsioControlPanelDlg::CAsioControlPanelDlg(CWnd *pParent)
    : CDialog(IDD_CONTROL_PANEL, pParent), m_hSettingsMutex(nullptr), m_hIcon(nullptr), m_hDeviceNotify(nullptr),
      m_ListSelection(-1), m_CurrentIndex(-1), m_ComboIndex(-1), m_ShownRate(0), m_ShownBufferIndex(0),
      m_ComboRateCount(0), m_ComboRates()
{
    m_hIcon = AfxGetApp() != nullptr ? AfxGetApp()->LoadIcon(IDI_PANEL_ICON) : nullptr;
    m_DeviceListBox.SetCurrentIndexSource(&m_CurrentIndex);
}

CAsioControlPanelDlg::~CAsioControlPanelDlg()
{
    m_RegistryNotify.Stop();
    m_DriverUseSync.Stop();
    if (m_hSettingsMutex != nullptr) {
        CloseHandle(m_hSettingsMutex);
        m_hSettingsMutex = nullptr;
    }
}

void CAsioControlPanelDlg::DoDataExchange(CDataExchange *pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_BUFFER_SLIDER, m_Slider);
    DDX_Control(pDX, IDC_RATE_COMBO, m_RateCombo);
    DDX_Control(pDX, IDC_DEVICE_LIST, m_DeviceListBox);
}

BOOL CAsioControlPanelDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);
    SetWindowText(PANEL_WINDOW_TITLE);
    // A logo that cannot be loaded is left out; the panel works without it.
    m_Logo.Load(AfxGetResourceHandle(), IDB_PANEL_LOGO, L"PNG");

    if (!SYNCOBJ::CreateNamedMutex(&m_hSettingsMutex, OVM_SETTINGS_MUTEX_NAME)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_SETTINGS, "settings mutex failed: 0x%08X; the panel ends",
                    (unsigned)GetLastError());
        m_DriverUseSync.Stop();
        if (m_hSettingsMutex != nullptr) {
            CloseHandle(m_hSettingsMutex);
            m_hSettingsMutex = nullptr;
        }
        EndDialog(0);
        return TRUE;
    }

    WCHAR version[VersionTextChars];
    std::swprintf(version, VersionTextChars,
                  L"Orvan Marla Series High Performance ASIO Driver\r\nVersion %ls  built %02d/%02d/%04d\r\n"
                  L"ASIO Technology by Steinberg Media Technologies GmbH\r\n",
                  PANEL_VERSION, PANEL_BUILD_MONTH, PANEL_BUILD_DAY, PANEL_BUILD_YEAR);
    SetDlgItemText(IDC_VERSION_TEXT, version);
    m_Slider.SetRange(0, (int)BUFFER_INDEX_MAX, TRUE);

    // Both watchers run before the first list refresh: a host holding the driver already
    // keeps the panel from moving the current device, and a settings change made while the
    // list is read reaches the dialog afterwards instead of being missed. On a first run the
    // settings key does not exist yet and a watch thread that cannot open it ends for good,
    // so the key is created with its defaults first.
    {
        CMutexLock lock(m_hSettingsMutex);
        m_RegUtil.CreateDefaults();
    }
    m_RegistryNotify.SetTarget(m_hWnd);
    m_RegistryNotify.Start();
    m_DriverUseSync.Start(this);
    RefreshDeviceList();
    m_hDeviceNotify = CAsioDeviceList::RegisterDeviceNotification(m_hWnd);
    return TRUE;
}

void CAsioControlPanelDlg::FixDsdRate()
{
    CMutexLock lock(m_hSettingsMutex);
    m_RegUtil.FixDsdRate();
}

BOOL CAsioControlPanelDlg::SelectionIsCurrent() const
{
    return m_ListSelection >= 0 && m_ListSelection == m_CurrentIndex;
}

void CAsioControlPanelDlg::SetGroupTitle(LPCWSTR Text)
{
    SetDlgItemText(IDC_SETTING_GROUP, Text);
}

void CAsioControlPanelDlg::RefreshDeviceList()
{
    {
        CMutexLock lock(m_hSettingsMutex);
        m_DeviceList.EnumerateDevices();
    }
    m_DeviceListBox.ResetContent();
    const INT count = m_DeviceList.GetCount();
    for (INT i = 0; i < count; ++i) {
        m_DeviceListBox.AddString(ListText(m_DeviceList.GetDevice(i)->Description));
    }
    WCHAR selected[SelectedChars];
    m_RegUtil.GetSelected(selected, SelectedChars);
    // The list keeps its old current index across an enumeration; a device that left must
    // not leave its index to whichever device now holds it.
    m_CurrentIndex = -1;
    for (INT i = 0; i < count; ++i) {
        if (SameInstanceId(m_DeviceList.GetDevice(i)->InstanceId, selected)) {
            m_DeviceList.SetCurrentDevice(i);
            m_CurrentIndex = i;
            break;
        }
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%d devices listed, \"selected\" %ls at %d", (int)count,
                selected, (int)m_CurrentIndex);
    m_ListSelection = -1;
    SelectListItem(m_CurrentIndex >= 0 ? m_CurrentIndex : 0);
}

void CAsioControlPanelDlg::SelectListItem(INT Index)
{
    if (Index < 0 || Index >= m_DeviceListBox.GetCount()) {
        m_ListSelection = -1;
        m_DeviceListBox.SetCurSel(-1);
        SetGroupTitle(L"Setting");
        m_CurrentIndex = -1;
    } else {
        CMutexLock lock(m_hSettingsMutex);
        if (m_DeviceListBox.GetCurSel() != Index) {
            m_DeviceListBox.SetCurSel(Index);
        }
        m_ListSelection = Index;
        CString text;
        m_DeviceListBox.GetText(Index, text);
        SetGroupTitle(text);
        const AsioDeviceRecord *record = m_DeviceList.GetDevice(Index);
        if (!m_DriverUseSync.IsDriverInUse() && Index != m_CurrentIndex && record != nullptr) {
            m_DeviceList.SetCurrentDevice(Index);
            m_RegUtil.SetSelected(record->InstanceId);
            m_CurrentIndex = Index;
        }
    }
    m_DeviceListBox.Invalidate();
    BOOL refused = FALSE;
    {
        CMutexLock lock(m_hSettingsMutex);
        refused = RefreshRateCombo();
        RefreshBufferSize();
    }
    if (refused) {
        ShowDeviceInUse();
    }
}

void CAsioControlPanelDlg::SyncSelection()
{
    const INT count = m_DeviceList.GetCount();
    if (count == 0 || m_ListSelection < 0 || m_ListSelection >= count) {
        return;
    }
    INT index = m_CurrentIndex;
    {
        CMutexLock lock(m_hSettingsMutex);
        WCHAR selected[SelectedChars];
        m_RegUtil.GetSelected(selected, SelectedChars);
        INT found = -1;
        for (INT i = 0; i < count; ++i) {
            if (SameInstanceId(m_DeviceList.GetDevice(i)->InstanceId, selected)) {
                found = i;
                break;
            }
        }
        if (found >= 0) {
            m_DeviceList.SetCurrentDevice(found);
            index = found;
        } else if (!m_DriverUseSync.IsDriverInUse()) {
            // The stored device is gone: the selection becomes current, unless a host holds
            // the driver and its choice must stay as it is.
            m_DeviceList.SetCurrentDevice(m_ListSelection);
            m_RegUtil.SetSelected(m_DeviceList.GetDevice(m_ListSelection)->InstanceId);
            index = m_ListSelection;
        }
    }
    if (index != m_CurrentIndex) {
        m_CurrentIndex = index;
        m_DeviceListBox.Invalidate();
    }
}

void CAsioControlPanelDlg::OnSysCommand(UINT nID, LPARAM lParam)
{
    CDialog::OnSysCommand(nID, lParam);
}

void CAsioControlPanelDlg::OnPaint()
{
    if (!IsIconic()) {
        CDialog::OnPaint();
        // The logo's frame is a hidden control that only marks where the logo goes.
        CWnd *frame = GetDlgItem(IDC_LOGO_FRAME);
        if (frame != nullptr && m_Logo.IsLoaded()) {
            RECT rect;
            frame->GetWindowRect(&rect);
            ScreenToClient(&rect);
            CClientDC dc(this);
            m_Logo.Draw(&dc, rect);
        }
        return;
    }
    CPaintDC dc(this);
    RECT client;
    GetClientRect(&client);
    const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
}

HCURSOR CAsioControlPanelDlg::OnQueryDragIcon()
{
    return (HCURSOR)m_hIcon;
}

void CAsioControlPanelDlg::OnSelchangeDeviceList()
{
    SelectListItem(m_DeviceListBox.GetCurSel());
}

LRESULT CAsioControlPanelDlg::OnAppNotify(WPARAM wParam, LPARAM lParam)
{
    UNREFERENCED_PARAMETER(lParam);
    if (wParam == 1) {
        RefreshDeviceList();
    } else if (wParam == 0) {
        if (m_ListSelection == m_CurrentIndex) {
            BOOL refused = FALSE;
            {
                CMutexLock lock(m_hSettingsMutex);
                refused = RefreshRateCombo();
                RefreshBufferSize();
            }
            if (refused) {
                ShowDeviceInUse();
            }
        }
        SyncSelection();
    }
    return 0;
}

BOOL CAsioControlPanelDlg::OnDeviceChange(UINT nEventType, DWORD_PTR dwData)
{
    UNREFERENCED_PARAMETER(dwData);
    if (nEventType == DBT_DEVICEARRIVAL || nEventType == DBT_DEVICEREMOVECOMPLETE) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "device %s: the list is read again",
                    nEventType == DBT_DEVICEARRIVAL ? "arrival" : "removal");
        ::PostMessageW(m_hWnd, WM_APP, 1, 0);
    }
    return TRUE;
}

void CAsioControlPanelDlg::OnDestroy()
{
    m_DriverUseSync.Stop();
    // The watch threads would post to a window that no longer exists.
    m_RegistryNotify.SetTarget(nullptr);
    m_RegistryNotify.Stop();
    if (m_hDeviceNotify != nullptr) {
        UnregisterDeviceNotification(m_hDeviceNotify);
        m_hDeviceNotify = nullptr;
    }
    if (m_hSettingsMutex != nullptr) {
        CloseHandle(m_hSettingsMutex);
        m_hSettingsMutex = nullptr;
    }
    CDialog::OnDestroy();
}

void CAsioControlPanelDlg::ShowDeviceInUse()
{
    AfxMessageBox(IDS_DEVICE_IN_USE, MB_ICONEXCLAMATION);
}
