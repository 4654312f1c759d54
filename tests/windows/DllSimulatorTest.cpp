// The 64-bit DLL against the controller simulator (trovel-sim, one controller at address
// 1) on wine's COM port: whole calls, as a host makes them.

#include <gtest/gtest.h>

#include "TrovelDll.h"
#include "WineLine.h"

namespace trovel::wintest {
namespace {

class DllWithSimulator : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dll.Loaded()) << "TrovelSdk.dll next to the test program";
        const auto openCom = TROVEL_EXPORT(dll, OpenCom, 4);
        ASSERT_NE(openCom, nullptr);
        ASSERT_EQ(openCom(TestPort()), 1);
    }

    TrovelDll dll;
};

TEST_F(DllWithSimulator, AWrittenMotorSpeedReadsBack)
{
    const auto setMotorSpeed = TROVEL_EXPORT(dll, SetMotorSpeed, 41);
    const auto getMotorSpeed = TROVEL_EXPORT(dll, GetMotorSpeed, 27);
    ASSERT_NE(setMotorSpeed, nullptr);
    ASSERT_NE(getMotorSpeed, nullptr);

    EXPECT_EQ(setMotorSpeed(1, 123.5f), 1);
    float speed = 0.0f;
    EXPECT_EQ(getMotorSpeed(1, &speed), 1);
    EXPECT_EQ(speed, 123.5f);
}

TEST_F(DllWithSimulator, AnAbsentControllerFailsAfterTheTotalTimeout)
{
    const auto getMotorSpeed = TROVEL_EXPORT(dll, GetMotorSpeed, 27);
    ASSERT_NE(getMotorSpeed, nullptr);
    float speed = -1.0f;
    const Stopwatch watch;
    EXPECT_EQ(getMotorSpeed(2, &speed), 0);
    const double ms = watch.Ms();
    Report("GetMotorSpeed from an absent controller", ms);
    EXPECT_GE(ms, kTotalTimeoutMinMs);
    EXPECT_LE(ms, kTotalTimeoutMaxMs);
    EXPECT_EQ(speed, -1.0f) << "nothing stored on failure";
}

} // namespace
} // namespace trovel::wintest
