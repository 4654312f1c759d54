// The exports against the controller simulator: what a host sees of real behaviour —
// writes that read back, address changes, motion, outputs and inputs, identity.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>

#include "TrovelSdk.h"
#include "sim/Line.h"
#include "sim/Server.h"

namespace {

using namespace std::chrono_literals;
using trovel::sim::Controller;
using trovel::sim::Line;
using trovel::sim::ManualClock;
using trovel::sim::Server;

class AgainstSimulator : public ::testing::Test {
protected:
    void SetUp() override
    {
        server.Start();
        ASSERT_EQ(OpenComDevice(server.DevicePath().c_str()), 1);
    }
    void TearDown() override
    {
        CloseCom();
        server.Stop();
    }

    std::string Text(int (*read)(int, char**), int address)
    {
        std::array<char, 32> buffer{};
        char* p = buffer.data();
        return read(address, &p) == 1 ? std::string(buffer.data()) : std::string("<failed>");
    }

    float Float(int (*read)(int, float*), int address)
    {
        float value = NAN;
        EXPECT_EQ(read(address, &value), 1);
        return value;
    }

    int Int(int (*read)(int, int*), int address)
    {
        int value = -99;
        EXPECT_EQ(read(address, &value), 1);
        return value;
    }

    ManualClock clock;
    Line line{{1, 2}, clock};
    Server server{line};
};

TEST_F(AgainstSimulator, EveryParameterWriteReadsBack)
{
    struct Pair { int (*set)(int, float); int (*get)(int, float*); float value; };
    const Pair pairs[] = {
        {SetMotorSpeed, GetMotorSpeed, 12.5f},       {SetMotorAcc, GetMotorAcc, 40.0f},
        {SetPulseCount, GetPulseCount, 2000.0f},     {SetBeginPoint, GetBeginPoint, -20.0f},
        {SetEndPoint, GetEndPoint, 250.0f},          {SetAutoBeginPoint, GetAutoBeginPoint, 5.0f},
        {SetAutoEndPoint, GetAutoEndPoint, 200.0f},  {SetResolution, GetResolution, 0.01f},
        {SetDiameter, GetDiameter, 55.5f},           {SetDelayTime, GetDelayTime, 0.25f},
    };
    for (const auto& p : pairs) {
        ASSERT_EQ(p.set(2, p.value), 1);
        EXPECT_EQ(Float(p.get, 2), p.value);
    }
    // The other controller kept its own values.
    EXPECT_EQ(Float(GetMotorSpeed, 1), 50.0f);

    // The fixed current point becomes the position the controller reports.
    ASSERT_EQ(FixedCurrentPoint(2, 42.0f), 1);
    EXPECT_EQ(Float(GetCurrentPoint, 2), 42.0f);
}

TEST_F(AgainstSimulator, ModesReadBackAndDefaultsRestoreThem)
{
    ASSERT_EQ(SetWorkMode(1, 1), 1);
    ASSERT_EQ(SetMotorVeer(1, 1), 1);
    ASSERT_EQ(SetRemoteFunction(1, 1), 1);
    ASSERT_EQ(SetMotorSpeed(1, 7.0f), 1);
    EXPECT_EQ(Int(GetWorkMode, 1), 1);
    EXPECT_EQ(Int(GetMotorVeer, 1), 1);
    EXPECT_EQ(Int(GetRemoteFunction, 1), 1);
    ASSERT_EQ(SetDefault(1), 1);
    EXPECT_EQ(Int(GetWorkMode, 1), 0);
    EXPECT_EQ(Float(GetMotorSpeed, 1), 50.0f);

    // A broadcast is executed by every controller and answered by none.
    ASSERT_EQ(SetMotorSpeed(2, 9.0f), 1);
    EXPECT_EQ(SetDefault(0), 0);
    EXPECT_EQ(Float(GetMotorSpeed, 2), 50.0f);
}

TEST_F(AgainstSimulator, NewAddressAnswersFromTheNextRequestOn)
{
    ASSERT_EQ(SetAddress(1, 5), 1);
    int mode = -1;
    EXPECT_EQ(GetWorkMode(1, &mode), 0) << "nobody answers the old address";
    EXPECT_EQ(GetWorkMode(5, &mode), 1);
    EXPECT_EQ(SetMotorSpeed(5, 3.0f), 1);
    EXPECT_EQ(Float(GetMotorSpeed, 5), 3.0f);
}

TEST_F(AgainstSimulator, MoveRightThenStopChangesPositionAndRunState)
{
    ASSERT_EQ(SetMoveRight(1), 1);
    clock.Advance(1s);
    const float moving = Float(GetCurrentPoint, 1);
    EXPECT_GT(moving, 10.0f);
    EXPECT_LT(moving, 100.0f);
    EXPECT_EQ(Int(GetRunState, 1), 2) << "moving right";
    ASSERT_EQ(SetMoveStop(1), 1);
    clock.Advance(2s);
    EXPECT_EQ(Int(GetRunState, 1), 0);
    const float stopped = Float(GetCurrentPoint, 1);
    EXPECT_GT(stopped, moving);
    clock.Advance(1s);
    EXPECT_EQ(Float(GetCurrentPoint, 1), stopped);
    EXPECT_EQ(Int(GetRightLimit, 1), 0);
}

TEST_F(AgainstSimulator, LimitInputsShowOnArrival)
{
    EXPECT_EQ(Int(GetLeftLimit, 1), 1) << "the screen starts at the begin point";
    ASSERT_EQ(SetMoveRight(1), 1);
    clock.Advance(5s);
    EXPECT_EQ(Float(GetCurrentPoint, 1), 100.0f);
    EXPECT_EQ(Int(GetRightLimit, 1), 1);
    EXPECT_EQ(Int(GetLeftLimit, 1), 0);
    EXPECT_EQ(Int(GetRightExtremity, 1), 0);
    EXPECT_EQ(Int(GetRunState, 1), 0);
    EXPECT_EQ(Text(GetIoInputState, 1), "00000010");

    ASSERT_EQ(SetMoveLeft(1), 1);
    clock.Advance(5s);
    EXPECT_EQ(Int(GetLeftLimit, 1), 1);
    EXPECT_EQ(Text(GetIoInputState, 1), "00000001");
}

TEST_F(AgainstSimulator, SwitchesAndInit)
{
    ASSERT_EQ(SetSwichAllOn(1), 1);
    EXPECT_EQ(Text(GetSwichState, 1), "111111");
    ASSERT_EQ(SetSwichState(1, 3, 0), 1);
    EXPECT_EQ(Text(GetSwichState, 1), "110111");
    ASSERT_EQ(SetSwichState(1, 6, 0), 1);
    EXPECT_EQ(Text(GetSwichState, 1), "110110");
    ASSERT_EQ(SetSwichAllOff(1), 1);
    ASSERT_EQ(SetSwichState(1, 1, 7), 1);
    EXPECT_EQ(Text(GetSwichState, 1), "100000");

    ASSERT_EQ(SetSwichAllOn(1), 1);
    ASSERT_EQ(SetMoveRight(1), 1);
    clock.Advance(500ms);
    ASSERT_EQ(SetInit(1), 1);
    clock.Advance(2s);
    EXPECT_EQ(Int(GetRunState, 1), 0);
    EXPECT_EQ(Text(GetSwichState, 1), "000000");
    const float position = Float(GetCurrentPoint, 1);
    EXPECT_GT(position, 0.0f);
    EXPECT_LT(position, 100.0f) << "stopped before the end point";
}

TEST_F(AgainstSimulator, ALateReplyNeverSwitchesAnOutputTheHostDidNotName)
{
    ASSERT_EQ(SetSwichAllOn(2), 1);
    server.Faults().Once({trovel::sim::FaultKind::Late, 300});
    int state = -1;
    EXPECT_EQ(GetRunState(1, &state), 0);
    // Controller 1's run state arrives 300 ms after its request, inside the read of the
    // switch state; taken for controller 2's outputs it would switch five of them off.
    EXPECT_EQ(SetSwichState(2, 1, 1), 0);
    EXPECT_EQ(TrovelLastError(), TROVEL_ERR_TWO_FRAMES);
    EXPECT_EQ(Text(GetSwichState, 2), "111111");
}

TEST_F(AgainstSimulator, IdentityAndFactoryDate)
{
    EXPECT_EQ(Text(GetSerial, 2), "545256-53494D-202103-150002");
    EXPECT_EQ(Text(GetBiosDate, 1), "2020-01-15");
    EXPECT_EQ(Text(GetFactroyDate, 1), "2021-03-15");
    char date[] = "2024-11-30";
    ASSERT_EQ(SetFactroyDate(1, date), 1);
    EXPECT_STREQ(date, "20241130");
    EXPECT_EQ(Text(GetFactroyDate, 1), "2024-11-30");
    char early[] = "2001-01-01";
    ASSERT_EQ(SetFactroyDate(1, early), 1);
    EXPECT_EQ(Text(GetFactroyDate, 1), "2019-09-24") << "outside the window reads as the earliest date";
}

TEST_F(AgainstSimulator, ResetBeginPointTeachesThePresentPosition)
{
    ASSERT_EQ(SetMoveRight(1), 1);
    clock.Advance(5s);
    ASSERT_EQ(ResetBeginPoint(1), 1);
    EXPECT_EQ(Float(GetBeginPoint, 1), 100.0f);
    EXPECT_EQ(Int(GetLeftLimit, 1), 1);
}

} // namespace
