#pragma once
// What every export shares: the port object, the entry checks and the catch-all.

#include <cstdint>

#include "modbus/Frame.h"
#include "serial/ComPort.h"

namespace trovel::api {

// The one port object of the process, alive from library load to unload.
serial::ComPort& Port() noexcept;

// Entry checks every controller call makes first, in this order: the port is open,
// the device address lies in 1 to 16.
inline bool EntryChecksPass(std::int32_t address) noexcept
{
    return Port().IsOpen() && modbus::IsDeviceAddress(address);
}

// Text results go into the buffer the host's own pointer points to; the host passes the
// address of that pointer. Null when either is missing, and the call then writes nothing.
inline char* HostBuffer(char** text) noexcept
{
    return text == nullptr ? nullptr : *text;
}

// No exception may cross into the host: any failure is reported as 0.
template <class Body>
int Guarded(Body&& body) noexcept
{
    try {
        return body() ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

} // namespace trovel::api
