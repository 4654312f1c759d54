#pragma once
// Sockets for the gateway's endpoints, the same on Linux and Windows (Winsock): listening,
// accepting, waiting for input with a time-out, whole writes, and client networks (CIDR).

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace trovel::gateway::net {

using Socket = std::intptr_t;
inline constexpr Socket kNoSocket = -1;

// Starts Winsock once; nothing to do elsewhere.
bool Startup();

struct HostPort {
    std::string host = "127.0.0.1"; // loopback unless an address is given
    std::uint16_t port = 0;
};
// "HOST:PORT", "[V6]:PORT", ":PORT" or "PORT"; false with the reason otherwise.
bool ParseHostPort(const std::string& text, HostPort& out, std::string& error);

// A client's address, in the form a network compares against.
struct Peer {
    bool v6 = false;
    std::array<std::uint8_t, 16> bytes{}; // IPv4 in the first 4 (IPv4-mapped IPv6 too)
    std::uint16_t port = 0;
    std::string Text() const; // "127.0.0.1:50512"
};

struct Network {
    Peer base;
    int prefix = 0;
    bool Contains(const Peer& peer) const noexcept;
};
// "10.0.0.0/24", "192.168.1.7" (a /32), "::1/128", "0.0.0.0/0"; false for anything else.
bool ParseNetwork(const std::string& text, Network& out);

class Listener {
public:
    Listener() = default;
    ~Listener() { Close(); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    bool Listen(const HostPort& where, std::string& error);
    std::uint16_t Port() const noexcept { return port_; }
    // A connection within timeoutMs, or kNoSocket (time-out, or closed).
    Socket Accept(int timeoutMs, Peer& peer);
    void Close() noexcept;

private:
    Socket socket_ = kNoSocket;
    std::uint16_t port_ = 0;
};

enum class Wait { Ready, TimedOut, Failed };
Wait WaitReadable(Socket socket, int timeoutMs);
// Bytes read (0: the peer closed; -1: failed).
long Receive(Socket socket, std::span<std::uint8_t> into);
// False when the whole buffer could not be written within timeoutMs.
bool SendAll(Socket socket, std::span<const std::uint8_t> bytes, int timeoutMs);
// Ends both directions, so a thread blocked on the socket returns; the socket stays valid.
void Shutdown(Socket socket) noexcept;
void Close(Socket socket) noexcept;

} // namespace trovel::gateway::net
