// CDialogEx: the extended dialog class, here the plain dialog under its other name.
#pragma once
#include <afxwin.h>

class CDialogEx : public CDialog {
public:
    CDialogEx() = default;
    explicit CDialogEx(UINT nIDTemplate, CWnd *pParent = nullptr) : CDialog(nIDTemplate, pParent) {}
};
