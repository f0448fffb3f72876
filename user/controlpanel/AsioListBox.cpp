// The device list's item drawing: highlight colours for the selection, a focus rectangle,
// and the current device in the heaviest weight of the list's font.
#include "AsioListBox.h"

namespace {

const LONG CurrentDeviceWeight = FW_HEAVY;

} // namespace

void CAsioListBox::DrawItem(LPDRAWITEMSTRUCT lpDrawItemStruct)
{
    if (GetCount() <= 0 || lpDrawItemStruct == nullptr || (INT)lpDrawItemStruct->itemID < 0 ||
        (INT)lpDrawItemStruct->itemID >= GetCount()) {
        return;
    }
    const INT item = (INT)lpDrawItemStruct->itemID;
    CDC dc;
    dc.Attach(lpDrawItemStruct->hDC);
    const COLORREF oldText = dc.GetTextColor();
    const COLORREF oldBack = dc.GetBkColor();
    RECT rect = lpDrawItemStruct->rcItem;

    if ((lpDrawItemStruct->itemState & ODS_SELECTED) != 0) {
        dc.SetTextColor(GetSysColor(COLOR_HIGHLIGHTTEXT));
        dc.SetBkColor(GetSysColor(COLOR_HIGHLIGHT));
        dc.FillSolidRect(&rect, GetSysColor(COLOR_HIGHLIGHT));
    } else {
        dc.FillSolidRect(&rect, oldBack);
    }
    if ((lpDrawItemStruct->itemState & ODS_FOCUS) != 0) {
        dc.DrawFocusRect(&rect);
    }

    CFont heavy;
    CFont *oldFont = nullptr;
    if (m_pCurrentIndex != nullptr && *m_pCurrentIndex == item) {
        LOGFONTW font = {};
        CFont *current = dc.GetCurrentFont();
        if (current != nullptr && current->GetLogFont(&font) != 0) {
            font.lfWeight = CurrentDeviceWeight;
            if (heavy.CreateFontIndirect(&font)) {
                oldFont = dc.SelectObject(&heavy);
            }
        }
    }
    CString text;
    GetText(item, text);
    dc.DrawText(text, &rect, DT_VCENTER | DT_SINGLELINE);

    if (oldFont != nullptr) {
        dc.SelectObject(oldFont);
    }
    dc.SetTextColor(oldText);
    dc.SetBkColor(oldBack);
    dc.Detach();
}
