#include "api/Library.h"

namespace trovel::api {

namespace {
// Constructed when the library is loaded and destroyed when it is unloaded; the destructor
// closes a port the host left open.
serial::ComPort thePort;
} // namespace

serial::ComPort& Port() noexcept
{
    return thePort;
}

} // namespace trovel::api
