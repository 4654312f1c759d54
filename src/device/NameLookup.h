#pragma once
// Host name lookups that a caller can stop waiting for. The platform's lookup blocks for as
// long as its name server takes (seconds when it is away); here it runs on a thread of its
// own, so a line's open waits no longer than the line's time-out and a close wakes it. A
// lookup the caller gave up on runs to its end and is taken up by the next one for the same
// name, so a line that keeps reopening runs at most one lookup at a time.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "util/Deadline.h"

namespace trovel::device {

// One address of a host, in the form socket() and connect() take.
struct Endpoint {
    int family = 0;
    int socketType = 0;
    int protocol = 0;
    std::array<unsigned char, 128> address{};
    std::size_t length = 0;
};

// The platform's own, blocking lookup: every address of host:port, none when it fails.
std::vector<Endpoint> LookUpNow(const std::string& host, const std::string& port);

class NameLookups {
public:
    enum class Status { Found, NotFound, TimedOut, Stopped };
    struct Result {
        Status status;
        std::vector<Endpoint> endpoints;
    };

    NameLookups();
    ~NameLookups();
    NameLookups(const NameLookups&) = delete;
    NameLookups& operator=(const NameLookups&) = delete;

    // The addresses of host:port by `until`. Stopped when Stop has been called since Stops()
    // gave `stopsSeen`, also while it waits.
    Result Resolve(const std::string& host, const std::string& port, const util::Deadline& until,
                   std::uint64_t stopsSeen);
    std::uint64_t Stops() const noexcept;
    void Stop() noexcept;

private:
    struct State;
    std::shared_ptr<State> state_;
};

// What an open is given so that a close can stop it: the line's lookups and their stop
// count when the open began. Without lookups the open cannot be stopped.
struct OpenStop {
    NameLookups* lookups = nullptr;
    std::uint64_t stopsSeen = 0;
};

} // namespace trovel::device
