// Lines over TCP against a scripted peer on loopback: what each framing puts on the wire,
// late answers dropped by their transaction number, a lost connection made again.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <thread>

#include "device/Backends.h"
#include "line/Line.h"
#include "support/Hex.h"

namespace {

using namespace std::chrono_literals;
using trovel::device::NetworkAddress;
using trovel::device::ParseNetworkName;
using trovel::line::Cause;
using trovel::line::Line;
using trovel::modbus::ReplyRule;
using trovel::test::Bytes;
using trovel::test::Hex;

// A listening socket on 127.0.0.1 that takes one connection at a time.
class TcpPeer {
public:
    TcpPeer()
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 4);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~TcpPeer()
    {
        Drop();
        ::close(listener_);
    }
    std::string Url(const char* scheme) const { return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_); }

    void Accept() { client_ = ::accept(listener_, nullptr, nullptr); }
    void Drop()
    {
        if (client_ >= 0)
            ::close(client_);
        client_ = -1;
    }
    Bytes Receive(std::size_t count)
    {
        Bytes got(count);
        std::size_t have = 0;
        while (have < count) {
            const ssize_t n = ::recv(client_, got.data() + have, count - have, 0);
            if (n <= 0)
                return {};
            have += static_cast<std::size_t>(n);
        }
        return got;
    }
    void Send(const Bytes& bytes) { static_cast<void>(::send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL)); }

private:
    int listener_ = -1;
    int client_ = -1;
    std::uint16_t port_ = 0;
};

const Bytes kReadPair = Hex("01 03 00 64 00 02 85 D4");

Line::Outcome Transact(Line& line, const Bytes& request, trovel::line::ReplyBuffer& reply)
{
    return line.TransactFrame(request, ReplyRule(request), reply);
}

TEST(NetworkLine, ModbusTcpWrapsEachRequestAndTakesOnlyTheAnswerWithItsTransactionNumber)
{
    TcpPeer peer;
    Line line;
    std::thread server([&] {
        peer.Accept();
        // Transaction 1, protocol 0, six bytes follow, unit 1, then the PDU without CRC.
        EXPECT_EQ(peer.Receive(12), Hex("00 01 00 00 00 06 01 03 00 64 00 02"));
        peer.Send(Hex("00 00 00 00 00 07 01 03 04 00 00 41 20")); // an earlier transaction's answer: 10.0
        // A malicious gateway's frames of this transaction: protocol 1, 65535, a length the PDU
        // does not declare. Each must be dropped likewise (they were taken as the answer).
        peer.Send(Hex("00 01 00 01 00 07 01 03 04 00 00 41 20 00 01 FF FF 00 07 01 03 04 00 00 41 20"));
        peer.Send(Hex("00 01 00 00 00 08 01 03 04 00 00 41 20 00"));
        peer.Send(Hex("00 01 00 00 00 07 01 03 04 00 00 42 48")); // this one's: 50.0
        EXPECT_EQ(peer.Receive(12), Hex("00 02 00 00 00 06 01 03 00 64 00 02"));
        peer.Send(Hex("00 02 00 00 00 03 01 83 02"));
    });
    ASSERT_EQ(line.Open(peer.Url("modbus+tcp")), Cause::Ok);
    ASSERT_TRUE(line.SetReplyMode(TROVEL_REPLY_FRAME));
    trovel::line::ReplyBuffer reply{};
    const auto answered = Transact(line, kReadPair, reply);
    EXPECT_EQ(answered.cause, Cause::Ok);
    // Handed to the line as the RTU frame a serial line would carry.
    EXPECT_EQ(Bytes(answered.reply.begin(), answered.reply.end()), Hex("01 03 04 00 00 42 48 CA A5"));
    EXPECT_EQ(Transact(line, kReadPair, reply).cause, trovel::line::ExceptionCause(2));
    server.join();
}

TEST(NetworkLine, RtuOverTcpPassesTheBytesAndALostConnectionIsMadeAgain)
{
    TcpPeer peer;
    Line line;
    std::thread server([&] {
        peer.Accept();
        EXPECT_EQ(peer.Receive(8), kReadPair);
        peer.Send(Hex("01 03 04 00 00 42 48 CA A5"));
        peer.Drop(); // the device server restarts right behind its answer
        peer.Accept();
        EXPECT_EQ(peer.Receive(8), kReadPair);
        peer.Drop(); // and again, this time before it answers
        peer.Accept();
        EXPECT_EQ(peer.Receive(8), kReadPair);
        peer.Send(Hex("01 03 04 00 00 42 48 CA A5"));
    });
    ASSERT_EQ(line.Open(peer.Url("rtu+tcp")), Cause::Ok);
    trovel::line::ReplyBuffer reply{};
    EXPECT_EQ(Transact(line, kReadPair, reply).cause, Cause::Ok) << "the answer came before the connection went";
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Transact(line, kReadPair, reply).cause, Cause::DeviceGone);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 240ms) << "no faster than a silent line";
    EXPECT_EQ(Transact(line, kReadPair, reply).cause, Cause::Ok) << "connected again by the next exchange";
    server.join();
    TrovelLineStats stats{};
    stats.size = sizeof stats;
    line.ReadStats(stats);
    EXPECT_EQ(stats.reopens, 2u);
}

TEST(NetworkLine, OpeningNamesWhyItFailed)
{
    struct Case { std::string url; Cause cause; };
    const Case cases[] = {{"rtu+tcp://127.0.0.1:1", Cause::Connect}, {"modbus+tcp://[::1]:1", Cause::Connect},
                          {"rtu+tcp://127.0.0.1", Cause::NoDevice} /* RTU over TCP has no usual port */,
                          {"modbus+tcp://127.0.0.1:70000", Cause::NoDevice}, {"rtu+tcp://", Cause::NoDevice}};
    for (const auto& c : cases) {
        Line line;
        EXPECT_EQ(line.Open(c.url), c.cause) << c.url;
        EXPECT_FALSE(line.IsOpen());
    }
}

// ---- name lookups while the name server is away ---------------------------------------
// The test runs itself again in a mount namespace with a resolv.conf and hosts file of its
// own: the name server is a UDP socket that never answers, and the gateway's name is in the
// hosts file only until the line has opened.

const char* const kNameServer = std::getenv("TROVEL_TEST_NAME_SERVER");

int RunWithOwnResolver(const std::string& hosts)
{
    const auto pid = static_cast<unsigned>(::getpid());
    const std::string server = "127.83." + std::to_string(pid / 250 % 250 + 1) + "." + std::to_string(pid % 250 + 1);
    std::ofstream(hosts + ".conf") << "nameserver " << server << "\noptions timeout:3 attempts:1\n";
    const std::string run = "mount --bind " + hosts + ".conf /etc/resolv.conf && mount --bind " + hosts +
                            " /etc/hosts || exit 77; TROVEL_TEST_NAME_SERVER=" + server + " TROVEL_TEST_HOSTS=" + hosts +
                            " exec /proc/" + std::to_string(pid) + "/exe --gtest_filter='NameLookup.*'";
    const int status = std::system(("unshare -m /bin/sh -c \"" + run + "\"").c_str());
    ::unlink((hosts + ".conf").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

template <class Action>
std::chrono::steady_clock::duration Took(Action&& action)
{
    const auto started = std::chrono::steady_clock::now();
    action();
    return std::chrono::steady_clock::now() - started;
}

// The fault: a reopen resolved the name inside the exchange lock for the resolver's whole
// time (3 s here, 10 s by default), so every call took that long, an open too, and a close
// woke neither. Bounded, each takes the line's time-out.
TEST(NameLookup, IsBoundedByTheLineTimeOutAndACloseWakesIt)
{
    if (kNameServer == nullptr) {
        const std::string hosts = "/tmp/trovel-hosts-" + std::to_string(::getpid());
        std::ofstream(hosts) << "127.0.0.1 trovel-gateway.test\n";
        const int status = RunWithOwnResolver(hosts);
        ::unlink(hosts.c_str());
        if (status == 77 || status == 127)
            GTEST_SKIP() << "no mount namespace here (unshare -m): the resolver cannot be given a name server";
        EXPECT_EQ(status, 0) << "the run with its own resolver failed (its output is above)";
        return;
    }
    const int silent = ::socket(AF_INET, SOCK_DGRAM, 0); // takes the queries, answers none
    sockaddr_in at{AF_INET, htons(53), {}, {}};
    ::inet_pton(AF_INET, kNameServer, &at.sin_addr);
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    constexpr auto kBound = 200ms + 800ms; // the line's time-out and a margin for a loaded machine
    TcpPeer peer;
    Line line;
    ASSERT_TRUE(line.SetTimeouts(200, 50));
    std::thread gateway([&] { peer.Accept(), peer.Drop(); }); // it restarts; meanwhile its name is unknown
    const std::string url = peer.Url("rtu+tcp");
    ASSERT_EQ(line.Open("rtu+tcp://trovel-gateway.test" + url.substr(url.rfind(':'))), Cause::Ok);
    gateway.join();
    std::ofstream(std::getenv("TROVEL_TEST_HOSTS"), std::ios::trunc) << "\n"; // what /etc/hosts shows here
    const auto calls = [&](int first) { // controllers of its own: none waits out another's failure
        for (int address = first; address < first + 4; ++address) {
            Bytes request = kReadPair;
            request[0] = static_cast<std::uint8_t>(address); // no CRC goes over TCP to check
            trovel::line::ReplyBuffer reply{};
            EXPECT_LE(Took([&] { EXPECT_EQ(Transact(line, request, reply).cause, Cause::DeviceGone); }), kBound);
        }
    };
    std::thread second(calls, 5);
    calls(1);
    second.join();
    EXPECT_LE(Took([] { EXPECT_EQ(Line().Open("modbus+tcp://no-such-host.test"), Cause::NoDevice); }), kBound);

    // A close wakes an open waiting on a lookup, and a call waiting on its line's reopen.
    Line waiting;
    ASSERT_TRUE(waiting.SetTimeouts(10'000, 100) && line.SetTimeouts(10'000, 100));
    std::this_thread::sleep_for(300ms); // past the reopen interval: the call looks the name up again
    std::thread opener([&] { EXPECT_NE(waiting.Open("rtu+tcp://another-host.test:1"), Cause::Ok); });
    std::thread caller([&] {
        trovel::line::ReplyBuffer reply{};
        EXPECT_EQ(Transact(line, Hex("10 03 00 64 00 02 00 00"), reply).cause, Cause::NotOpen);
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_LE(Took([&] { waiting.Close(), line.Close(), opener.join(), caller.join(); }), 800ms) << "woken by the close";
    ::close(silent);
}

TEST(NetworkName, UrlsNameHostPortAndFraming)
{
    struct Case { const char* name; bool network; NetworkAddress::Framing framing; const char* host; const char* port; };
    const Case cases[] = {
        {"/dev/ttyUSB0", false, NetworkAddress::Framing::Rtu, "", ""},
        {"rtu+tcp://gateway.local:4001", true, NetworkAddress::Framing::Rtu, "gateway.local", "4001"},
        {"modbus+tcp://10.0.0.7", true, NetworkAddress::Framing::ModbusTcp, "10.0.0.7", "502"},
        {"modbus+tcp://[fe80::1]:1502/", true, NetworkAddress::Framing::ModbusTcp, "fe80::1", "1502"},
        {"modbus+tcp://[fe80::1]", true, NetworkAddress::Framing::ModbusTcp, "fe80::1", "502"},
        {"rtu+tcp://host:0", true, NetworkAddress::Framing::Rtu, "", "0"},
        {"rtu+tcp://host:12a", true, NetworkAddress::Framing::Rtu, "", "12a"},
    };
    for (const auto& c : cases) {
        const auto parsed = ParseNetworkName(c.name);
        ASSERT_EQ(parsed.has_value(), c.network) << c.name;
        if (!parsed)
            continue;
        EXPECT_EQ(parsed->framing, c.framing) << c.name;
        EXPECT_EQ(parsed->host, c.host) << c.name;
    }
}

} // namespace
