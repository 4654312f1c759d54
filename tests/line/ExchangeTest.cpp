// The locked exchange over a pseudo-terminal with a scripted controller.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "modbus/Frame.h"
#include "serial/Exchange.h"
#include "support/PtyPeer.h"

namespace {

using namespace std::chrono_literals;
using trovel::serial::ComPort;
using trovel::serial::ReplyBuffer;
using trovel::serial::TransactFrame;
using trovel::test::Bytes;
using trovel::test::ElapsedMs;
using trovel::test::Hex;
using trovel::test::PtyPeer;

const Bytes kRequest = Hex("01 03 00 C8 00 01 05 F4");
const Bytes kReply = Hex("01 03 02 00 01 79 84");

class ExchangeLine : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(port.OpenByPath(peer.DevicePath())); }

    std::int32_t Transact(const Bytes& frame, ReplyBuffer& reply)
    {
        reply.fill(0);
        return TransactFrame(port, frame, reply);
    }

    PtyPeer peer;
    ComPort port;
};

TEST_F(ExchangeLine, SilentControllerGivesNothingAfterTheTotalTimeoutAndFreesTheLock)
{
    peer.Expect(kRequest).Start();
    ReplyBuffer reply;
    std::int32_t count = -1;
    const double ms = ElapsedMs([&] { count = Transact(kRequest, reply); });
    EXPECT_EQ(count, 0);
    EXPECT_GE(ms, 240);
    EXPECT_LE(ms, 400);
    EXPECT_TRUE(peer.Finish()) << peer.Failure();
    EXPECT_TRUE(port.ExchangeLock().try_lock());
    port.ExchangeLock().unlock();
}

TEST_F(ExchangeLine, ReplyIsReturnedWholeAndTheCountsDescribeThisExchange)
{
    peer.Expect(kRequest).Pause(20ms).SendAtLineSpeed(kReply).Start();
    ReplyBuffer reply;
    std::int32_t count = 0;
    const double ms = ElapsedMs([&] { count = Transact(kRequest, reply); });
    ASSERT_EQ(count, 7);
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 7), kReply);
    EXPECT_EQ(reply[7], 0);
    EXPECT_GE(ms, 115);
    EXPECT_LE(ms, 200);
    EXPECT_EQ(port.ReceivedCount(), 7u);
    EXPECT_EQ(port.SentCount(), 8u);
    EXPECT_TRUE(peer.Finish()) << peer.Failure();
}

TEST_F(ExchangeLine, LongerReplyIsReturnedWhole)
{
    peer.Expect(kRequest).Send(Hex("01 03 02 00 01 79 84 AA BB")).Start();
    ReplyBuffer reply;
    EXPECT_EQ(Transact(kRequest, reply), 9);
    EXPECT_TRUE(peer.Finish());
}

TEST_F(ExchangeLine, FloodEndsTheReadAt1024AndTheRestIsDiscardedBeforeTheNextRequest)
{
    const Bytes flood(1500, 0x55);
    peer.Expect(kRequest).Send(flood).Expect(kRequest).Send(kReply).Start();
    ReplyBuffer reply;
    EXPECT_EQ(Transact(kRequest, reply), 1024);
    EXPECT_EQ(Transact(kRequest, reply), 7);
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 7), kReply);
    EXPECT_TRUE(peer.Finish()) << peer.Failure();
}

TEST_F(ExchangeLine, LateReplyIsDiscardedBeforeTheNextRequest)
{
    // The first reply arrives after its exchange ended; the second request must get its own.
    const Bytes second = Hex("01 03 00 CA 00 01 A4 34");
    const Bytes secondReply = Hex("01 03 02 00 00 B8 44");
    peer.Expect(kRequest).Pause(300ms).Send(kReply).Pause(50ms).Expect(second).Pause(10ms).Send(secondReply).Start();
    ReplyBuffer reply;
    EXPECT_EQ(Transact(kRequest, reply), 0);
    std::this_thread::sleep_for(150ms); // the late reply now waits in the receive queue
    ASSERT_EQ(Transact(second, reply), 7);
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 7), secondReply);
    EXPECT_TRUE(peer.Finish()) << peer.Failure();
}

TEST_F(ExchangeLine, ConcurrentExchangesNeverInterleaveAndEachSeesItsOwnCount)
{
    // Address 1 gets a 7-byte answer, address 2 a 9-byte one.
    peer.Serve([](std::span<const std::uint8_t> request) {
        Bytes answer = request[0] == 1 ? Hex("01 03 02 00 01 00 00") : Hex("02 03 04 00 00 00 00 00 00");
        trovel::modbus::AppendCrc(answer);
        return answer;
    });
    std::atomic<int> wrongCounts{0};
    auto worker = [&](std::uint8_t address, std::int32_t expected) {
        std::array<std::uint8_t, 8> frame{};
        ASSERT_TRUE(trovel::modbus::BuildReadRequest(address, 200, 1, frame));
        for (int i = 0; i < 4; ++i) {
            ReplyBuffer reply{};
            if (TransactFrame(port, frame, reply) != expected || reply[0] != address)
                ++wrongCounts;
        }
    };
    std::thread a(worker, 1, 7);
    std::thread b(worker, 2, 9);
    a.join();
    b.join();
    peer.Stop();
    EXPECT_EQ(wrongCounts.load(), 0);
    const auto log = peer.Log();
    ASSERT_EQ(log.size(), 16u);
    for (std::size_t i = 0; i < log.size(); ++i)
        EXPECT_EQ(log[i].isRequest, i % 2 == 0) << "event " << i << " breaks request, reply, request, reply";
}

TEST_F(ExchangeLine, ClosedPortExchangesNothing)
{
    port.ReleaseHandle();
    ReplyBuffer reply;
    EXPECT_EQ(Transact(kRequest, reply), 0);
    EXPECT_EQ(port.SentCount(), 0u);
    EXPECT_TRUE(peer.Received(20ms).empty());
}

} // namespace
