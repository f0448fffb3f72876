// Terminal entities: input and output terminals, their clock (revision 2), their controls and
// the connector state a jack property reports.
#pragma once
#include "USBAudioEntity.h"

class CUSBAudioClock;

// Terminal type of a terminal without a descriptor, and of a USB streaming terminal.
constexpr USHORT UAC_TERMINAL_UNDEFINED = 0x0100;
constexpr USHORT UAC_TERMINAL_USB_STREAMING = 0x0101;

class CUSBAudioTerminal : public CUSBAudioEntity {
public:
    CUSBAudioTerminal(const UCHAR *descriptor, CUSBAudioCL *owner, ULONG lastControl, ULONG clockOffset,
                      ULONG controlsOffset);

    // Revision 2: the ID of the clock driving the terminal; revision 1: -1.
    virtual LONG GetClockSourceID();
    // Revision 2: the terminal's bmControls; revision 1: 0.
    virtual ULONG GetControls();
    // TRUE when the control's two-bit field says readable.
    virtual BOOLEAN HasControl(ULONG control);
    // 1 connected, 0 not connected, -1 unknown (no connector control or a failed request).
    // PASSIVE_LEVEL.
    virtual LONG GetConnectorState();

    USHORT GetTerminalType();
    CUSBAudioClock *GetClock() const { return m_pClock; }

protected:
    // Revision 2: resolves the clock; STATUS_NOT_SUPPORTED when its ID names no clock.
    NTSTATUS ResolveClock();

    CUSBAudioClock *m_pClock;

private:
    ULONG m_LastControl;
    ULONG m_ClockOffset;
    ULONG m_ControlsOffset;
};

class CUSBAudioInputTerminal : public CUSBAudioTerminal {
public:
    CUSBAudioInputTerminal(const UCHAR *descriptor, CUSBAudioCL *owner);
    NTSTATUS Init() override;
    NTSTATUS GetName(PCHAR buffer, SIZE_T size) override;
    LONG GetSourceID(ULONG index) override;
};

class CUSBAudioOutputTerminal : public CUSBAudioTerminal {
public:
    CUSBAudioOutputTerminal(const UCHAR *descriptor, CUSBAudioCL *owner);
    NTSTATUS Init() override;
    NTSTATUS GetName(PCHAR buffer, SIZE_T size) override;
    LONG GetSourceID(ULONG index) override;

    CUSBAudioEntity *GetSource() const { return m_pSource; }

private:
    CUSBAudioEntity *m_pSource;
};
