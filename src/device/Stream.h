#pragma once
// A TCP connection as the network devices use it: connect within a deadline, send and
// receive with deadlines, wake a waiting caller. One implementation per platform (POSIX
// sockets, Winsock).

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "device/Device.h"

namespace trovel::device {

class Stream {
public:
    virtual ~Stream() = default;
    // As Device::ReadSome and Device::Write; a connection the peer closed or reset is gone.
    virtual Io Receive(std::span<std::uint8_t> into, const util::Deadline& until) noexcept = 0;
    virtual Io Send(std::span<const std::uint8_t> data, const util::Deadline& until) noexcept = 0;
    // Makes a waiting Receive or Send return now, and every later one too.
    virtual void Interrupt() noexcept = 0;
};

struct Connected {
    std::unique_ptr<Stream> stream;
    OpenError error = OpenError::None;
};

// Resolves `host` (a name, an IPv4 or IPv6 address) and connects to the first address that
// answers by `until`, with Nagle's delay off: frames are small and wanted at once.
Connected Connect(const std::string& host, const std::string& port, const util::Deadline& until);

} // namespace trovel::device
