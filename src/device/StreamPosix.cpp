// TCP for network lines on POSIX: non-blocking sockets, waits in ppoll on the monotonic
// clock, names through the system resolver.

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <ctime>

#include "device/Stream.h"

namespace trovel::device {

namespace {

enum class Ready { Yes, TimedOut, Gone };

Ready WaitFor(int fd, short events, const util::Deadline& until) noexcept
{
    for (;;) {
        if (until.Passed())
            return Ready::TimedOut;
        const timespec timeout = until.RemainingTimespec();
        pollfd p{fd, events, 0};
        const int rc = ::ppoll(&p, 1, &timeout, nullptr);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            return Ready::Gone;
        }
        if ((p.revents & events) != 0)
            return Ready::Yes;
        if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            return Ready::Gone;
    }
}

class Socket final : public Stream {
public:
    explicit Socket(int fd) noexcept : fd_(fd) {}
    ~Socket() override { ::close(fd_); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    Io Receive(std::span<std::uint8_t> into, const util::Deadline& until) noexcept override
    {
        for (;;) {
            if (interrupted_.load(std::memory_order_acquire))
                return {0, false};
            const ssize_t n = ::recv(fd_, into.data(), into.size(), 0);
            if (n > 0)
                return {static_cast<std::size_t>(n), false};
            if (n == 0)
                return {0, !interrupted_.load(std::memory_order_acquire)}; // the peer closed the connection
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return {0, true};
            const Ready ready = WaitFor(fd_, POLLIN, until);
            if (ready == Ready::TimedOut)
                return {0, false};
            if (ready == Ready::Gone)
                return {0, !interrupted_.load(std::memory_order_acquire)};
        }
    }

    Io Send(std::span<const std::uint8_t> data, const util::Deadline& until) noexcept override
    {
        std::size_t put = 0;
        while (put < data.size()) {
            if (interrupted_.load(std::memory_order_acquire))
                return {put, false};
            const ssize_t n = ::send(fd_, data.data() + put, data.size() - put, MSG_NOSIGNAL);
            if (n > 0) {
                put += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                return {put, true};
            const Ready ready = WaitFor(fd_, POLLOUT, until);
            if (ready != Ready::Yes)
                return {put, ready == Ready::Gone};
        }
        return {put, false};
    }

    // Shutting the connection down wakes any wait on it; the flag tells the waiter that
    // this was no loss of the peer.
    void Interrupt() noexcept override
    {
        interrupted_.store(true, std::memory_order_release);
        ::shutdown(fd_, SHUT_RDWR);
    }

private:
    int fd_;
    std::atomic<bool> interrupted_{false};
};

OpenError FromConnectErrno(int error) noexcept
{
    return error == EACCES || error == EPERM ? OpenError::Permission : OpenError::Connect;
}

} // namespace

Connected Connect(const std::string& host, const std::string& port, const util::Deadline& until)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr)
        return {nullptr, OpenError::NoDevice};
    Connected result{nullptr, OpenError::Connect};
    for (const addrinfo* a = found; a != nullptr && !result.stream; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        int error = 0;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS && WaitFor(fd, POLLOUT, until) == Ready::Yes) {
                socklen_t length = sizeof error;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                    error = errno;
            } else if (error == EINPROGRESS) {
                error = ETIMEDOUT;
            }
        }
        if (error != 0) {
            result.error = FromConnectErrno(error);
            ::close(fd);
            continue;
        }
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        result = {std::make_unique<Socket>(fd), OpenError::None};
    }
    ::freeaddrinfo(found);
    return result;
}

} // namespace trovel::device
