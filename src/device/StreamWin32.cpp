// TCP for network lines on Windows: Winsock, non-blocking sockets, waits in select with the
// time left to the deadline.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <cstring>

#include "device/Stream.h"

namespace trovel::device {

namespace {

enum class Ready { Yes, TimedOut, Gone };

// Winsock is started once, when the first network line opens, and left running: the
// process ends it.
bool WinsockReady() noexcept
{
    static const bool ready = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

Ready WaitFor(SOCKET s, bool writing, const util::Deadline& until) noexcept
{
    const auto left = until.Remaining().count();
    if (left <= 0)
        return Ready::TimedOut;
    fd_set wanted;
    fd_set failed;
    FD_ZERO(&wanted);
    FD_ZERO(&failed);
    FD_SET(s, &wanted);
    FD_SET(s, &failed); // a connect that fails shows here
    timeval timeout{static_cast<long>(left / 1'000'000'000), static_cast<long>((left % 1'000'000'000 + 999) / 1000)};
    const int rc = ::select(0, writing ? nullptr : &wanted, writing ? &wanted : nullptr, &failed, &timeout);
    if (rc == 0)
        return Ready::TimedOut;
    if (rc < 0 || FD_ISSET(s, &failed))
        return Ready::Gone;
    return Ready::Yes;
}

class Socket final : public Stream {
public:
    explicit Socket(SOCKET s) noexcept : socket_(s) {}
    ~Socket() override { ::closesocket(socket_); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    Io Receive(std::span<std::uint8_t> into, const util::Deadline& until) noexcept override
    {
        for (;;) {
            if (interrupted_.load(std::memory_order_acquire))
                return {0, false};
            const int n = ::recv(socket_, reinterpret_cast<char*>(into.data()), static_cast<int>(into.size()), 0);
            if (n > 0)
                return {static_cast<std::size_t>(n), false};
            if (n == 0 || ::WSAGetLastError() != WSAEWOULDBLOCK)
                return {0, !interrupted_.load(std::memory_order_acquire)}; // closed or reset by the peer
            const Ready ready = WaitFor(socket_, false, until);
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
            const int n = ::send(socket_, reinterpret_cast<const char*>(data.data() + put), static_cast<int>(data.size() - put), 0);
            if (n > 0) {
                put += static_cast<std::size_t>(n);
                continue;
            }
            if (::WSAGetLastError() != WSAEWOULDBLOCK)
                return {put, true};
            const Ready ready = WaitFor(socket_, true, until);
            if (ready != Ready::Yes)
                return {put, ready == Ready::Gone};
        }
        return {put, false};
    }

    void Interrupt() noexcept override
    {
        interrupted_.store(true, std::memory_order_release);
        ::shutdown(socket_, SD_BOTH);
    }

private:
    SOCKET socket_;
    std::atomic<bool> interrupted_{false};
};

} // namespace

std::vector<Endpoint> LookUpNow(const std::string& host, const std::string& port)
{
    std::vector<Endpoint> endpoints;
    if (!WinsockReady())
        return endpoints;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
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
    if (!WinsockReady())
        return {nullptr, OpenError::Other};
    for (const Endpoint& a : endpoints) {
        const SOCKET s = ::socket(a.family, a.socketType, a.protocol);
        if (s == INVALID_SOCKET)
            continue;
        u_long nonBlocking = 1;
        ::ioctlsocket(s, FIONBIO, &nonBlocking);
        bool connected = ::connect(s, reinterpret_cast<const sockaddr*>(a.address.data()), static_cast<int>(a.length)) == 0;
        if (!connected && ::WSAGetLastError() == WSAEWOULDBLOCK && WaitFor(s, true, until) == Ready::Yes) {
            int error = 0;
            int length = sizeof error;
            connected = ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) == 0 && error == 0;
        }
        if (!connected) {
            ::closesocket(s);
            continue;
        }
        const BOOL on = TRUE;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
        return {std::make_unique<Socket>(s), OpenError::None};
    }
    return {nullptr, OpenError::Connect};
}

} // namespace trovel::device
