// The simulator on a pseudo-terminal, seen by a master on the slave side: the library's own
// exchange, and a raw reader that timestamps every byte. Timing checks lean on lower bounds
// (a byte cannot arrive before it was sent) and keep upper bounds generous.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <thread>

#include "modbus/Frame.h"
#include "modbus/RegisterMap.h"
#include "line/Line.h"

#include "sim/Server.h"
#include "support/PtyPeer.h"

namespace {

using namespace trovel::sim;
using trovel::test::Hex;
using trovel::test::ToHex;
using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;
namespace reg = trovel::reg;

constexpr double kTurnaroundMs = 20.0;
constexpr double kByteMs = 0.521;
constexpr double kSlack = 250.0; // upper bounds allow a loaded machine this much

const Bytes kReadSpeed = Hex("01 03 00 64 00 02 85 D4");

Bytes Frame(std::initializer_list<std::uint8_t> body)
{
    Bytes f(body);
    f.resize(f.size() + 2);
    trovel::modbus::AppendCrc(f);
    return f;
}

// What came back for one request, each byte with its arrival in ms after the request went out.
struct Answer {
    Bytes bytes;
    std::vector<double> ms;
};

class RawMaster {
public:
    explicit RawMaster(const std::string& path)
        : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
        termios tio{};
        if (fd_ >= 0 && ::tcgetattr(fd_, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(fd_, TCSANOW, &tio);
        }
    }
    // A TCP client of the server's port on 127.0.0.1.
    explicit RawMaster(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~RawMaster() { ::close(fd_); }
    bool IsOpen() const { return fd_ >= 0; }

    // What a host sees when the device goes away under it.
    bool HungUp() const
    {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, 1000) == 1 && (p.revents & POLLHUP) != 0;
    }

    // Collects until the line has been quiet for `quiet`.
    Answer Exchange(const Bytes& request, milliseconds quiet = milliseconds(150))
    {
        const auto sent = SteadyClock::now(); // taken before writing: no reply can precede it
        EXPECT_EQ(::write(fd_, request.data(), request.size()), static_cast<ssize_t>(request.size()));
        Answer answer;
        auto deadline = SteadyClock::now() + quiet + milliseconds(static_cast<int>(kTurnaroundMs));
        for (;;) {
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - SteadyClock::now()).count();
            pollfd p{fd_, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
                break;
            std::uint8_t buf[2048];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0)
                continue;
            const auto now = SteadyClock::now();
            const double at = std::chrono::duration<double, std::milli>(now - sent).count();
            answer.bytes.insert(answer.bytes.end(), buf, buf + n);
            answer.ms.insert(answer.ms.end(), static_cast<std::size_t>(n), at);
            deadline = now + quiet;
        }
        return answer;
    }

private:
    int fd_;
};

ServerOptions Options()
{
    ServerOptions o;
    o.turnaround = std::chrono::duration_cast<Duration>(std::chrono::duration<double, std::milli>(kTurnaroundMs));
    return o;
}

class SimServer : public ::testing::Test {
protected:
    void SetUp() override { server.Start(); }

    Line line{{1, 2}};
    Server server{line, Options()};
};

TEST_F(SimServer, TheLibrarysExchangeTalksToIt)
{
    trovel::line::Line port;
    for (int round = 0; round < 2; ++round) { // a closed line can be opened again
        ASSERT_EQ(port.Open(server.DevicePath()), trovel::line::Cause::Ok) << server.DevicePath();
        trovel::line::ReplyBuffer reply{};
        const auto exchange = [&](const Bytes& request) {
            reply.fill(0);
            const auto outcome = port.TransactFrame(request, trovel::modbus::ReplyRule(request), reply);
            EXPECT_EQ(outcome.cause, trovel::line::Cause::Ok) << ToHex(request);
            return Bytes(outcome.reply.begin(), outcome.reply.end());
        };
        exchange(kReadSpeed);
        exchange(Hex("01 10 00 64 00 02 04 00 00 3F C0 E5 D4"));
        EXPECT_EQ(exchange(kReadSpeed), Hex("01 03 04 00 00 3F C0 EB 93"));
        port.Close();
    }
}

TEST_F(SimServer, RepliesAfterTheTurnaroundAtLineSpeed)
{
    RawMaster master(server.DevicePath());
    ASSERT_TRUE(master.IsOpen());
    const Answer a = master.Exchange(kReadSpeed);
    ASSERT_EQ(a.bytes, Frame({1, 3, 4, 0x00, 0x00, 0x42, 0x48})); // 50.0
    EXPECT_GE(a.ms.front(), kTurnaroundMs + kByteMs * 0.9);
    EXPECT_GE(a.ms.back(), kTurnaroundMs + 9 * kByteMs * 0.9);
    EXPECT_LT(a.ms.back(), kTurnaroundMs + kSlack);
}

// Faults caught: the adapter's hold left out, applied to each byte (spreading the reply out),
// or timed from the request instead of the first byte the chip buffered.
TEST(SimServerBehindAUsbAdapter, HoldsTheReplyUntilItsTimerRunsOut)
{
    constexpr double kLatencyMs = 16.0;
    Line line{{1}};
    ServerOptions options = Options();
    options.adapterLatency = milliseconds(static_cast<int>(kLatencyMs));
    Server server(line, options);
    server.Start();
    RawMaster master(server.DevicePath());
    ASSERT_TRUE(master.IsOpen());
    const Answer a = master.Exchange(kReadSpeed);
    ASSERT_EQ(a.bytes, Frame({1, 3, 4, 0x00, 0x00, 0x42, 0x48}));
    EXPECT_GE(a.ms.front(), (kTurnaroundMs + kByteMs + kLatencyMs) * 0.95);
    EXPECT_LT(a.ms.back() - a.ms.front(), 2 * kByteMs) << "the whole reply leaves the chip at once";
    EXPECT_LT(a.ms.back(), kTurnaroundMs + kLatencyMs + kSlack);
}

TEST_F(SimServer, EachFaultShowsOnTheWireByteForByteAndInTime)
{
    RawMaster master(server.DevicePath());
    ASSERT_TRUE(master.IsOpen());
    const Bytes normal = master.Exchange(kReadSpeed).bytes;
    ASSERT_EQ(normal.size(), 9u);

    Bytes badCrc = normal;
    badCrc[7] ^= 0xFF;
    badCrc[8] ^= 0xFF;
    Bytes extra = normal;
    extra.insert(extra.end(), {0, 0, 0});
    Bytes flood = normal;
    flood.resize(1100, 0x55);

    struct Case {
        Fault fault;
        Bytes expected;
        double earliestMs; // first byte no sooner than this after the request
    };
    const Case cases[] = {
        {{FaultKind::NoAnswer}, {}, 300},
        {{FaultKind::Delay, 120}, normal, kTurnaroundMs + 120},
        {{FaultKind::BadCrc}, badCrc, kTurnaroundMs},
        {{FaultKind::Truncate}, Bytes(normal.begin(), normal.end() - 1), kTurnaroundMs},
        {{FaultKind::Extra, 3}, extra, kTurnaroundMs},
        {{FaultKind::Exception, 4}, Frame({1, 0x83, 4}), kTurnaroundMs},
        {{FaultKind::Late}, normal, 300},
        {{FaultKind::Flood}, flood, kTurnaroundMs},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Describe(c.fault));
        server.Faults().Once(c.fault);
        // Wait out the latest reply the case may give, with room to spare.
        const Answer a = master.Exchange(kReadSpeed, milliseconds(static_cast<int>(c.earliestMs) + 200));
        EXPECT_EQ(a.bytes, c.expected) << ToHex(a.bytes).substr(0, 60);
        if (!a.ms.empty()) {
            EXPECT_GE(a.ms.front(), c.earliestMs);
            EXPECT_LT(a.ms.front(), c.earliestMs + kSlack);
        }
    }

    // Split: the first half at once, the second after the gap.
    constexpr int kGapMs = 300;
    server.Faults().Once({FaultKind::Split, kGapMs});
    const Answer split = master.Exchange(kReadSpeed, milliseconds(kGapMs + 200));
    ASSERT_EQ(split.bytes, normal);
    EXPECT_LT(split.ms[3], kTurnaroundMs + kGapMs);
    EXPECT_GE(split.ms[4], kTurnaroundMs + kGapMs);

    // And with the fault spent, the next reply is whole again.
    EXPECT_EQ(master.Exchange(kReadSpeed).bytes, normal);
}

TEST_F(SimServer, NoAnswerAndExceptionFaultsLeaveTheRequestUnexecuted)
{
    RawMaster master(server.DevicePath());
    const Bytes allOn = Hex("01 06 00 0C 00 3F 09 D9");
    const auto outputs = [&] { return line.With(1, [](Controller& c) { return c.Register(reg::SwitchOutputs); }); };

    server.Faults().Once({FaultKind::NoAnswer});
    EXPECT_TRUE(master.Exchange(allOn).bytes.empty());
    EXPECT_EQ(outputs(), 0);
    server.Faults().Once({FaultKind::Exception, 6});
    EXPECT_EQ(master.Exchange(allOn).bytes, Frame({1, 0x86, 6}));
    EXPECT_EQ(outputs(), 0);
    // A damaged reply is another matter: the controller did act on the request.
    server.Faults().Once({FaultKind::BadCrc});
    EXPECT_EQ(master.Exchange(allOn).bytes.size(), 8u);
    EXPECT_EQ(outputs(), 0x3F);
}

TEST_F(SimServer, SilentRequestsNeitherAnswerNorSpendFaults)
{
    RawMaster master(server.DevicePath());
    server.Faults().Once({FaultKind::Extra, 1});

    EXPECT_TRUE(master.Exchange(Hex("01 03 00 64 00 02 85 D5")).bytes.empty()); // bad CRC
    EXPECT_TRUE(master.Exchange(Frame({9, 3, 0, 100, 0, 2})).bytes.empty());    // nobody at 9
    EXPECT_TRUE(master.Exchange(Frame({0, 6, 0, reg::SwitchOutputs, 0, 1})).bytes.empty());
    for (const std::uint8_t a : {std::uint8_t{1}, std::uint8_t{2}})
        EXPECT_EQ(line.With(a, [](Controller& c) { return c.Register(reg::SwitchOutputs); }), 1) << "broadcast";

    EXPECT_EQ(master.Exchange(kReadSpeed).bytes.size(), 10u) << "the one-shot fault waited for this answer";
    EXPECT_EQ(master.Exchange(Frame({2, 3, 0, 100, 0, 2})).bytes.size(), 9u);
}

TEST_F(SimServer, StopDoesNotWaitForAPendingReply)
{
    RawMaster master(server.DevicePath());
    server.Faults().Once({FaultKind::Late, 5000});
    const Bytes request = kReadSpeed;
    master.Exchange(request, milliseconds(50));
    const double ms = trovel::test::ElapsedMs([&] { server.Stop(); });
    EXPECT_LT(ms, 1000.0);
}

TEST_F(SimServer, UnplugHangsUpTheHostAndReplugServesANewTerminal)
{
    const Bytes setSpeed = Hex("01 10 00 64 00 02 04 00 00 3F C0 E5 D4"); // 1.5
    RawMaster before(server.DevicePath());
    ASSERT_FALSE(before.Exchange(setSpeed).bytes.empty());
    server.Unplug();
    EXPECT_FALSE(server.Plugged());
    EXPECT_TRUE(before.HungUp());
    server.Replug();
    EXPECT_TRUE(server.Plugged());
    RawMaster after(server.DevicePath());
    EXPECT_EQ(after.Exchange(kReadSpeed).bytes, Frame({1, 3, 4, 0x00, 0x00, 0x3F, 0xC0}))
        << "the controllers keep their state across a replug";
}

TEST(SimServerOnAGivenPty, ServesAMasterDescriptorItDoesNotOwn)
{
    const int fd = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::grantpt(fd), 0);
    ASSERT_EQ(::unlockpt(fd), 0);
    {
        Line line({4});
        Server server(line, fd);
        EXPECT_EQ(server.DevicePath(), ::ptsname(fd));
        server.Start();
        RawMaster master(server.DevicePath());
        EXPECT_EQ(master.Exchange(Frame({4, 3, 0, 220, 0, 1})).bytes, Frame({4, 3, 2, 0, 4}));
    }
    EXPECT_EQ(::close(fd), 0) << "the server must leave a descriptor it was given open";
}

// Over Modbus TCP every fault still leaves whole frames carrying the request's transaction
// number, or nothing. Catches a fault that garbles the header or loses the number, and a
// damaged answer passed on where a gateway answers exception 0B.
TEST(SimServerOverModbusTcp, EachFaultKeepsTheHeaderAndTheTransactionNumber)
{
    Line line{{1}};
    Server server(line, Listen{Listen::Framing::ModbusTcp}, Options());
    server.Start();
    RawMaster master(server.Port());
    ASSERT_TRUE(master.IsOpen());
    const std::string read = " 00 00 00 06 01 03 00 64 00 02";
    const std::string answer = " 00 00 00 07 01 03 04 00 00 42 48"; // 50.0, no CRC
    const std::string gatewayFailed = " 00 00 00 03 01 83 0B";
    struct Case {
        std::optional<Fault> fault;
        std::string transaction;
        std::string expected; // after the transaction number
        double earliestMs;
    };
    const Case cases[] = {
        {std::nullopt, "00 01", answer, kTurnaroundMs},
        {Fault{FaultKind::Late}, "12 34", answer, 300},
        {Fault{FaultKind::BadCrc}, "12 35", gatewayFailed, kTurnaroundMs},
        {Fault{FaultKind::Truncate}, "12 36", gatewayFailed, kTurnaroundMs},
        {Fault{FaultKind::Extra, 2}, "12 37", answer + " 00 00", kTurnaroundMs},
        {Fault{FaultKind::Split, 100}, "12 38", answer, kTurnaroundMs},
        {Fault{FaultKind::Exception, 6}, "12 39", " 00 00 00 03 01 83 06", kTurnaroundMs},
        {Fault{FaultKind::NoAnswer}, "12 3A", "", 300},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault ? Describe(*c.fault) : "no fault");
        if (c.fault)
            server.Faults().Once(*c.fault);
        const Answer a = master.Exchange(Hex(c.transaction + read), milliseconds(static_cast<int>(c.earliestMs) + 200));
        EXPECT_EQ(ToHex(a.bytes), c.expected.empty() ? "" : ToHex(Hex(c.transaction + c.expected)));
        if (!a.ms.empty()) {
            EXPECT_GE(a.ms.front(), c.earliestMs);
        }
    }
}

} // namespace
