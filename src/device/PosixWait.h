#pragma once
// Waiting on a POSIX descriptor, shared by the serial and the TCP backend: until it is ready,
// the deadline passes, or another thread wakes the waiter. A signal does not shorten the
// wait: it goes back to sleep for what is left.

#include <poll.h>

#include <array>
#include <cerrno>
#include <ctime>

#include "util/Deadline.h"

namespace trovel::device {

enum class Ready { Yes, TimedOut, Gone };

// Time left for waits that take a timespec, such as ppoll.
inline timespec RemainingTimespec(const util::Deadline& until) noexcept
{
    const auto ns = until.Remaining().count();
    return {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

// `wake`: a descriptor that becomes readable when the waiter must give up (-1: none).
inline Ready WaitFor(int fd, short events, const util::Deadline& until, int wake = -1) noexcept
{
    for (;;) {
        if (until.Passed())
            return Ready::TimedOut;
        const timespec timeout = RemainingTimespec(until);
        std::array<pollfd, 2> p{{{fd, events, 0}, {wake, POLLIN, 0}}};
        const int rc = ::ppoll(p.data(), wake >= 0 ? 2 : 1, &timeout, nullptr);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            return Ready::Gone;
        }
        if ((p[1].revents & POLLIN) != 0)
            return Ready::TimedOut; // woken: the device is being released
        if ((p[0].revents & events) != 0)
            return Ready::Yes;
        if ((p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            return Ready::Gone;
    }
}

} // namespace trovel::device
