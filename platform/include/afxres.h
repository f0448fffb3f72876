// Resources of a dialog-framework program, declared in its own source in place of a compiled
// resource script: dialog templates (a dialog's caption, styles, size and controls) and string
// tables. A program registers its tables once, usually with a static
// CAfxResourceRegistration object; CDialog(id), LoadStringW and CString::LoadString find them.
#pragma once
#include <windows.h>

// One control of a dialog template. Positions are in dialog units; className is a Windows
// class name ("Button", "Static", "ListBox", "ComboBox", TRACKBAR_CLASSW) and style holds its
// WS_ and class style bits. WS_CHILD is implied; a control is visible unless its style leaves
// out WS_VISIBLE.
struct AFX_DLGITEM_TEMPLATE {
    WORD id;
    LPCWSTR className;
    LPCWSTR text;
    DWORD style;
    DWORD exStyle;
    short x;
    short y;
    short cx;
    short cy;
};

// A dialog: WS_ and DS_ style bits of the dialog window, its caption and size in dialog units,
// the dialog font, and its controls in tab order.
struct AFX_DIALOG_TEMPLATE {
    UINT id;
    DWORD style;
    DWORD exStyle;
    short x;
    short y;
    short cx;
    short cy;
    LPCWSTR caption;
    LPCWSTR fontName;
    WORD fontSize;
    const AFX_DLGITEM_TEMPLATE *items;
    UINT itemCount;
};

struct AFX_STRING_RESOURCE {
    UINT id;
    LPCWSTR text;
};

// What one program registers. Arrays are not copied: they must outlive the registration.
struct AFX_RESOURCE_TABLE {
    const AFX_DIALOG_TEMPLATE *dialogs;
    UINT dialogCount;
    const AFX_STRING_RESOURCE *strings;
    UINT stringCount;
};

// Dialog styles.
#define DS_SETFONT 0x40L
#define DS_MODALFRAME 0x80L
#define DS_FIXEDSYS 0x0008L
#define DS_CENTER 0x0800L
#define DS_SHELLFONT (DS_SETFONT | DS_FIXEDSYS)

// Registration is process-wide in the platform: a later table wins for an id that two tables
// hold. Unregistering a table that is not registered does nothing.
void AfxRegisterResources(const AFX_RESOURCE_TABLE *table);
void AfxUnregisterResources(const AFX_RESOURCE_TABLE *table);

// The registered dialog template of id, or null.
const AFX_DIALOG_TEMPLATE *AfxFindDialogTemplate(UINT id);

class CAfxResourceRegistration {
public:
    explicit CAfxResourceRegistration(const AFX_RESOURCE_TABLE &table) : m_table(&table)
    {
        AfxRegisterResources(m_table);
    }
    ~CAfxResourceRegistration() { AfxUnregisterResources(m_table); }
    CAfxResourceRegistration(const CAfxResourceRegistration &) = delete;
    CAfxResourceRegistration &operator=(const CAfxResourceRegistration &) = delete;

private:
    const AFX_RESOURCE_TABLE *m_table;
};
