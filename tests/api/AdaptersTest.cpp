// RS-485 direction control and the port descriptions through the exported C interface.

#include <gtest/gtest.h>

#include <string>

#include "api/ApiFixture.h"

namespace {

using namespace trovel::test;

// 80.0f in registers 100-101 (low word first), controller 1.
const Bytes kSpeedRequest = Hex("01 03 00 64 00 02 85 D4");
const Bytes kSpeedReply = Hex("01 03 04 00 00 42 A0 CA EB");

class Rs485 : public ApiLine {
protected:
    void TearDown() override
    {
        CloseCom();
        TrovelSetRs485(nullptr, TROVEL_RS485_OFF, 0, 0); // the default line keeps its settings
    }
    void ExpectSpeedReads()
    {
        float speed = 0;
        EXPECT_EQ(Exchange(kSpeedRequest, kSpeedReply, [&] { return GetMotorSpeed(1, &speed); }), 1);
        EXPECT_EQ(speed, 80.0f);
    }
};

// Faults caught: a pseudo-terminal's (or USB adapter's) ENOTTY reported as success or as a
// dead line, a cause that does not say why, the line broken by the attempt.
TEST_F(Rs485, APseudoTerminalSaysItNeedsNoneAndKeepsWorking)
{
    for (const int mode : {TROVEL_RS485_RTS_HIGH, TROVEL_RS485_RTS_LOW}) {
        EXPECT_EQ(TrovelSetRs485(nullptr, mode, 0, 0), 0) << mode;
        EXPECT_EQ(TrovelLastError(), TROVEL_ERR_RS485_UNSUPPORTED) << mode;
        EXPECT_NE(std::string(TrovelErrorText(TROVEL_ERR_RS485_UNSUPPORTED)).find("switch by themselves"),
                  std::string::npos);
        ExpectSpeedReads();
    }
}

// Faults caught: a setting made before the port is open refused or lost (libmodbus #36),
// or an adapter without RS-485 failing the open that applies it.
TEST_F(Rs485, ASettingBeforeOpenIsKeptAndTheOpenStillSucceeds)
{
    CloseCom();
    EXPECT_EQ(TrovelSetRs485(nullptr, TROVEL_RS485_RTS_HIGH, 1, 1), 1);
    ASSERT_EQ(OpenComDevice(peer.DevicePath().c_str()), 1);
    ExpectSpeedReads();
}

// Faults caught: a mode or delay out of range passed to the driver.
TEST_F(Rs485, ValuesOutOfRangeAreRefused)
{
    const int refused[][3] = {{3, 0, 0}, {-1, 0, 0}, {1, 101, 0}, {1, 0, -1}};
    for (const auto& r : refused) {
        EXPECT_EQ(TrovelSetRs485(nullptr, r[0], r[1], r[2]), 0);
        EXPECT_EQ(TrovelLastError(), TROVEL_ERR_ARGUMENT);
    }
}

// Fault caught: a host's element size too small for the name written over its memory.
TEST(PortsInfo, AnElementTooSmallForANameIsRefused)
{
    TrovelPortInfo tiny{};
    tiny.size = 8;
    EXPECT_EQ(TrovelListPortsInfo(&tiny, 1), -1);
}

} // namespace
