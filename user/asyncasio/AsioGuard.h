// Keeps C++ exceptions inside the driver: an IASIO method runs its body through AsioGuard, and
// whatever escapes becomes an ASIO error code for the host.
#pragma once
#include <new>
#include <AsioInterface.h>

template <typename Body>
ASIOError AsioGuard(Body &&body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return ASE_NoMemory;
    } catch (...) {
        return ASE_InvalidParameter;
    }
}
