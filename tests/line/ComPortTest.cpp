// The port object over a pseudo-terminal: open and close, exclusivity, the read rule, counts.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "serial/ComPort.h"
#include "support/PtyPeer.h"

namespace {

using namespace std::chrono_literals;
using trovel::serial::ComPort;
using trovel::test::Bytes;
using trovel::test::ElapsedMs;
using trovel::test::Hex;
using trovel::test::PtyPeer;

class ComPortLine : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(port.OpenByPath(peer.DevicePath())); }

    std::uint32_t Read(Bytes& into, std::size_t capacity = 1024)
    {
        into.assign(capacity, 0);
        const auto got = port.ReadBytes(into);
        into.resize(got);
        return got;
    }

    PtyPeer peer;
    ComPort port;
};

TEST_F(ComPortLine, SilentLineReadsNothingAfterTheTotalTimeout)
{
    Bytes got;
    const double ms = ElapsedMs([&] { Read(got); });
    EXPECT_TRUE(got.empty());
    EXPECT_GE(ms, 240);
    EXPECT_LE(ms, 400);
    EXPECT_EQ(port.ReceivedCount(), 0u);
}

TEST_F(ComPortLine, ReplyStartingLateIsReturnedWholeAnIntervalAfterItsLastByte)
{
    peer.Pause(20ms).SendAtLineSpeed(Hex("01 03 02 00 01 79 84")).Start();
    Bytes got;
    const double ms = ElapsedMs([&] { Read(got); });
    EXPECT_EQ(got, Hex("01 03 02 00 01 79 84"));
    // 20 ms silence + about 4 ms of bytes + 100 ms interval.
    EXPECT_GE(ms, 115);
    EXPECT_LE(ms, 200);
    EXPECT_TRUE(peer.Finish());
}

TEST_F(ComPortLine, GapOverTheIntervalCutsTheReplyAndTheRestWaitsForTheNextRead)
{
    peer.Send(Hex("01 03 02")).Pause(150ms).Send(Hex("00 01 79 84")).Start();
    Bytes first;
    const double ms = ElapsedMs([&] { Read(first); });
    EXPECT_EQ(first, Hex("01 03 02"));
    EXPECT_GE(ms, 95);
    EXPECT_LE(ms, 145);
    ASSERT_TRUE(peer.Finish());
    Bytes rest;
    Read(rest);
    EXPECT_EQ(rest, Hex("00 01 79 84")) << "a read purges nothing";
}

TEST_F(ComPortLine, ReplyStillArrivingAtTheTotalTimeoutIsCut)
{
    // One byte every 60 ms never trips the interval, so the total time-out ends the read.
    for (int i = 0; i < 8; ++i)
        peer.Send({static_cast<std::uint8_t>(i)}).Pause(60ms);
    peer.Start();
    Bytes got;
    const double ms = ElapsedMs([&] { Read(got); });
    EXPECT_GE(ms, 240);
    EXPECT_LE(ms, 330);
    EXPECT_GE(got.size(), 4u);
    EXPECT_LE(got.size(), 6u);
    peer.Finish();
}

TEST_F(ComPortLine, ReadEndsAtTheBufferSizeAndLeavesTheRestQueued)
{
    Bytes flood(1500);
    for (std::size_t i = 0; i < flood.size(); ++i)
        flood[i] = static_cast<std::uint8_t>(i);
    peer.Send(flood).Start();
    ASSERT_TRUE(peer.Finish());
    Bytes got;
    const double ms = ElapsedMs([&] { Read(got); });
    ASSERT_EQ(got.size(), 1024u);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), flood.begin()));
    EXPECT_LE(ms, 90) << "a full buffer ends the read at once";
    Bytes rest;
    Read(rest);
    EXPECT_EQ(rest, Bytes(flood.begin() + 1024, flood.end()));
}

TEST_F(ComPortLine, CountsAddEachResult)
{
    const auto frame = Hex("01 03 00 64 00 02 85 D4");
    EXPECT_EQ(port.WriteBytes(frame), 8u);
    EXPECT_EQ(port.WriteBytes(frame), 8u);
    EXPECT_EQ(port.SentCount(), 16u);
    EXPECT_EQ(peer.Received(50ms).size(), 16u);

    peer.Send(Hex("AA BB CC")).Start();
    ASSERT_TRUE(peer.Finish());
    Bytes got;
    EXPECT_EQ(Read(got), 3u);
    EXPECT_EQ(port.ReceivedCount(), 3u);
    port.ClearCounts();
    EXPECT_EQ(port.ReceivedCount(), 0u);
    EXPECT_EQ(port.SentCount(), 0u);
}

TEST_F(ComPortLine, ZeroLengthAndClosedPortTransferNothing)
{
    EXPECT_EQ(port.WriteBytes({}), 0u);
    EXPECT_EQ(port.ReadBytes({}), 0u);
    port.ReleaseHandle();
    EXPECT_FALSE(port.IsOpen());
    const auto frame = Hex("01 02");
    EXPECT_EQ(port.WriteBytes(frame), 0u);
    Bytes got;
    EXPECT_EQ(Read(got), 0u);
    EXPECT_EQ(port.SentCount(), 0u);
    port.ReleaseHandle(); // closing a closed port does nothing
    EXPECT_TRUE(peer.Received(20ms).empty());
}

TEST_F(ComPortLine, SecondOpenerOfTheSameDeviceFails)
{
    ComPort second;
    EXPECT_FALSE(second.OpenByPath(peer.DevicePath()));
    EXPECT_FALSE(second.IsOpen());
    port.ReleaseHandle();
    EXPECT_TRUE(second.OpenByPath(peer.DevicePath())) << "the device is free again after close";
}

TEST_F(ComPortLine, OpeningPurgesWhatWaitedOnTheLine)
{
    port.ReleaseHandle();
    peer.Inject(Hex("DE AD BE EF"));
    ASSERT_TRUE(port.OpenByPath(peer.DevicePath()));
    Bytes got;
    Read(got);
    EXPECT_TRUE(got.empty());
}

TEST(ComPortOpen, NumberRangeIsCheckedBeforeAnythingChanges)
{
    ComPort port;
    EXPECT_FALSE(port.OpenByNumber(0));
    EXPECT_FALSE(port.OpenByNumber(1025));
    EXPECT_EQ(port.PortNumber(), -1);
    EXPECT_TRUE(port.PortName().empty());
    // 1024 passes the range check and is tried (no such device here).
    EXPECT_FALSE(port.OpenByNumber(1024));
    EXPECT_EQ(port.PortNumber(), 1024);
    EXPECT_EQ(port.PortName(), "/dev/ttyS1023");
    EXPECT_FALSE(port.IsOpen());
}

TEST(ComPortOpen, DeviceThatRefusesTheLineSettingsEndsClosed)
{
    // A regular file opens but is no terminal: the line settings fail and it is closed again.
    char name[] = "/tmp/trovel-notatty-XXXXXX";
    const int fd = ::mkstemp(name);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ComPort port;
    EXPECT_FALSE(port.OpenByPath(name));
    EXPECT_FALSE(port.IsOpen());
    // Closed again: nobody holds the exclusive lock any more.
    const int probe = ::open(name, O_RDONLY);
    EXPECT_EQ(::flock(probe, LOCK_EX | LOCK_NB), 0);
    ::close(probe);
    ::unlink(name);
    EXPECT_FALSE(port.OpenByPath("/dev/nonexistent-trovel"));
}

} // namespace
