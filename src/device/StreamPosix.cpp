// TCP for network lines on POSIX: non-blocking sockets, waits in ppoll on the monotonic
// clock, names through the system resolver.

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "device/PosixWait.h"
#include "device/Stream.h"

namespace trovel::device {

namespace {

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

std::vector<Endpoint> LookUpNow(const std::string& host, const std::string& port)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    std::vector<Endpoint> endpoints;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr)
        return endpoints;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        Endpoint e{a->ai_family, a->ai_socktype, a->ai_protocol, {}, a->ai_addrlen};
        if (a->ai_addrlen > e.address.size())
            continue;
        std::memcpy(e.address.data(), a->ai_addr, a->ai_addrlen);
        endpoints.push_back(e);
    }
    ::freeaddrinfo(found);
    return endpoints;
}

Connected Connect(const std::vector<Endpoint>& endpoints, const util::Deadline& until)
{
    Connected result{nullptr, OpenError::Connect};
    for (const Endpoint& a : endpoints) {
        const int fd = ::socket(a.family, a.socketType | SOCK_NONBLOCK | SOCK_CLOEXEC, a.protocol);
        if (fd < 0)
            continue;
        int error = 0;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(a.address.data()), static_cast<socklen_t>(a.length)) != 0) {
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
        return {std::make_unique<Socket>(fd), OpenError::None};
    }
    return result;
}

} // namespace trovel::device
