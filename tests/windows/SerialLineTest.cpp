// The Win32 serial backend under wine, against the scripted peer of line.peer: opening by
// port number, the read rule's timings, the purge before each exchange, and closing.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>

#include "WineLine.h"
#include "serial/ComPort.h"
#include "serial/Exchange.h"

namespace trovel::wintest {
namespace {

using serial::ComPort;
using serial::ReplyBuffer;

Bytes Head(const ReplyBuffer& reply, std::int32_t count)
{
    return Bytes(reply.begin(), reply.begin() + std::max(count, 0));
}

class SerialLine : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(port.OpenByNumber(TestPort())) << "COM" << TestPort(); }

    // One exchange, timed from before the write to the end of the read.
    std::int32_t Exchange(const Bytes& request, double& ms)
    {
        reply.fill(0);
        const Stopwatch watch;
        const std::int32_t received = serial::TransactFrame(port, request, reply);
        ms = watch.Ms();
        return received;
    }

    // A plain read, as the next exchange would start it, without the purge.
    Bytes ReadRest()
    {
        ReplyBuffer rest{};
        const std::uint32_t got = port.ReadBytes(rest);
        return Bytes(rest.begin(), rest.begin() + got);
    }

    ComPort port;
    ReplyBuffer reply{};
};

// ---- open and close ----------------------------------------------------------------------

TEST_F(SerialLine, OpensByNumberWithTheControllersLineFormat)
{
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.PortNumber(), static_cast<std::int32_t>(TestPort()));
    EXPECT_EQ(port.PortName(), "\\\\.\\COM" + std::to_string(TestPort()));
    EXPECT_EQ(QueryStatus(port).format, "19200 8N1");
}

TEST(SerialPortNumbers, OutOfRangeNumbersAreRefusedWithoutTouchingThePort)
{
    ComPort port;
    EXPECT_FALSE(port.OpenByNumber(0));
    EXPECT_FALSE(port.OpenByNumber(1025));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.PortNumber(), -1);
    EXPECT_EQ(port.PortName(), "");
}

TEST(SerialPortNumbers, AMissingDeviceFailsAndLeavesThePortClosed)
{
    ComPort port;
    EXPECT_FALSE(port.OpenByNumber(AbsentPort()));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.PortNumber(), static_cast<std::int32_t>(AbsentPort()));

    EXPECT_FALSE(port.OpenByNumber(1024));
    EXPECT_EQ(port.PortName(), "\\\\.\\COM1024");
}

TEST_F(SerialLine, ASecondOpenerIsRefused)
{
    if (RunningUnderWine())
        GTEST_SKIP() << "wine does not enforce exclusive access to serial devices: CreateFileW with "
                        "share mode 0 hands out a second handle";
    ComPort second;
    EXPECT_FALSE(second.OpenByNumber(TestPort()));
    EXPECT_FALSE(second.IsOpen());
}

TEST_F(SerialLine, CloseReleasesTheDevice)
{
    const int closesBefore = QueryStatus(port).closes;
    ASSERT_GE(closesBefore, 0);

    port.ReleaseHandle();
    EXPECT_FALSE(port.IsOpen());
    std::uint8_t byte = 0;
    EXPECT_EQ(port.ReadBytes({&byte, 1}), 0u);
    EXPECT_EQ(port.WriteBytes(request::kPromptReply), 0u);
    port.ReleaseHandle(); // closing a closed port does nothing

    ::Sleep(100); // let the peer see the hang-up before the port opens again
    EXPECT_EQ(QueryStatusOnFreshPort().closes, closesBefore + 1);

    ASSERT_TRUE(port.OpenByNumber(TestPort())) << "the port opens again after a close";
    EXPECT_EQ(QueryStatus(port).format, "19200 8N1");
}

// ---- the read rule -----------------------------------------------------------------------

TEST_F(SerialLine, ASilentLineEndsTheReadAfterTheTotalTimeout)
{
    double ms = 0;
    EXPECT_EQ(Exchange(request::kSilent, ms), 0);
    Report("silent line: read ends after", ms);
    EXPECT_GE(ms, kTotalTimeoutMinMs);
    EXPECT_LE(ms, kTotalTimeoutMaxMs);
    EXPECT_EQ(port.ReceivedCount(), 0u);
    EXPECT_EQ(port.SentCount(), request::kSilent.size());
}

TEST_F(SerialLine, AReplyIsReturnedWholeAboutAnIntervalAfterItsLastByte)
{
    double ms = 0;
    const std::int32_t received = Exchange(request::kReplyAfter20Ms, ms);
    Report("reply at 20 ms (7 bytes): read ends after", ms);
    EXPECT_EQ(Head(reply, received), reply::kReplyAfter20Ms);
    EXPECT_GE(ms, kGapEndMinMs); // 20 ms + 7 bytes + 100 ms
    EXPECT_LT(ms, kGapEndMaxMs);
    EXPECT_EQ(port.ReceivedCount(), reply::kReplyAfter20Ms.size());
    EXPECT_EQ(port.SentCount(), request::kReplyAfter20Ms.size());
}

TEST_F(SerialLine, AGapShorterThanTheIntervalDoesNotCutTheReply)
{
    double ms = 0;
    const std::int32_t received = Exchange(request::kReplyWithShortGap, ms);
    Report("reply with a 60 ms gap: read ends after", ms);
    EXPECT_EQ(Head(reply, received), reply::kReplyWithShortGap);
    EXPECT_GE(ms, kGapEndMinMs + 60.0);
    EXPECT_LT(ms, kGapEndMaxMs);
}

TEST_F(SerialLine, AGapLongerThanTheIntervalCutsTheReplyAndKeepsTheRestQueued)
{
    double ms = 0;
    const std::int32_t received = Exchange(request::kReplyWithLongGap, ms);
    Report("reply with a 150 ms gap: read cut after", ms);
    EXPECT_EQ(Head(reply, received), reply::kLongGapHead);
    EXPECT_GE(ms, kGapEndMinMs);
    EXPECT_LT(ms, kGapEndMaxMs);

    EXPECT_EQ(ReadRest(), reply::kLongGapTail) << "a read purges nothing";
}

TEST_F(SerialLine, AReadTakesAtMost1024BytesAndLeavesTheRest)
{
    double ms = 0;
    EXPECT_EQ(Exchange(request::kFlood, ms), static_cast<std::int32_t>(serial::kReplyBufferSize));
    Report("1100 bytes at once: read of 1024 ends after", ms);
    EXPECT_LT(ms, kGapEndMaxMs);
    EXPECT_EQ(ReadRest().size(), reply::kFloodLength - serial::kReplyBufferSize);
}

// ---- late replies ------------------------------------------------------------------------

TEST_F(SerialLine, ALateReplyWaitsInTheReceiveQueue)
{
    double ms = 0;
    EXPECT_EQ(Exchange(request::kLateReply, ms), 0);
    ::Sleep(150); // the reply comes 300 ms after the request
    EXPECT_EQ(ReadRest(), reply::kLateReply);
}

TEST_F(SerialLine, ALateReplyIsDiscardedBeforeTheNextRequest)
{
    double ms = 0;
    EXPECT_EQ(Exchange(request::kLateReply, ms), 0);
    ::Sleep(150);
    const std::int32_t received = Exchange(request::kPromptReply, ms);
    EXPECT_EQ(Head(reply, received), reply::kPromptReply) << "the stale reply must not come first";
    EXPECT_EQ(port.ReceivedCount(), reply::kPromptReply.size());
}

} // namespace
} // namespace trovel::wintest
