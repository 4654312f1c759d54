// The Win32 serial backend under wine, through the line, against the scripted peer of
// line.peer: opening by port name, the read rules timed from the peer's last byte, late
// replies, frame-complete reads, and closing.

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>

#include "WineLine.h"
#include "device/Device.h"

namespace trovel::wintest {
namespace {

using namespace std::chrono_literals;
using device::PortName;
using line::Cause;
using line::Line;
using line::ReplyBuffer;
using modbus::ReplyRule;

Bytes BytesOf(std::span<const std::uint8_t> bytes) { return Bytes(bytes.begin(), bytes.end()); }

class SerialLine : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(line.Open(PortName(TestPort())), Cause::Ok) << "COM" << TestPort(); }

    Line::Outcome Transact(const Bytes& request)
    {
        reply.fill(0);
        return line.TransactFrame(request, ReplyRule(request), reply);
    }

    Line line;
    ReplyBuffer reply{};
};

// ---- open and close ----------------------------------------------------------------------

TEST_F(SerialLine, OpensByPortNameWithTheControllersLineFormat)
{
    EXPECT_TRUE(line.IsOpen());
    EXPECT_EQ(line.DeviceName(), "\\\\.\\COM" + std::to_string(TestPort()));
    EXPECT_EQ(QueryStatus(line).format, "19200 8N1");
}

TEST(SerialOpen, FailuresNameTheirCauseAndLeaveTheLineClosed)
{
    wchar_t folder[MAX_PATH];
    wchar_t file[MAX_PATH];
    ASSERT_NE(::GetTempPathW(MAX_PATH, folder), 0u);
    ASSERT_NE(::GetTempFileNameW(folder, L"trv", 0, file), 0u);
    const std::string plainFile(file, file + std::wcslen(file));
    struct Case { std::string device; Cause cause; };
    const Case cases[] = {{PortName(AbsentPort()), Cause::NoDevice}, {plainFile, Cause::NotSerial}};
    for (const auto& c : cases) {
        Line line;
        EXPECT_EQ(line.Open(c.device), c.cause) << c.device;
        EXPECT_FALSE(line.IsOpen()) << c.device;
    }
    EXPECT_NE(::DeleteFileW(file), 0) << "the file was closed again";
}

TEST_F(SerialLine, ASecondOpenerIsRefused)
{
    if (RunningUnderWine())
        GTEST_SKIP() << "wine does not enforce exclusive access to serial devices: CreateFileW with "
                        "share mode 0 hands out a second handle";
    Line second;
    EXPECT_EQ(second.Open(PortName(TestPort())), Cause::Busy);
    EXPECT_FALSE(second.IsOpen());
}

TEST_F(SerialLine, CloseReleasesTheDevice)
{
    const int closesBefore = QueryStatus(line).closes;
    ASSERT_GE(closesBefore, 0);

    line.Close();
    EXPECT_FALSE(line.IsOpen());
    EXPECT_EQ(Transact(request::kPromptReply).cause, Cause::NotOpen);
    EXPECT_EQ(line.SentCount(), 0u);
    line.Close(); // closing a closed line does nothing

    ::Sleep(100); // let the peer see the hang-up before the port opens again
    EXPECT_EQ(QueryStatusOnFreshPort().closes, closesBefore + 1);

    ASSERT_EQ(line.Open(PortName(TestPort())), Cause::Ok) << "the line opens again after a close";
    EXPECT_EQ(QueryStatus(line).format, "19200 8N1");
}

// ---- the read rules -----------------------------------------------------------------------

// Runs each case on the line and checks its outcome and when it ended: from the peer's last
// byte (asked of the peer right after the exchange) or, without one, from the request.
struct TimedCase {
    const char* what;
    Bytes request;
    Cause cause;
    double min, max;
    bool fromLastByte;
};

void RunTimed(Line& line, const char* mode, std::initializer_list<TimedCase> cases)
{
    for (const auto& c : cases) {
        ReplyBuffer reply{};
        const Stopwatch watch;
        const auto outcome = line.TransactFrame(c.request, ReplyRule(c.request), reply);
        const double fromRequest = watch.Ms();
        const double ms = c.fromLastByte ? PeerMsSinceLastByte(line) : fromRequest;
        Report(std::string(mode) + ", " + c.what + (c.fromLastByte ? ", after the last byte" : ", after the request"), ms);
        EXPECT_EQ(outcome.cause, c.cause) << c.what;
        EXPECT_GE(ms, c.min) << c.what;
        EXPECT_LE(ms, c.max) << c.what;
    }
}

TEST_F(SerialLine, ReadsEndOnSilenceTimedFromThePeersLastByte)
{
    RunTimed(line, "silence",
             {
                 {"a silent controller: the total time-out", request::kSilent, Cause::NoReply, kTotalMinMs, kTotalMaxMs, false},
                 {"a reply at 20 ms: the gap", request::kReplyAfter20Ms, Cause::Ok, kGapMinMs, kGapMaxMs, true},
                 {"a 60 ms gap inside the reply does not cut it", request::kReplyWithShortGap, Cause::Ok, kGapMinMs,
                  kGapMaxMs, true},
                 {"a reply still arriving is cut by the total time-out", request::kTrickle, Cause::ShortReply,
                  kTotalMinMs, kTotalMaxMs, false},
             });
    ::Sleep(150); // the rest of the trickle, for the next test's open to discard
}

TEST(SerialDevice, AGapOverTheGapTimeOutCutsTheReadAndLeavesTheRestQueued)
{
    auto opened = device::Open(PortName(TestPort()), util::Deadline::Now());
    ASSERT_TRUE(opened.device);
    device::Device& port = *opened.device;
    ASSERT_EQ(port.Write(request::kReplyWithLongGap, util::Deadline::After(250ms)).count, request::kReplyWithLongGap.size());
    ReplyBuffer into{};
    const auto head = line::ReceiveReply(port, into, {250ms, 100ms});
    const double ms = std::chrono::duration<double, std::milli>(util::MonoClock::now() - head.lastByteAt).count();
    Report("a 150 ms gap cuts the read, after the head's last byte read", ms);
    EXPECT_EQ(BytesOf(std::span(into).first(head.count)), reply::kLongGapHead);
    EXPECT_TRUE(head.endedOnSilence);
    EXPECT_GE(ms, 100.0) << "whole-millisecond timers never end a wait before its deadline";
    EXPECT_LE(ms, kGapMaxMs);

    const auto tail = line::ReceiveReply(port, into, {300ms, 20ms});
    EXPECT_EQ(BytesOf(std::span(into).first(tail.count)), reply::kLongGapTail) << "a read purges nothing";
}

TEST_F(SerialLine, AFloodEndsTheReadAt1024AndIsNotTakenForAnAnswer)
{
    const Stopwatch watch;
    EXPECT_EQ(Transact(request::kFlood).cause, Cause::TwoFrames);
    const double ms = watch.Ms();
    Report("1100 bytes at 20 ms: a full buffer ends the read after", ms);
    EXPECT_EQ(line.ReceivedCount(), line::kReplyBufferSize);
    EXPECT_LT(ms, 20.0 + kGapMinMs) << "a full buffer ends the read at once";
    EXPECT_EQ(BytesOf(Transact(request::kPromptReply).reply), reply::kPromptReply)
        << "the rest of the flood is discarded before the next request";
}

// ---- late replies ------------------------------------------------------------------------

TEST(SerialLateReply, IsNeverTakenForTheNextAnswer)
{
    // Controller 5 answers 300 ms after the request, when the read has given up; then `next`
    // goes out after `pauseMs`.
    struct Case {
        const char* what;
        DWORD pauseMs;
        Bytes next;
        Cause cause;
        Bytes answer;
        bool settles;
    };
    const Case cases[] = {
        {"the same controller, same shape: asked again once the late reply is waited out", 0,
         request::kLateControllersOtherRegister, Cause::Ok, reply::kLateControllersOtherRegister, true},
        {"another controller asked at once: the late reply lands in its read", 0, request::kPromptReply,
         Cause::TwoFrames, {}, false},
        {"another controller asked after the late reply came: discarded before the request", 150,
         request::kPromptReply, Cause::Ok, reply::kPromptReply, false},
    };
    for (const auto& c : cases) {
        Line line; // a fresh start: no case waits for an earlier one's failure
        ASSERT_EQ(line.Open(PortName(TestPort())), Cause::Ok);
        ReplyBuffer reply{};
        const Stopwatch sinceFailedRequest;
        ASSERT_EQ(line.TransactFrame(request::kLateReply, ReplyRule(request::kLateReply), reply).cause, Cause::NoReply);
        ::Sleep(c.pauseMs);
        const auto outcome = line.TransactFrame(c.next, ReplyRule(c.next), reply);
        EXPECT_EQ(outcome.cause, c.cause) << c.what;
        if (c.cause == Cause::Ok) {
            EXPECT_EQ(BytesOf(outcome.reply), c.answer) << c.what;
        }
        if (c.settles) {
            EXPECT_GE(sinceFailedRequest.Ms(), 1000.0) << c.what;
        }
    }
}

// ---- frame-complete reads ------------------------------------------------------------------

TEST_F(SerialLine, FrameCompleteReadsEndRightAfterTheAnswerAndStillByTheTimeOuts)
{
    ASSERT_TRUE(line.SetReplyMode(TROVEL_REPLY_FRAME));
    RunTimed(line, "frame",
             {
                 {"a read answered at 20 ms", request::kReplyAfter20Ms, Cause::Ok, 0.0, kFrameEndMaxMs, true},
                 {"a write", request::kWrite, Cause::Ok, 0.0, kFrameEndMaxMs, true},
                 {"an exception", request::kException, line::ExceptionCause(2), 0.0, kFrameEndMaxMs, true},
                 {"a reply split by a 60 ms gap", request::kReplyWithShortGap, Cause::Ok, 0.0, kFrameEndMaxMs, true},
                 {"a second answer right behind: the gap, then a failure", request::kTwoAnswers, Cause::TwoFrames,
                  kGapMinMs, kGapMaxMs, true},
                 {"a silent controller: the total time-out", request::kSilent, Cause::NoReply, kTotalMinMs, kTotalMaxMs,
                  false},
             });
}

} // namespace
} // namespace trovel::wintest
