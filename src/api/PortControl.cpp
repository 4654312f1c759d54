// Port control of the default line, and the lines a host opens beside it.

#include <algorithm>
#include <cstring>
#include <string>

#include "TrovelSdk.h"
#include "api/Library.h"
#include "device/Device.h"

using namespace trovel::api;

namespace {

inline constexpr std::uint32_t kLastPortNumber = 1024;

// OpenCom and OpenComDevice: the port opened first stays, with its settings.
int OpenDefault(const std::string& device) noexcept
{
    return Recorded([&] {
        Line& line = DefaultLine();
        return line.IsOpen() ? Cause::Ok : line.Open(device);
    });
}

} // namespace

extern "C" {

int TROVEL_CALL OpenCom(unsigned int port)
{
    if (DefaultLine().IsOpen()) {
        RecordCause(Cause::Ok);
        return 1;
    }
    if (port == 0 || port > kLastPortNumber) {
        RecordCause(Cause::Argument);
        return 0;
    }
    // An installation may point a port number at another device (a gateway, say); without
    // that setting the number names the serial port as it always has.
    return OpenDefault(trovel::device::ConfiguredPort(port).value_or(trovel::device::PortName(port)));
}

bool TROVEL_CALL CloseCom(void)
{
    DefaultLine().Close();
    // The port class could run worker threads in modes this library never enables; there
    // is never one to stop, and stopping none answers false.
    return false;
}

int TROVEL_CALL IsComOpen(void)
{
    return DefaultLine().IsOpen() ? 1 : 0;
}

#if !defined(_WIN32)
int TROVEL_CALL OpenComDevice(const char* path)
{
    if (DefaultLine().IsOpen()) {
        RecordCause(Cause::Ok);
        return 1;
    }
    if (path == nullptr || *path == '\0') {
        RecordCause(Cause::Argument);
        return 0;
    }
    return OpenDefault(path);
}
#endif

TrovelLine* TROVEL_CALL TrovelOpenLine(const char* device)
{
    TrovelLine* handle = nullptr;
    Recorded([&] {
        Cause cause = Cause::Ok;
        handle = OpenLine(device, cause);
        return cause;
    });
    return handle;
}

void TROVEL_CALL TrovelCloseLine(TrovelLine* line)
{
    CloseLine(line);
}

TrovelLine* TROVEL_CALL TrovelDefaultLine(void)
{
    return DefaultHandle();
}

int TROVEL_CALL TrovelListPorts(char* buffer, int size)
{
    try {
        const auto ports = trovel::device::ListPorts();
        // Whole names only, each ended by a newline; always NUL-terminated.
        std::size_t used = 0;
        const std::size_t room = buffer == nullptr || size <= 0 ? 0 : static_cast<std::size_t>(size);
        for (const auto& name : ports) {
            if (used + name.size() + 2 > room)
                break;
            std::memcpy(buffer + used, name.data(), name.size());
            used += name.size();
            buffer[used++] = '\n';
        }
        if (room > 0)
            buffer[used] = '\0';
        return static_cast<int>(ports.size());
    } catch (...) {
        if (buffer != nullptr && size > 0)
            buffer[0] = '\0';
        return 0;
    }
}
}
