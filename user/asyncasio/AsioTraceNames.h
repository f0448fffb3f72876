// The names by which the asynchronous ASIO driver's traces show its states and the IASIO
// results it answers.
#pragma once
#include <windows.h>
#include <AsioInterface.h>

// "LOADED", "INITIALIZED", "PREPARED", "RUNNING"; any other state "Unknown".
const char *AsioStateName(LONG State);
// "ASE_OK", "ASE_SUCCESS", "ASE_NotPresent" ... ; any other value "Unknown".
const char *AsioResultName(ASIOError Result);
