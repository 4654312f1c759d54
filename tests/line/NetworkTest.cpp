// Lines over TCP against a scripted peer on loopback: what each framing puts on the wire,
// late answers dropped by their transaction number, a lost connection made again.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

// A malicious gateway: frames with the request's transaction number but another protocol
// id, or a header length that is not the PDU's own, must be dropped like another
// transaction's (the fault: 10.0 from the forged frame returned as success). The honest
// answer behind each one is then taken.
TEST(NetworkLine, ModbusTcpDropsFramesOfAnotherProtocolOrWithAWrongLength)
{
    const char* const forged[] = {
        "00 01 00 00 00 07 01 03 04 00 00 41 20", // the control row: taken, so the rest are not
        "00 02 00 01 00 07 01 03 04 00 00 41 20", // protocol 1
        "00 03 FF FF 00 07 01 03 04 00 00 41 20", // protocol 65535
        "00 04 00 00 00 08 01 03 04 00 00 41 20 00", // one byte more than the PDU declares
    };
    const char* const answers[] = {"", "00 02 00 00 00 07 01 03 04 00 00 42 48", "00 03 00 00 00 07 01 03 04 00 00 42 48",
                                   "00 04 00 00 00 07 01 03 04 00 00 42 48"};
    for (const int mode : {TROVEL_REPLY_FRAME, TROVEL_REPLY_SILENCE}) {
        SCOPED_TRACE(mode);
        TcpPeer peer;
        Line line;
        std::thread server([&] {
            peer.Accept();
            for (std::size_t i = 0; i < std::size(forged); ++i) {
                if (peer.Receive(12).empty())
                    return;
                peer.Send(Hex(forged[i]));
                peer.Send(Hex(answers[i]));
            }
        });
        ASSERT_EQ(line.Open(peer.Url("modbus+tcp")), Cause::Ok);
        ASSERT_TRUE(line.SetReplyMode(mode));
        for (std::size_t i = 0; i < std::size(forged); ++i) {
            trovel::line::ReplyBuffer reply{};
            const auto outcome = Transact(line, kReadPair, reply);
            ASSERT_EQ(outcome.cause, Cause::Ok) << forged[i];
            EXPECT_EQ(Bytes(outcome.reply.begin(), outcome.reply.end()),
                      i == 0 ? Hex("01 03 04 00 00 41 20 CB BB") : Hex("01 03 04 00 00 42 48 CA A5"))
                << forged[i];
        }
        line.Close();
        server.join();
    }
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
