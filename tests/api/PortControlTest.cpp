// OpenCom, OpenComDevice, CloseCom and IsComOpen through the exported C interface.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "TrovelSdk.h"
#include "support/PtyPeer.h"

namespace {

using namespace std::chrono_literals;
using trovel::test::PtyPeer;

class PortControl : public ::testing::Test {
protected:
    void TearDown() override { CloseCom(); }
    PtyPeer peer;
};

TEST_F(PortControl, StartsClosed)
{
    EXPECT_EQ(IsComOpen(), 0);
}

TEST_F(PortControl, OpenComRefusesNumbersOutsideTheRange)
{
    EXPECT_EQ(OpenCom(0), 0);
    EXPECT_EQ(OpenCom(1025), 0);
    EXPECT_EQ(OpenCom(0xFFFFFFFFu), 0);
    EXPECT_EQ(IsComOpen(), 0);
}

TEST_F(PortControl, OpenComOfAMissingPortFails)
{
    EXPECT_EQ(OpenCom(1024), 0); // /dev/ttyS1023 does not exist
    EXPECT_EQ(IsComOpen(), 0);
}

TEST_F(PortControl, OpenComDeviceOpensAndCloseComCloses)
{
    ASSERT_EQ(OpenComDevice(peer.DevicePath().c_str()), 1);
    EXPECT_EQ(IsComOpen(), 1);
    EXPECT_FALSE(CloseCom()) << "CloseCom answers false even after closing";
    EXPECT_EQ(IsComOpen(), 0);
    EXPECT_FALSE(CloseCom()) << "and on a closed port";
    EXPECT_EQ(IsComOpen(), 0);
    // The device is free again.
    TrovelLine* other = TrovelOpenLine(peer.DevicePath().c_str());
    EXPECT_NE(other, nullptr);
    TrovelCloseLine(other);
}

TEST_F(PortControl, OpenOnAnOpenPortReturnsOneAndKeepsThePort)
{
    ASSERT_EQ(OpenComDevice(peer.DevicePath().c_str()), 1);
    PtyPeer another;
    EXPECT_EQ(OpenCom(0), 1);
    EXPECT_EQ(OpenCom(1025), 1);
    EXPECT_EQ(OpenCom(3), 1);
    EXPECT_EQ(OpenComDevice(another.DevicePath().c_str()), 1);
    EXPECT_EQ(OpenComDevice(nullptr), 1);
    // Still the first device: the second is free for anyone.
    TrovelLine* probe = TrovelOpenLine(another.DevicePath().c_str());
    EXPECT_NE(probe, nullptr);
    TrovelCloseLine(probe);
    EXPECT_EQ(TrovelOpenLine(peer.DevicePath().c_str()), nullptr);
    EXPECT_EQ(TrovelLastError(), TROVEL_ERR_BUSY);
}

TEST_F(PortControl, OpenComDeviceRefusesNullEmptyAndBusyPathsWithTheirCause)
{
    TrovelLine* holder = TrovelOpenLine(peer.DevicePath().c_str());
    ASSERT_NE(holder, nullptr);
    struct Case { const char* path; int cause; };
    const Case cases[] = {{nullptr, TROVEL_ERR_ARGUMENT}, {"", TROVEL_ERR_ARGUMENT},
                          {"/dev/nonexistent-trovel", TROVEL_ERR_NO_DEVICE}, {"/dev/null", TROVEL_ERR_NOT_SERIAL},
                          {peer.DevicePath().c_str(), TROVEL_ERR_BUSY}};
    for (const auto& c : cases) {
        EXPECT_EQ(OpenComDevice(c.path), 0);
        EXPECT_EQ(TrovelLastError(), c.cause) << (c.path ? c.path : "null");
        EXPECT_EQ(IsComOpen(), 0);
    }
    TrovelCloseLine(holder);
    EXPECT_EQ(OpenComDevice(peer.DevicePath().c_str()), 1);
    EXPECT_EQ(TrovelLastError(), TROVEL_OK);
}

TEST_F(PortControl, IsComOpenNeverReadsOneDuringAnOpenThatFails)
{
    std::atomic<bool> opening{true};
    std::atomic<long> ones{0};
    std::thread poller([&] {
        while (opening)
            ones += IsComOpen();
    });
    for (int i = 0; i < 2000; ++i)
        OpenComDevice("/dev/null"); // opens, then fails on the line settings
    opening = false;
    poller.join();
    EXPECT_EQ(ones.load(), 0);
}

TEST_F(PortControl, TwoThreadsOpeningAtOnceLeaveOneOpenPort)
{
    for (int round = 0; round < 50; ++round) {
        std::atomic<int> opened{0};
        std::thread a([&] { opened += OpenComDevice(peer.DevicePath().c_str()); });
        std::thread b([&] { opened += OpenComDevice(peer.DevicePath().c_str()); });
        a.join();
        b.join();
        EXPECT_EQ(opened.load(), 2) << "the second finds the port open";
        EXPECT_EQ(IsComOpen(), 1);
        CloseCom();
    }
}

TEST_F(PortControl, ReopenAfterCloseWorks)
{
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(OpenComDevice(peer.DevicePath().c_str()), 1);
        CloseCom();
    }
    EXPECT_EQ(IsComOpen(), 0);
}

} // namespace
