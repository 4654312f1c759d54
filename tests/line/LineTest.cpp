// A line over a pseudo-terminal with a scripted controller: opening, the read rules (timed
// from the peer's last byte), late replies, the settle after a failure, frame-complete
// reads, local echo, and closing under a caller.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include "device/Device.h"
#include "line/Line.h"
#include "support/PtyPeer.h"

namespace {

using namespace std::chrono_literals;
using trovel::line::Cause;
using trovel::line::ExceptionCause;
using trovel::line::Line;
using trovel::line::ReplyBuffer;
using trovel::modbus::ReplyRule;
using trovel::test::Bytes;
using trovel::test::Concat;
using trovel::test::Hex;
using trovel::test::Millis;
using trovel::test::PtyPeer;
using trovel::test::WithCrc;
using Clock = std::chrono::steady_clock;

const Bytes kReadOne = Hex("01 03 00 C8 00 01 05 F4");
const Bytes kOneReply = Hex("01 03 02 00 01 79 84");

double MsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

class LineOnPty : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(line.Open(peer.DevicePath()), Cause::Ok); }

    Line::Outcome Transact(const Bytes& request)
    {
        reply.fill(0);
        return line.TransactFrame(request, ReplyRule(request), reply);
    }

    // Runs one exchange against the script given; `ended` is when the call returned.
    Line::Outcome Scripted(const Bytes& request, const std::function<void(PtyPeer&)>& script, Clock::time_point& started,
                           Clock::time_point& ended)
    {
        peer.Expect(request);
        script(peer);
        peer.Start();
        started = Clock::now();
        const auto outcome = Transact(request);
        ended = Clock::now();
        EXPECT_TRUE(peer.Finish()) << peer.Failure();
        return outcome;
    }

    PtyPeer peer;
    Line line;
    ReplyBuffer reply{};
};

// ---- opening -----------------------------------------------------------------------------

TEST_F(LineOnPty, TheDeviceIsHeldExclusivelyAndOpeningDiscardsWhatWaited)
{
    Line second;
    EXPECT_EQ(second.Open(peer.DevicePath()), Cause::Busy);
    EXPECT_FALSE(second.IsOpen());
    line.Close();
    peer.Inject(Hex("DE AD BE EF"));
    ASSERT_EQ(second.Open(peer.DevicePath()), Cause::Ok) << "free again after close";
    peer.Expect(kReadOne).Send(kOneReply).Start();
    reply.fill(0);
    EXPECT_EQ(second.TransactFrame(kReadOne, ReplyRule(kReadOne), reply).cause, Cause::Ok);
    EXPECT_TRUE(peer.Finish()) << peer.Failure();
}

TEST(LineOpen, FailuresNameTheirCauseAndLeaveTheLineClosed)
{
    char file[] = "/tmp/trovel-notatty-XXXXXX";
    const int fd = ::mkstemp(file);
    ASSERT_GE(fd, 0);
    ::close(fd);
    struct Case { std::string device; Cause cause; };
    const Case cases[] = {{"/dev/nonexistent-trovel", Cause::NoDevice}, {file, Cause::NotSerial}, {"/dev/null", Cause::NotSerial}};
    for (const auto& c : cases) {
        Line line;
        EXPECT_EQ(line.Open(c.device), c.cause) << c.device;
        EXPECT_FALSE(line.IsOpen());
    }
    // Closed again: nobody holds the advisory lock any more.
    const int probe = ::open(file, O_RDONLY);
    EXPECT_EQ(::flock(probe, LOCK_EX | LOCK_NB), 0);
    ::close(probe);
    ::unlink(file);
}

// ---- the read rules ------------------------------------------------------------------------

// A read of register 200 at `address`, and its answer carrying `value`.
Bytes ReadAt(std::uint8_t address) { return WithCrc({address, 0x03, 0x00, 0xC8, 0x00, 0x01}); }
Bytes AnswerAt(std::uint8_t address, std::uint8_t value = 1) { return WithCrc({address, 0x03, 0x02, 0x00, value}); }

TEST_F(LineOnPty, ReadRulesAreTimedFromThePeersLastByte)
{
    // Each case asks its own controller, so that no case waits for an earlier one's failure.
    // `from`: the Send step of the case the end is measured from; -1: from the request.
    struct Case {
        const char* what;
        std::function<void(PtyPeer&, std::uint8_t)> script;
        Cause cause;
        int from;
        double min, max;
    };
    const Case cases[] = {
        {"a silent controller: the total time-out", [](PtyPeer&, std::uint8_t) {}, Cause::NoReply, -1, 245, 275},
        {"a reply at 20 ms: the gap after its last byte",
         [](PtyPeer& p, std::uint8_t a) { p.Pause(20ms).SendAtLineSpeed(AnswerAt(a)); }, Cause::Ok, 0, 95, 122},
        {"a 60 ms gap inside the reply does not cut it",
         [](PtyPeer& p, std::uint8_t a) {
             const Bytes answer = AnswerAt(a);
             p.Send(Bytes(answer.begin(), answer.begin() + 3)).Pause(60ms).Send(Bytes(answer.begin() + 3, answer.end()));
         },
         Cause::Ok, 1, 95, 122},
        {"a 150 ms gap cuts the reply",
         [](PtyPeer& p, std::uint8_t a) {
             const Bytes answer = AnswerAt(a);
             p.Send(Bytes(answer.begin(), answer.begin() + 3)).Pause(150ms).Send(Bytes(answer.begin() + 3, answer.end()));
         },
         Cause::ShortReply, 0, 95, 122},
        {"a byte every 60 ms: the total time-out",
         [](PtyPeer& p, std::uint8_t a) {
             for (int i = 0; i < 6; ++i)
                 p.Send({a}).Pause(60ms);
         },
         Cause::ShortReply, -1, 245, 275},
    };
    std::uint8_t address = 1;
    for (const auto& c : cases) {
        const Bytes request = ReadAt(address);
        peer.Expect(request);
        c.script(peer, address);
        const std::size_t before = peer.SendTimes().size();
        peer.Start();
        const auto started = Clock::now();
        const auto outcome = Transact(request);
        const auto ended = Clock::now();
        ASSERT_TRUE(peer.Finish()) << peer.Failure();
        EXPECT_EQ(outcome.cause, c.cause) << c.what;
        const double ms = MsBetween(c.from < 0 ? started : peer.SendTimes().at(before + static_cast<std::size_t>(c.from)), ended);
        EXPECT_GE(ms, c.min) << c.what;
        EXPECT_LE(ms, c.max) << c.what;
        ++address;
    }
}

void Nothing(int) {}

TEST_F(LineOnPty, ASignalStormNeitherShortensNorLengthensARead)
{
    struct sigaction action{};
    action.sa_handler = Nothing; // no SA_RESTART: every wait is interrupted
    ::sigaction(SIGUSR1, &action, nullptr);
    const pthread_t caller = ::pthread_self();
    std::atomic<bool> storming{true};
    std::thread storm([&] {
        while (storming)
            if (::pthread_kill(caller, SIGUSR1) == 0)
                std::this_thread::sleep_for(200us);
    });
    peer.Expect(kReadOne).Pause(20ms).Send(kOneReply).Start();
    const auto outcome = Transact(kReadOne);
    const auto ended = Clock::now();
    storming = false;
    storm.join();
    ASSERT_TRUE(peer.Finish()) << peer.Failure();
    EXPECT_EQ(outcome.cause, Cause::Ok);
    const double ms = MsBetween(peer.SendTimes().back(), ended);
    EXPECT_GE(ms, 95);
    EXPECT_LE(ms, 122);
}

TEST(DeviceWrite, AStalledTerminalIsGivenUpAfterTheWriteLimit)
{
    PtyPeer peer; // never reads: the terminal's queue fills and stays full
    auto opened = trovel::device::Open(peer.DevicePath(), trovel::util::Deadline::Now());
    ASSERT_TRUE(opened.device);
    const Bytes mebibyte(1 << 20, 0x55);
    const auto started = Clock::now();
    const auto io = opened.device->Write(mebibyte, trovel::util::Deadline::After(trovel::line::kWriteLimit));
    const double ms = MsBetween(started, Clock::now());
    EXPECT_LT(io.count, mebibyte.size());
    EXPECT_FALSE(io.gone);
    EXPECT_GE(ms, 245);
    EXPECT_LE(ms, 290);
}

TEST_F(LineOnPty, AFloodEndsTheReadAt1024AndIsNotTakenForAnAnswer)
{
    peer.Expect(kReadOne).Send(Concat(kOneReply, Bytes(1500, 0x55))).Expect(ReadAt(2)).Send(AnswerAt(2)).Start();
    EXPECT_EQ(Transact(kReadOne).cause, Cause::TwoFrames);
    EXPECT_EQ(line.ReceivedCount(), 1024u);
    EXPECT_EQ(Transact(ReadAt(2)).cause, Cause::Ok) << "the rest of the flood is discarded before the next request";
    EXPECT_TRUE(peer.Finish()) << peer.Failure();
}

// ---- late replies and the settle -------------------------------------------------------------

TEST_F(LineOnPty, ALateReplyIsNeverTakenForTheNextAnswer)
{
    // The first request is answered `late` ms after it went out, past the 250 ms it waited;
    // then `next` goes out and is answered with value 2. A stale value is 7.
    struct Case {
        const char* what;
        int late;
        Bytes next;
        Bytes answer;
        Cause cause;
    };
    const Bytes writeAt2 = WithCrc({0x02, 0x06, 0x00, 0xC8, 0x00, 0x02});
    const Case cases[] = {
        {"the same controller, same shape, 300 ms late", 300, ReadAt(1), AnswerAt(1, 2), Cause::Ok},
        {"the same controller, same shape, 990 ms late", 990, ReadAt(1), AnswerAt(1, 2), Cause::Ok},
        {"another controller's read", 300, ReadAt(2), AnswerAt(2, 2), Cause::TwoFrames},
        {"a write to another controller", 300, writeAt2, writeAt2, Cause::TwoFrames},
    };
    for (const auto& c : cases) {
        const auto failedAt = Clock::now();
        peer.Expect(ReadAt(1)).Pause(Millis(c.late)).Send(AnswerAt(1, 7)).Expect(c.next).Pause(5ms).Send(c.answer).Start();
        ASSERT_EQ(Transact(ReadAt(1)).cause, Cause::NoReply) << c.what;
        // Another controller is asked at once, so the stale reply lands in its read.
        const auto outcome = Transact(c.next);
        EXPECT_TRUE(peer.Finish()) << peer.Failure();
        EXPECT_EQ(outcome.cause, c.cause) << c.what;
        if (outcome.cause == Cause::Ok) {
            EXPECT_EQ(Bytes(outcome.reply.begin(), outcome.reply.end()), c.answer) << c.what;
            EXPECT_GE(MsBetween(failedAt, Clock::now()), 1000) << c.what << ": the same controller waits out its late reply";
        }
        peer.Unexpected(150ms);
        line.Close(); // a fresh start: no case waits for an earlier one's failure
        ASSERT_EQ(line.Open(peer.DevicePath()), Cause::Ok);
        std::this_thread::sleep_for(1s);
    }
}

TEST_F(LineOnPty, OnlyTheControllerThatFailedWaitsBeforeItIsAskedAgain)
{
    peer.Serve([](std::span<const std::uint8_t> request) { return request[0] == 1 ? Bytes{} : AnswerAt(request[0]); });
    const auto failed = Clock::now();
    ASSERT_EQ(Transact(ReadAt(1)).cause, Cause::NoReply);
    auto started = Clock::now();
    EXPECT_EQ(Transact(ReadAt(2)).cause, Cause::Ok);
    EXPECT_LE(MsBetween(started, Clock::now()), 160) << "another controller pays nothing";
    EXPECT_EQ(Transact(ReadAt(1)).cause, Cause::NoReply);
    EXPECT_GE(MsBetween(failed, Clock::now()), 1000 + 245) << "the controller that failed is asked after a second";
    started = Clock::now();
    EXPECT_EQ(Transact(ReadAt(2)).cause, Cause::Ok);
    EXPECT_EQ(Transact(ReadAt(2)).cause, Cause::Ok);
    EXPECT_LE(MsBetween(started, Clock::now()), 320) << "after a success nobody waits";
    peer.Stop();
}

// ---- frame-complete reads and local echo ------------------------------------------------------

TEST_F(LineOnPty, FrameCompleteReadsEndRightAfterTheAnswer)
{
    ASSERT_TRUE(line.SetReplyMode(TROVEL_REPLY_FRAME));
    const Bytes writeAt4 = WithCrc({0x04, 0x06, 0x00, 0xC8, 0x00, 0x02});
    struct Case {
        const char* what;
        Bytes request;
        std::function<void(PtyPeer&)> script;
        Cause cause;
        double max; // ms after the peer's last byte
    };
    const Case cases[] = {
        {"a read", ReadAt(1), [](PtyPeer& p) { p.Pause(5ms).SendAtLineSpeed(AnswerAt(1)); }, Cause::Ok, 15},
        {"a write", writeAt4, [&](PtyPeer& p) { p.Pause(5ms).SendAtLineSpeed(writeAt4); }, Cause::Ok, 15},
        {"an exception", ReadAt(2), [](PtyPeer& p) { p.SendAtLineSpeed(WithCrc({0x02, 0x83, 0x02})); }, ExceptionCause(2), 15},
        {"a reply split by 40 ms", ReadAt(3),
         [](PtyPeer& p) { p.Send(Hex("03 03 02")).Pause(40ms).Send(Hex("00 01 00 44")); },
         Cause::Ok, 15},
        {"a short reply waits for the gap", ReadAt(5), [](PtyPeer& p) { p.Send(Hex("05 03 02 00")); }, Cause::ShortReply, 122},
        {"a corrupted reply waits for the gap", ReadAt(6), [](PtyPeer& p) { p.Send(Hex("06 03 02 00 01 00 00")); }, Cause::Crc, 122},
        {"a second frame right behind", ReadAt(7),
         [](PtyPeer& p) { p.SendAtLineSpeed(Concat(AnswerAt(7), AnswerAt(7, 9))); }, Cause::TwoFrames, 122},
    };
    for (const auto& c : cases) {
        peer.Expect(c.request);
        c.script(peer);
        peer.Start();
        const auto outcome = Transact(c.request);
        const auto ended = Clock::now();
        ASSERT_TRUE(peer.Finish()) << peer.Failure();
        EXPECT_EQ(outcome.cause, c.cause) << c.what;
        EXPECT_LE(MsBetween(peer.SendTimes().back(), ended), c.max) << c.what;
    }
    // Still the total time-out on silence; and trailing noise goes before the next request.
    const auto started = Clock::now();
    peer.Expect(ReadAt(8)).Start();
    EXPECT_EQ(Transact(ReadAt(8)).cause, Cause::NoReply);
    EXPECT_GE(MsBetween(started, Clock::now()), 245);
    peer.Finish();
    peer.Expect(ReadAt(9)).Send(Concat(AnswerAt(9), Hex("00"))).Pause(20ms).Send(Hex("00 00")).Expect(ReadAt(10)).Send(AnswerAt(10)).Start();
    EXPECT_EQ(Transact(ReadAt(9)).cause, Cause::Ok);
    EXPECT_EQ(Transact(ReadAt(10)).cause, Cause::Ok);
    EXPECT_TRUE(peer.Finish()) << peer.Failure();
}

TEST_F(LineOnPty, LocalEchoIsExpectedOnlyWhenSetAndThenNeverTakenForTheAnswer)
{
    const Bytes writeAt3 = WithCrc({0x03, 0x06, 0x00, 0xC8, 0x00, 0x02});
    struct Case { bool echo; Bytes request; Bytes sent; Cause cause; };
    const Case cases[] = {
        {true, ReadAt(1), Concat(ReadAt(1), AnswerAt(1)), Cause::Ok},
        {true, writeAt3, Concat(writeAt3, writeAt3), Cause::Ok},
        {true, ReadAt(2), AnswerAt(2), Cause::Echo},
        {false, ReadAt(4), Concat(ReadAt(4), AnswerAt(4)), Cause::Crc},
        {false, WithCrc({0x05, 0x06, 0x00, 0xC8, 0x00, 0x02}), Concat(WithCrc({0x05, 0x06, 0x00, 0xC8, 0x00, 0x02}), WithCrc({0x05, 0x06, 0x00, 0xC8, 0x00, 0x02})), Cause::TwoFrames},
    };
    for (const auto& c : cases) {
        line.SetLocalEcho(c.echo);
        peer.Expect(c.request).Send(c.sent).Start();
        EXPECT_EQ(Transact(c.request).cause, c.cause) << trovel::test::ToHex(c.sent);
        EXPECT_TRUE(peer.Finish()) << peer.Failure();
    }
}

// ---- closing under a caller ---------------------------------------------------------------------

TEST_F(LineOnPty, ClosingUnderACallerNeverHandsItsDescriptorToAnotherFile)
{
    peer.Expect(kReadOne).Start(); // silent: the caller waits in its read
    Line::Outcome outcome{Cause::Ok, {}};
    std::thread caller([&] { outcome = Transact(kReadOne); });
    std::this_thread::sleep_for(50ms);
    const auto closed = Clock::now();
    line.Close();
    EXPECT_FALSE(line.IsOpen()) << "closed at once";
    // The lowest free descriptor: the line's, had it been released under the caller.
    char name[] = "/tmp/trovel-unrelated-XXXXXX";
    const int unrelated = ::mkstemp(name);
    ASSERT_GE(unrelated, 0);
    ASSERT_EQ(::write(unrelated, "unrelated", 9), 9);
    caller.join();
    EXPECT_EQ(outcome.cause, Cause::NotOpen);
    EXPECT_LE(MsBetween(closed, Clock::now()), 100) << "the caller is woken, not left to its time-out";
    char content[32] = {};
    EXPECT_EQ(::pread(unrelated, content, sizeof content, 0), 9);
    EXPECT_STREQ(content, "unrelated");
    EXPECT_EQ(::lseek(unrelated, 0, SEEK_CUR), 9) << "nobody read from it";
    ::close(unrelated);
    ::unlink(name);
    peer.Finish();
}

TEST_F(LineOnPty, ConcurrentExchangesNeverInterleave)
{
    peer.Serve([](std::span<const std::uint8_t> request) { return AnswerAt(request[0]); });
    std::atomic<int> failures{0};
    auto worker = [&](std::uint8_t address) {
        for (int i = 0; i < 4; ++i) {
            ReplyBuffer own{};
            const Bytes request = ReadAt(address);
            const auto outcome = line.TransactFrame(request, ReplyRule(request), own);
            if (outcome.cause != Cause::Ok || outcome.reply[0] != address)
                ++failures;
        }
    };
    std::thread a(worker, 1);
    std::thread b(worker, 2);
    a.join();
    b.join();
    peer.Stop();
    EXPECT_EQ(failures.load(), 0);
    const auto log = peer.Log();
    ASSERT_EQ(log.size(), 16u);
    for (std::size_t i = 0; i < log.size(); ++i)
        EXPECT_EQ(log[i].isRequest, i % 2 == 0) << "event " << i << " breaks request, reply, request, reply";
}

} // namespace
