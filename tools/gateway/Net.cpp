#include "gateway/Net.h"

#include <cstring>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
using socklen_type = int;
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
using socklen_type = socklen_t;
#endif

namespace trovel::gateway::net {

namespace {

#if defined(_WIN32)
using NativeSocket = SOCKET;
int Poll(pollfd* fds, unsigned long n, int timeoutMs) { return ::WSAPoll(fds, n, timeoutMs); }
void CloseNative(NativeSocket s) { ::closesocket(s); }
constexpr int kSendFlags = 0;
#else
using NativeSocket = int;
int Poll(pollfd* fds, nfds_t n, int timeoutMs) { return ::poll(fds, n, timeoutMs); }
void CloseNative(NativeSocket s) { ::close(s); }
constexpr int kSendFlags = MSG_NOSIGNAL; // a client gone mid-reply must not end the gateway
#endif

NativeSocket Native(Socket s) { return static_cast<NativeSocket>(s); }

Peer PeerOf(const sockaddr_storage& address)
{
    Peer peer;
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        std::memcpy(peer.bytes.data(), &v4.sin_addr, 4);
        peer.port = ntohs(v4.sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        const auto* raw = reinterpret_cast<const std::uint8_t*>(&v6.sin6_addr);
        static constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        if (std::memcmp(raw, kMapped, 12) == 0) {
            std::memcpy(peer.bytes.data(), raw + 12, 4);
        } else {
            peer.v6 = true;
            std::memcpy(peer.bytes.data(), raw, 16);
        }
        peer.port = ntohs(v6.sin6_port);
    }
    return peer;
}

} // namespace

bool Startup()
{
#if defined(_WIN32)
    static const bool started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
#else
    return true;
#endif
}

bool ParseHostPort(const std::string& text, HostPort& out, std::string& error)
{
    std::string host = out.host;
    std::string port = text;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            error = "'" + text + "' is not [ADDRESS]:PORT";
            return false;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else if (const auto colon = text.rfind(':'); colon != std::string::npos) {
        if (colon > 0)
            host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    char* end = nullptr;
    const long number = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || number < 0 || number > 65535) {
        error = "'" + text + "' has no port 0-65535 (HOST:PORT, :PORT or PORT)";
        return false;
    }
    out.host = host;
    out.port = static_cast<std::uint16_t>(number);
    return true;
}

std::string Peer::Text() const
{
    char text[INET6_ADDRSTRLEN] = "?";
    if (v6)
        ::inet_ntop(AF_INET6, bytes.data(), text, sizeof text);
    else
        ::inet_ntop(AF_INET, bytes.data(), text, sizeof text);
    std::string out = v6 ? std::string("[") : std::string();
    out += text;
    out += v6 ? "]:" : ":";
    out += std::to_string(port);
    return out;
}

bool Network::Contains(const Peer& peer) const noexcept
{
    if (peer.v6 != base.v6)
        return false;
    int bits = prefix;
    for (std::size_t i = 0; bits > 0; ++i, bits -= 8) {
        const auto mask = static_cast<std::uint8_t>(bits >= 8 ? 0xFF : 0xFF << (8 - bits));
        if ((peer.bytes[i] & mask) != (base.bytes[i] & mask))
            return false;
    }
    return true;
}

bool ParseNetwork(const std::string& text, Network& out)
{
    const auto slash = text.find('/');
    const std::string address = text.substr(0, slash);
    Network network;
    network.base.v6 = address.find(':') != std::string::npos;
    if (::inet_pton(network.base.v6 ? AF_INET6 : AF_INET, address.c_str(), network.base.bytes.data()) != 1)
        return false;
    const int width = network.base.v6 ? 128 : 32;
    network.prefix = width;
    if (slash != std::string::npos) {
        const std::string bits = text.substr(slash + 1);
        char* end = nullptr;
        const long prefix = std::strtol(bits.c_str(), &end, 10);
        if (bits.empty() || *end != '\0' || prefix < 0 || prefix > width)
            return false;
        network.prefix = static_cast<int>(prefix);
    }
    out = network;
    return true;
}

bool Listener::Listen(const HostPort& where, std::string& error)
{
    Close();
    if (!Startup()) {
        error = "the network cannot be started";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(where.port);
    if (::getaddrinfo(where.host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) {
        error = "unknown address " + where.host;
        return false;
    }
    const NativeSocket s = ::socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    bool ok = s != static_cast<NativeSocket>(-1);
    if (ok) {
#if !defined(_WIN32)
        int on = 1; // a restart may listen again at once, behind connections still closing
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
        ok = ::bind(s, found->ai_addr, static_cast<socklen_type>(found->ai_addrlen)) == 0 && ::listen(s, 16) == 0;
    }
    ::freeaddrinfo(found);
    if (!ok) {
        error = "cannot listen on " + where.host + ":" + port + ": " + std::strerror(errno);
        if (s != static_cast<NativeSocket>(-1))
            CloseNative(s);
        return false;
    }
    sockaddr_storage bound{};
    socklen_type length = sizeof bound;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = PeerOf(bound).port;
    socket_ = static_cast<Socket>(s);
    return true;
}

Socket Listener::Accept(int timeoutMs, Peer& peer)
{
    if (socket_ == kNoSocket || WaitReadable(socket_, timeoutMs) != Wait::Ready)
        return kNoSocket;
    sockaddr_storage address{};
    socklen_type length = sizeof address;
    const NativeSocket s = ::accept(Native(socket_), reinterpret_cast<sockaddr*>(&address), &length);
    if (s == static_cast<NativeSocket>(-1))
        return kNoSocket;
    int on = 1; // answers go out at once, not behind Nagle's wait for more
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    peer = PeerOf(address);
    return static_cast<Socket>(s);
}

void Listener::Close() noexcept
{
    if (socket_ != kNoSocket)
        CloseNative(Native(socket_));
    socket_ = kNoSocket;
}

Wait WaitReadable(Socket socket, int timeoutMs)
{
    pollfd fd{};
    fd.fd = Native(socket);
    fd.events = POLLIN;
    const int n = Poll(&fd, 1, timeoutMs);
    if (n == 0)
        return Wait::TimedOut;
    return n > 0 ? Wait::Ready : Wait::Failed;
}

long Receive(Socket socket, std::span<std::uint8_t> into)
{
    return static_cast<long>(::recv(Native(socket), reinterpret_cast<char*>(into.data()), static_cast<int>(into.size()), 0));
}

bool SendAll(Socket socket, std::span<const std::uint8_t> bytes, int timeoutMs)
{
    while (!bytes.empty()) {
        pollfd fd{};
        fd.fd = Native(socket);
        fd.events = POLLOUT;
        if (Poll(&fd, 1, timeoutMs) <= 0)
            return false;
        const auto n = ::send(Native(socket), reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()),
                              kSendFlags);
        if (n <= 0)
            return false;
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

void Shutdown(Socket socket) noexcept
{
#if defined(_WIN32)
    ::shutdown(Native(socket), SD_BOTH);
#else
    ::shutdown(Native(socket), SHUT_RDWR);
#endif
}

void Close(Socket socket) noexcept
{
    if (socket != kNoSocket)
        CloseNative(Native(socket));
}

} // namespace trovel::gateway::net
