// What the paced bus waits for in ovmlsau's transfer engine: every running direction keeps all
// its transfers in flight (render only while it has queued data to send), so the bus never runs
// ahead of the engine.
#pragma once
#include "AdapterCommon.h"

namespace stddrv_test {

inline bool std_engine_settled(CAdapterCommon &adapter, LONG renderInFlight = STD_RENDER_IN_FLIGHT_DEFAULT,
                               LONG captureInFlight = STD_CAPTURE_IN_FLIGHT_DEFAULT)
{
    for (BOOLEAN capture : {FALSE, TRUE}) {
        if (!adapter.HasWorkerThread(capture) || KeReadStateEvent(adapter.StopEvent(capture)) != 0 ||
            KeReadStateEvent(adapter.ErrorEvent(capture)) != 0) {
            continue;
        }
        if (!capture && (KeReadStateEvent(adapter.RunEvent(FALSE)) == 0 || adapter.QueuedPieces(FALSE) == 0)) {
            continue;
        }
        if (adapter.InFlight(capture) < (capture ? captureInFlight : renderInFlight)) {
            return false;
        }
    }
    return true;
}

} // namespace stddrv_test
