#pragma once
// A TCP connection as the network devices use it: connect within a deadline, send and
// receive with deadlines, wake a waiting caller. One implementation per platform (POSIX
// sockets, Winsock).

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "device/Device.h"
#include "device/NameLookup.h"

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

// Connects to the first of `endpoints` that answers by `until`, with Nagle's delay off:
// frames are small and wanted at once.
Connected Connect(const std::vector<Endpoint>& endpoints, const util::Deadline& until);

} // namespace trovel::device
