// Lines over TCP against a scripted peer on loopback: what each framing puts on the wire,
// late answers dropped by their transaction number, a lost connection made again.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

#include "device/Backends.h"
#include "line/Line.h"
#include "support/Hex.h"

extern char** environ;

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

// ---- name lookups against a name server that stops answering -----------------------------
// The resolver is pointed at a UDP socket of the test's own through a resolv.conf of its own,
// bind-mounted in a mount namespace in which the test runs itself again.

constexpr const char* kNameServerVariable = "TROVEL_TEST_NAME_SERVER";

// Answers A queries for any name with 127.0.0.1 (and AAAA with no address) while `answering`,
// and then nothing at all, as a name server that has gone away.
class NameServer {
public:
    explicit NameServer(const std::string& address)
    {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(53);
        ::inet_pton(AF_INET, address.c_str(), &at.sin_addr);
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
        thread_ = std::thread([this] { Serve(); });
    }
    ~NameServer()
    {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    bool Bound() const { return bound_; }
    std::atomic<bool> answering{true};

private:
    void Serve()
    {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            Bytes query(512);
            sockaddr_storage from{};
            socklen_t length = sizeof from;
            const ssize_t n = ::recvfrom(fd_, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n < 12 || !answering)
                continue;
            std::size_t end = 12;
            while (end < static_cast<std::size_t>(n) && query[end] != 0)
                end += query[end] + 1u;
            end += 5; // the root label, type and class
            if (end > static_cast<std::size_t>(n))
                continue;
            Bytes reply(query.begin(), query.begin() + static_cast<std::ptrdiff_t>(end));
            const bool typeA = reply[end - 4] == 0 && reply[end - 3] == 1;
            reply[2] = static_cast<std::uint8_t>(0x80 | (query[2] & 0x01)); // a response; recursion as asked
            reply[3] = 0x80;                                                 // recursion available, no error
            reply[6] = 0, reply[7] = typeA ? 1 : 0, reply[8] = reply[9] = reply[10] = reply[11] = 0;
            if (typeA) {
                const Bytes answer = Hex("C0 0C 00 01 00 01 00 00 00 3C 00 04 7F 00 00 01");
                reply.insert(reply.end(), answer.begin(), answer.end());
            }
            ::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    }

    int fd_ = -1;
    bool bound_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

int RunInOwnMountNamespace(const std::string& nameServer)
{
    const std::string conf = "/tmp/trovel-resolv-" + std::to_string(::getpid()) + ".conf";
    {
        std::ofstream out(conf);
        out << "nameserver " << nameServer << "\noptions timeout:3 attempts:1\n";
    }
    const std::string variable = std::string(kNameServerVariable) + "=" + nameServer;
    const std::string script = "mount --bind \"$0\" /etc/resolv.conf || exit 77; exec \"$1\" --gtest_filter='NameLookup.*'";
    const std::string self = "/proc/" + std::to_string(::getpid()) + "/exe";
    const char* argv[] = {"unshare", "-m", "/bin/sh", "-c", script.c_str(), conf.c_str(), self.c_str(), nullptr};
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e)
        envp.push_back(*e);
    envp.push_back(const_cast<char*>(variable.c_str()));
    envp.push_back(nullptr);
    pid_t pid = 0;
    int status = -1;
    if (::posix_spawnp(&pid, "unshare", nullptr, nullptr, const_cast<char**>(argv), envp.data()) == 0)
        ::waitpid(pid, &status, 0);
    ::unlink(conf.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A silent name server held the reopen of a line opened by name for the resolver's whole
// time (10 s by default) inside the exchange lock, so every call took that long and a second
// caller twice; an open took as long, and a close woke neither. Here the resolver waits
// 3 s per try: bounded calls take the line's time-out instead.
TEST(NameLookup, IsBoundedByTheLineTimeOutAndACloseWakesIt)
{
    const char* nameServer = std::getenv(kNameServerVariable);
    if (nameServer == nullptr) {
        const auto pid = static_cast<unsigned>(::getpid());
        const std::string address = "127.83." + std::to_string(pid / 250 % 250 + 1) + "." + std::to_string(pid % 250 + 1);
        const int status = RunInOwnMountNamespace(address);
        if (status == 77 || status == 127)
            GTEST_SKIP() << "no mount namespace here (unshare -m): the resolver cannot be given a name server";
        EXPECT_EQ(status, 0) << "the run in the mount namespace failed (its output is above)";
        return;
    }
    NameServer server(nameServer);
    ASSERT_TRUE(server.Bound());
    constexpr auto kTotal = 200ms;
    constexpr auto kBound = kTotal + 800ms; // the resolver's own try takes 3 s
    TcpPeer peer;
    const std::string byName = "rtu+tcp://trovel-gateway.test:" + peer.Url("rtu+tcp").substr(peer.Url("rtu+tcp").rfind(':') + 1);
    Line line;
    ASSERT_TRUE(line.SetTimeouts(static_cast<int>(kTotal.count()), 50));
    std::thread gateway([&] {
        peer.Accept();
        EXPECT_EQ(peer.Receive(8), kReadPair);
        peer.Send(Hex("01 03 04 00 00 42 48 CA A5"));
        peer.Drop(); // the gateway restarts; meanwhile its name server has gone
    });
    ASSERT_EQ(line.Open(byName), Cause::Ok) << "looked up while the name server answers";
    trovel::line::ReplyBuffer reply{};
    EXPECT_EQ(Transact(line, kReadPair, reply).cause, Cause::Ok);
    gateway.join();
    server.answering = false;

    // Two callers, each to controllers of its own (a controller that failed is waited for).
    std::atomic<long long> slowest{0};
    std::vector<std::thread> callers;
    for (const int first : {1, 9})
        callers.emplace_back([&, first] {
            for (int address = first; address < first + 4; ++address) {
                Bytes request = kReadPair;
                request[0] = static_cast<std::uint8_t>(address); // no CRC goes over TCP to check
                trovel::line::ReplyBuffer buffer{};
                const auto started = std::chrono::steady_clock::now();
                EXPECT_NE(Transact(line, request, buffer).cause, Cause::Ok);
                const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
                slowest = std::max<long long>(slowest, took.count());
            }
        });
    for (auto& c : callers)
        c.join();
    EXPECT_LE(slowest.load(), kBound.count()) << "ms for the slowest call while the name server is away";

    Line other;
    ASSERT_TRUE(other.SetTimeouts(static_cast<int>(kTotal.count()), 50));
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(other.Open("modbus+tcp://no-such-host.test"), Cause::NoDevice);
    EXPECT_LE(std::chrono::steady_clock::now() - started, kBound) << "an open by name";

    Line waiting;
    ASSERT_TRUE(waiting.SetTimeouts(10'000, 100));
    std::thread opener([&] { EXPECT_NE(waiting.Open("rtu+tcp://another-host.test:1"), Cause::Ok); });
    std::this_thread::sleep_for(100ms);
    started = std::chrono::steady_clock::now();
    waiting.Close();
    opener.join();
    EXPECT_LE(std::chrono::steady_clock::now() - started, 800ms) << "the close woke the open";
    EXPECT_FALSE(waiting.IsOpen());

    // A call on the dropped line, waiting on its reopen's lookup, is woken by the close too.
    ASSERT_TRUE(line.SetTimeouts(10'000, 100));
    std::this_thread::sleep_for(300ms); // past the reopen interval: the call looks the name up
    std::thread call([&] {
        Bytes request = kReadPair;
        request[0] = 16;
        trovel::line::ReplyBuffer buffer{};
        EXPECT_EQ(Transact(line, request, buffer).cause, Cause::NotOpen);
    });
    std::this_thread::sleep_for(100ms);
    started = std::chrono::steady_clock::now();
    line.Close();
    call.join();
    EXPECT_LE(std::chrono::steady_clock::now() - started, 800ms) << "the close woke the call";
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
