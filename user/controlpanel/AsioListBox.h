// CAsioListBox: the panel's owner-drawn device list; the current device is drawn in bold.
#pragma once
#include <afxwin.h>

class CAsioListBox : public CListBox {
public:
    CAsioListBox() : m_pCurrentIndex(nullptr) {}

    // The dialog's current-device index, read at each paint; null draws no item in bold.
    void SetCurrentIndexSource(const INT *CurrentIndex) { m_pCurrentIndex = CurrentIndex; }
    void DrawItem(LPDRAWITEMSTRUCT lpDrawItemStruct) override;

private:
    const INT *m_pCurrentIndex;
};
