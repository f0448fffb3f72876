// The control panel's rate combo, buffer-size slider and their settings: what the combo
// offers for the selected device, the rate pushed to the device, and the buffer-size index.
#include "AsioControlPanelDlg.h"
#include <cwchar>
#include "ControlPanelResources.h"
#include "ControlPanelTrace.h"
#include "SyncObj.h"

namespace {

const DWORD BufferTextChars = 64;
const DWORD DsdSamplesPerFrame = 32;
// A stored index the slider cannot show comes back as the default.
const DWORD SliderPositionLimit = 32;

} // namespace

BOOL CAsioControlPanelDlg::RefreshRateCombo()
{
    const AsioDeviceRecord *record = m_DeviceList.GetDevice(m_ListSelection);
    if (record == nullptr) {
        return FillRateCombo(0, RateRange{0, 0}, 0, FALSE);
    }
    const DWORD storedRate = m_RegUtil.GetDword(REGVAL_SAMPLING_RATE);
    const DWORD deviceRate = CAsioDeviceList::GetSampleRate(record);
    DWORD key = storedRate;
    BOOL enable = FALSE;
    BOOL pushStoredRate = FALSE;
    if (deviceRate == 0) {
        enable = FALSE;
    } else if (SelectionIsCurrent()) {
        // A DSD rate set by a host is shown read-only.
        enable = !IsLabelledDsdRate(storedRate);
        pushStoredRate = enable && deviceRate != storedRate;
    } else {
        // Another device (a host holds the driver on the current one) is shown at the rate it
        // runs at, and its rate may be changed on the device alone.
        key = deviceRate;
        enable = TRUE;
    }
    BOOL refused = FillRateCombo(key, record->Range, record->DsdNative, enable);
    // The combo holds this device's rows now: the stored rate goes to the device unless the
    // fill already replaced it by a rate the device offers.
    if (pushStoredRate && m_ShownRate == storedRate) {
        refused = ApplySampleRate(storedRate, FALSE) || refused;
    }
    return refused;
}

BOOL CAsioControlPanelDlg::FillRateCombo(DWORD KeyRate, const RateRange &Range, DWORD Dsd, BOOL Enable)
{
    m_RateCombo.EnableWindow(FALSE);
    m_RateCombo.ResetContent();
    m_ComboRateCount = 0;
    m_ComboIndex = -1;
    // The rows run from the first table rate at or above the lowest rate: a device whose
    // lowest rate is not a table rate still offers the table rates it reaches.
    DWORD first = 0;
    while (first < PCM_RATE_COUNT && g_PcmRates[first].rate < Range.Lowest) {
        ++first;
    }
    for (DWORD i = first; i < PCM_RATE_COUNT && g_PcmRates[i].rate <= Range.Highest; ++i) {
        m_RateCombo.AddString(g_PcmRates[i].label);
        m_ComboRates[m_ComboRateCount++] = g_PcmRates[i].rate;
    }
    if (Dsd != 0 && !Enable) {
        for (DWORD i = 0; i < DSD_RATE_COUNT; ++i) {
            m_RateCombo.AddString(g_DsdRates[i].label);
            m_ComboRates[m_ComboRateCount++] = g_DsdRates[i].rate;
        }
    }
    BOOL refused = FALSE;
    if (m_ComboRateCount > 0) {
        m_ShownRate = KeyRate;
        BOOL hasRow = FALSE;
        SelectRateRow(KeyRate, &hasRow);
        if (!hasRow) {
            refused = ApplySampleRate(m_ComboRates[0], TRUE);
        }
    }
    const BOOL enabled = m_ComboRateCount >= 2 && Enable;
    m_RateCombo.EnableWindow(enabled);
    if (CWnd *label = GetDlgItem(IDC_RATE_LABEL)) {
        label->EnableWindow(enabled);
    }
    return refused;
}

void CAsioControlPanelDlg::SelectRateRow(DWORD Rate, BOOL *HasRow)
{
    *HasRow = FALSE;
    for (DWORD i = 0; i < m_ComboRateCount; ++i) {
        if (m_ComboRates[i] == Rate) {
            m_RateCombo.SetCurSel((int)i);
            m_ComboIndex = (INT)i;
            *HasRow = TRUE;
            return;
        }
    }
}

BOOL CAsioControlPanelDlg::ApplySampleRate(DWORD Rate, BOOL Quiet)
{
    const BOOL current = SelectionIsCurrent();
    if (current && m_RegUtil.GetDword(REGVAL_SAMPLING_RATE) != Rate) {
        m_RegUtil.SetDword(REGVAL_SAMPLING_RATE, Rate);
    }
    BOOL refused = FALSE;
    const AsioDeviceRecord *record = m_DeviceList.GetDevice(m_ListSelection);
    if (record != nullptr) {
        DWORD request = Rate;
        const BOOL set =
            CAsioDeviceList::IoControl(record, IOCTL_QELASIO_SET_SAMPLE_RATE, &request, sizeof(request), nullptr, 0);
        if (set) {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "device rate set to %u Hz", (unsigned)Rate);
        } else {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_DEVICE, "the device refused %u Hz%s", (unsigned)Rate,
                        Quiet ? " (kept)" : "");
        }
        if (!set && !Quiet) {
            Rate = CAsioDeviceList::GetSampleRate(record);
            if (Rate == 0) {
                Rate = m_ShownRate;
            }
            if (current) {
                m_RegUtil.SetDword(REGVAL_SAMPLING_RATE, Rate);
            }
            refused = TRUE;
        }
    } else {
        Rate = m_ShownRate;
    }
    m_ShownRate = Rate;
    BOOL hasRow = FALSE;
    SelectRateRow(Rate, &hasRow);
    if (!hasRow && m_ComboRateCount > 0) {
        refused = ApplySampleRate(m_ComboRates[0], TRUE) || refused;
    } else if (current) {
        // The buffer length in samples follows the rate now shown.
        RefreshBufferSize();
    }
    return refused;
}

void CAsioControlPanelDlg::OnSelchangeRateCombo()
{
    BOOL refused = FALSE;
    {
        CMutexLock lock(m_hSettingsMutex);
        const BOOL wasEnabled = m_RateCombo.IsWindowEnabled();
        m_RateCombo.EnableWindow(FALSE);
        const int row = m_RateCombo.GetCurSel();
        // A row outside the table stores nothing: a rate of 0 is no rate.
        if (row >= 0 && (DWORD)row < m_ComboRateCount) {
            refused = ApplySampleRate(m_ComboRates[row], FALSE);
        }
        // Clicks and keys that queued up while the device changed rate are dropped.
        MSG message;
        while (PeekMessageW(&message, m_hWnd, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE)) {
        }
        while (PeekMessageW(&message, m_hWnd, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE)) {
        }
        m_RateCombo.EnableWindow(wasEnabled);
    }
    if (refused) {
        ShowDeviceInUse();
    }
    m_RateCombo.SetFocus();
}

void CAsioControlPanelDlg::RefreshBufferSize()
{
    DWORD index = m_RegUtil.GetDword(REGVAL_BUFFER_SIZE_INDEX);
    if (index > BUFFER_INDEX_MAX) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_SETTINGS, "stored buffer-size index %u is stored as %u",
                    (unsigned)index, (unsigned)BUFFER_INDEX_MAX);
        index = BUFFER_INDEX_MAX;
        m_RegUtil.SetDword(REGVAL_BUFFER_SIZE_INDEX, index);
    }
    m_ShownBufferIndex = index;
    ShowBufferSize(SelectionIsCurrent(), index);
}

void CAsioControlPanelDlg::ShowBufferSize(BOOL Enabled, DWORD Index)
{
    if (!Enabled) {
        SetDlgItemText(IDC_BUFFER_TEXT, L"----");
        m_Slider.EnableWindow(FALSE);
        m_Slider.SetPos(0);
        return;
    }
    const BOOL dsd = IsLabelledDsdRate(m_ShownRate);
    DWORD frames = BufferIndexToFrames(m_ShownRate, dsd, Index);
    if (dsd) {
        frames *= DsdSamplesPerFrame;
    }
    WCHAR text[BufferTextChars];
    std::swprintf(text, BufferTextChars, L"%lu Samples", (unsigned long)frames);
    SetDlgItemText(IDC_BUFFER_TEXT, text);
    m_Slider.SetPos((int)Index);
    m_Slider.EnableWindow(TRUE);
}

void CAsioControlPanelDlg::OnHScroll(UINT nSBCode, UINT nPos, CScrollBar *pScrollBar)
{
    DWORD index = 0;
    switch (nSBCode) {
    case SB_LINEUP:
    case SB_LINEDOWN:
    case SB_PAGEUP:
    case SB_PAGEDOWN:
    case SB_TOP:
    case SB_BOTTOM:
        index = (DWORD)m_Slider.GetPos();
        break;
    case SB_THUMBPOSITION:
        index = nPos;
        break;
    default:
        CDialog::OnHScroll(nSBCode, nPos, pScrollBar);
        return;
    }
    if (index >= SliderPositionLimit) {
        index = BUFFER_INDEX_DEFAULT;
    }
    // The slider writes without the settings mutex, as a single value needs no lock.
    if (index != m_ShownBufferIndex) {
        m_RegUtil.SetDword(REGVAL_BUFFER_SIZE_INDEX, index);
        m_ShownBufferIndex = index;
    }
    ShowBufferSize(TRUE, index);
    CDialog::OnHScroll(nSBCode, nPos, pScrollBar);
}
