// Port control exports: open, close and test the controllers' serial port.

#include <cstring>
#include <string>

#include "TrovelSdk.h"
#include "api/Library.h"

using trovel::api::Guarded;
using trovel::api::Port;

extern "C" int TROVEL_CALL OpenCom(unsigned int port)
{
    if (Port().IsOpen())
        return 1; // the port opened first stays, with its settings
    if (port == 0 || port > trovel::serial::kLastPortNumber)
        return 0;
    return Guarded([&] {
        static_cast<void>(Port().OpenByNumber(port));
        return Port().IsOpen();
    });
}

extern "C" bool TROVEL_CALL CloseCom(void)
{
    Port().ReleaseHandle();
    // No worker thread ever runs, so there is nothing to stop and the answer is false.
    return Port().StopWorkers();
}

extern "C" int TROVEL_CALL IsComOpen(void)
{
    return Port().IsOpen() ? 1 : 0;
}

#if !defined(_WIN32)
extern "C" int TROVEL_CALL OpenComDevice(const char* path)
{
    if (Port().IsOpen())
        return 1;
    if (path == nullptr || *path == '\0')
        return 0;
    return Guarded([&] {
        static_cast<void>(Port().OpenByPath(std::string(path)));
        return Port().IsOpen();
    });
}
#endif
