// OpenCom, OpenComDevice, CloseCom and IsComOpen through the exported C interface.

#include <gtest/gtest.h>

#include "TrovelSdk.h"
#include "serial/ComPort.h"
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
    trovel::serial::ComPort other;
    EXPECT_TRUE(other.OpenByPath(peer.DevicePath()));
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
    trovel::serial::ComPort probe;
    EXPECT_TRUE(probe.OpenByPath(another.DevicePath()));
    EXPECT_FALSE(trovel::serial::ComPort().OpenByPath(peer.DevicePath()));
}

TEST_F(PortControl, OpenComDeviceRefusesNullEmptyAndBusyPaths)
{
    EXPECT_EQ(OpenComDevice(nullptr), 0);
    EXPECT_EQ(OpenComDevice(""), 0);
    EXPECT_EQ(OpenComDevice("/dev/nonexistent-trovel"), 0);
    trovel::serial::ComPort holder;
    ASSERT_TRUE(holder.OpenByPath(peer.DevicePath()));
    EXPECT_EQ(OpenComDevice(peer.DevicePath().c_str()), 0) << "held by another opener";
    EXPECT_EQ(IsComOpen(), 0);
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
