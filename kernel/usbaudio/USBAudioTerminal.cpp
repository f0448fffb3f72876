// Input and output terminals: clock and source resolution, controls and connector state.
#include "USBAudioTerminal.h"
#include "USBAudioCL.h"
#include "USBAudioClock.h"
#include "UsbAudioTrace.h"
#include "UsbDescriptor.h"

namespace {

constexpr ULONG IT_LAST_CONTROL = 5;
constexpr ULONG OT_LAST_CONTROL = 4;
constexpr ULONG TE_CONNECTOR = 1;
constexpr UCHAR TE_CONNECTOR_CONTROL = 0x02;
constexpr ULONG CONNECTOR_ANSWER_LENGTH = 6;

} // namespace

CUSBAudioTerminal::CUSBAudioTerminal(const UCHAR *descriptor, CUSBAudioCL *owner, ULONG lastControl,
                                     ULONG clockOffset, ULONG controlsOffset)
    : CUSBAudioEntity(descriptor, owner), m_pClock(nullptr), m_LastControl(lastControl), m_ClockOffset(clockOffset),
      m_ControlsOffset(controlsOffset)
{
}

NTSTATUS CUSBAudioTerminal::ResolveClock()
{
    NTSTATUS status = STATUS_SUCCESS;
    if (m_pAudio->IsUac2()) {
        m_pClock = m_pAudio->FindClock(UsbDescByte(m_pDescriptor, m_ClockOffset));
        if (m_pClock == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "terminal %u: clock %u not found\n",
                        GetID(), UsbDescByte(m_pDescriptor, m_ClockOffset));
            status = STATUS_NOT_SUPPORTED;
        }
    }
    return status;
}

LONG CUSBAudioTerminal::GetClockSourceID()
{
    return m_pAudio->IsUac2() ? UsbDescByte(m_pDescriptor, m_ClockOffset) : -1;
}

ULONG CUSBAudioTerminal::GetControls()
{
    return m_pAudio->IsUac2() ? UsbDescWord(m_pDescriptor, m_ControlsOffset) : 0;
}

BOOLEAN CUSBAudioTerminal::HasControl(ULONG control)
{
    BOOLEAN present = FALSE;
    if (control > m_LastControl) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_DEVICE, "terminal %u: no control %lu\n", GetID(), control);
    } else {
        ULONG field = (GetControls() >> (2 * control)) & 3;
        if (field == 2) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_DEVICE, "terminal %u: control %lu field is invalid\n",
                        GetID(), control);
        } else {
            present = (field & 1) != 0;
        }
    }
    return present;
}

LONG CUSBAudioTerminal::GetConnectorState()
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "terminal %u\n", GetID());
    LONG state = -1;
    if (HasControl(TE_CONNECTOR)) {
        UCHAR answer[CONNECTOR_ANSWER_LENGTH] = {};
        NTSTATUS status = m_pAudio->ClassRequest(UAC_REQTYPE_GET, UAC2_REQUEST_CUR, TE_CONNECTOR_CONTROL, 0, GetID(),
                                                 sizeof(answer), answer, nullptr);
        if (status == STATUS_SUCCESS) {
            state = answer[0] != 0 ? 1 : 0;
        } else {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "terminal %u: connector request failed 0x%08X\n",
                        GetID(), status);
        }
    }
    return state;
}

USHORT CUSBAudioTerminal::GetTerminalType()
{
    USHORT type = UAC_TERMINAL_UNDEFINED;
    if (m_pDescriptor == nullptr) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_DEVICE, "terminal without a descriptor\n");
    } else {
        type = UsbDescWord(m_pDescriptor, 4);
    }
    return type;
}

CUSBAudioInputTerminal::CUSBAudioInputTerminal(const UCHAR *descriptor, CUSBAudioCL *owner)
    : CUSBAudioTerminal(descriptor, owner, IT_LAST_CONTROL, 7, 14)
{
}

NTSTATUS CUSBAudioInputTerminal::Init()
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "input terminal %u\n", GetID());
    return ResolveClock();
}

NTSTATUS CUSBAudioInputTerminal::GetName(PCHAR buffer, SIZE_T size)
{
    return FormatName("IT", buffer, size);
}

LONG CUSBAudioInputTerminal::GetSourceID(ULONG index)
{
    return -1;
}

CUSBAudioOutputTerminal::CUSBAudioOutputTerminal(const UCHAR *descriptor, CUSBAudioCL *owner)
    : CUSBAudioTerminal(descriptor, owner, OT_LAST_CONTROL, 8, 9), m_pSource(nullptr)
{
}

NTSTATUS CUSBAudioOutputTerminal::Init()
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "output terminal %u\n", GetID());
    NTSTATUS status = STATUS_SUCCESS;
    m_pSource = m_pAudio->FindEntity(UsbDescByte(m_pDescriptor, 7));
    if (m_pSource == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DEVICE, "output terminal %u: source %u not found\n",
                    GetID(), UsbDescByte(m_pDescriptor, 7));
        status = STATUS_NOT_SUPPORTED;
    } else {
        status = ResolveClock();
    }
    return status;
}

NTSTATUS CUSBAudioOutputTerminal::GetName(PCHAR buffer, SIZE_T size)
{
    return FormatName("OT", buffer, size);
}

LONG CUSBAudioOutputTerminal::GetSourceID(ULONG index)
{
    return UsbDescByte(m_pDescriptor, 7);
}
