// The names of the driver's states and of the IASIO results, for its traces.
#include "AsioTraceNames.h"
#include "QelAsioDriver.h"

const char *AsioStateName(LONG State)
{
    switch (State) {
    case QEL_ASIO_LOADED:
        return "LOADED";
    case QEL_ASIO_INITIALIZED:
        return "INITIALIZED";
    case QEL_ASIO_PREPARED:
        return "PREPARED";
    case QEL_ASIO_RUNNING:
        return "RUNNING";
    default:
        // The suspended state has no name of its own in the traces.
        return "Unknown";
    }
}

const char *AsioResultName(ASIOError Result)
{
    switch (Result) {
    case ASE_OK:
        return "ASE_OK";
    case ASE_SUCCESS:
        return "ASE_SUCCESS";
    case ASE_NotPresent:
        return "ASE_NotPresent";
    case ASE_HWMalfunction:
        return "ASE_HWMalfunction";
    case ASE_InvalidParameter:
        return "ASE_InvalidParameter";
    case ASE_InvalidMode:
        return "ASE_InvalidMode";
    case ASE_SPNotAdvancing:
        return "ASE_SPNotAdvancing";
    case ASE_NoClock:
        return "ASE_NoClock";
    case ASE_NoMemory:
        return "ASE_NoMemory";
    default:
        return "Unknown";
    }
}
