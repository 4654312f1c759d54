// Motion of a simulated controller under a hand-moved clock: no test here sleeps.

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <chrono>
#include <cmath>

#include "modbus/RegisterMap.h"
#include "sim/Controller.h"

namespace {

using namespace trovel::sim;
namespace reg = trovel::reg;
using std::chrono::milliseconds;

constexpr double kTight = 1e-6;

void Command(Controller& c, std::uint16_t value)
{
    ASSERT_EQ(c.Write(reg::MotionCommand, std::span(&value, 1)), Exception::None);
}

void AdvanceSeconds(Controller& c, double seconds)
{
    c.Advance(std::chrono::duration_cast<Duration>(Seconds(seconds)));
}

bool RightLimit(const Controller& c) { return (c.Inputs() & reg::input::RightLimit) != 0; }
bool LeftLimit(const Controller& c) { return (c.Inputs() & reg::input::LeftLimit) != 0; }

// Factory settings: speed 50, acceleration 100, begin 0, end 100. Accelerating to 50 takes
// 0.5 s and 12.5 units, braking the same, so 0 to 100 takes 0.5 + 75 / 50 + 0.5 = 2.5 s.
TEST(SimMotion, MoveRightFollowsTheTrapezoidAndStopsOnTheEndPoint)
{
    Controller c(1);
    ASSERT_TRUE(LeftLimit(c)); // it leaves the factory standing on its begin point
    Command(c, reg::motion::Right);
    EXPECT_EQ(c.RunState(), run::Right);

    AdvanceSeconds(c, 0.5);
    EXPECT_NEAR(c.Position(), 12.5, kTight);
    EXPECT_NEAR(c.Velocity(), 50.0, kTight);
    EXPECT_FALSE(LeftLimit(c));

    AdvanceSeconds(c, 1.5);
    EXPECT_NEAR(c.Position(), 87.5, kTight);
    AdvanceSeconds(c, 0.4);
    EXPECT_NEAR(c.Position(), 100.0 - 0.5 * 100.0 * 0.1 * 0.1, kTight);
    EXPECT_EQ(c.RunState(), run::Right);
    EXPECT_FALSE(RightLimit(c));

    AdvanceSeconds(c, 0.098);
    EXPECT_EQ(c.RunState(), run::Right);
    AdvanceSeconds(c, 0.004); // 2.502 s: arrived
    EXPECT_DOUBLE_EQ(c.Position(), 100.0);
    EXPECT_EQ(c.RunState(), run::Stopped);
    EXPECT_TRUE(RightLimit(c));
    EXPECT_EQ(c.Float(reg::CurrentPoint), 100.0f);

    AdvanceSeconds(c, 10.0);
    EXPECT_DOUBLE_EQ(c.Position(), 100.0);
    EXPECT_EQ(c.RunState(), run::Stopped);
}

TEST(SimMotion, ResultDoesNotDependOnHowTimeIsSliced)
{
    Controller once(1);
    Controller sliced(1);
    Command(once, reg::motion::Right);
    Command(sliced, reg::motion::Right);
    AdvanceSeconds(once, 2.2);
    for (int i = 0; i < 2200; ++i)
        sliced.Advance(milliseconds(1));
    EXPECT_NEAR(once.Position(), sliced.Position(), 1e-6);
    EXPECT_NEAR(once.Velocity(), sliced.Velocity(), 1e-6);
}

TEST(SimMotion, ShortMoveNeverReachesMotorSpeed)
{
    Controller c(1);
    c.SetFloat(reg::EndPoint, 10.0f);
    Command(c, reg::motion::Right);
    // Halfway at 5 units after sqrt(2 * 5 / 100) s, then as long again to brake.
    const double half = std::sqrt(0.1);
    AdvanceSeconds(c, half);
    EXPECT_NEAR(c.Position(), 5.0, kTight);
    EXPECT_NEAR(c.Velocity(), 100.0 * half, kTight);
    AdvanceSeconds(c, half - 0.001);
    EXPECT_EQ(c.RunState(), run::Right);
    AdvanceSeconds(c, 0.002);
    EXPECT_DOUBLE_EQ(c.Position(), 10.0);
    EXPECT_EQ(c.RunState(), run::Stopped);
}

TEST(SimMotion, ZeroAccelerationMeansInstantSpeed)
{
    Controller c(1);
    c.SetFloat(reg::MotorAcc, 0.0f);
    Command(c, reg::motion::Right);
    AdvanceSeconds(c, 1.0);
    EXPECT_NEAR(c.Position(), 50.0, kTight);
    AdvanceSeconds(c, 1.001);
    EXPECT_DOUBLE_EQ(c.Position(), 100.0);
    EXPECT_TRUE(RightLimit(c));
}

TEST(SimMotion, StopBrakesToAHaltMidway)
{
    Controller c(1);
    Command(c, reg::motion::Right);
    AdvanceSeconds(c, 1.0); // at 37.5, full speed
    Command(c, reg::motion::Stop);
    EXPECT_EQ(c.RunState(), run::Right); // still rolling while it brakes
    AdvanceSeconds(c, 0.5);
    EXPECT_NEAR(c.Position(), 50.0, kTight);
    EXPECT_EQ(c.RunState(), run::Stopped);
    AdvanceSeconds(c, 5.0);
    EXPECT_NEAR(c.Position(), 50.0, kTight);
    EXPECT_EQ(c.Inputs() & (reg::input::LeftLimit | reg::input::RightLimit), 0);
}

TEST(SimMotion, ReversingBrakesFirstThenRunsToTheBeginPoint)
{
    Controller c(1);
    Command(c, reg::motion::Right);
    AdvanceSeconds(c, 1.0);
    Command(c, reg::motion::Left);
    EXPECT_EQ(c.RunState(), run::Right);
    AdvanceSeconds(c, 0.5); // braked to rest at 50
    EXPECT_NEAR(c.Position(), 50.0, kTight);
    EXPECT_EQ(c.RunState(), run::Left);
    AdvanceSeconds(c, 1.501); // 50 back to 0: 0.5 + 25 / 50 + 0.5
    EXPECT_DOUBLE_EQ(c.Position(), 0.0);
    EXPECT_EQ(c.RunState(), run::Stopped);
    EXPECT_TRUE(LeftLimit(c));
}

TEST(SimMotion, MovesTowardsAMadeLimitOrWithoutSpeedDoNothing)
{
    Controller c(1);
    Command(c, reg::motion::Left); // already on the begin point
    EXPECT_EQ(c.RunState(), run::Stopped);
    AdvanceSeconds(c, 1.0);
    EXPECT_DOUBLE_EQ(c.Position(), 0.0);

    c.SetFloat(reg::MotorSpeed, 0.0f);
    Command(c, reg::motion::Right);
    EXPECT_EQ(c.RunState(), run::Stopped);
    AdvanceSeconds(c, 1.0);
    EXPECT_DOUBLE_EQ(c.Position(), 0.0);
}

// Automatic run between 10 and 90 with a 2 s pause: 0 to 90 takes 0.5 + 65 / 50 + 0.5 = 2.3 s,
// 90 to 10 takes 0.5 + 55 / 50 + 0.5 = 2.1 s.
TEST(SimMotion, AutomaticRunPausesAtEachEndAndReverses)
{
    Controller c(1);
    Command(c, reg::motion::Auto);
    EXPECT_EQ(c.RunState(), run::Auto | run::Right);

    AdvanceSeconds(c, 2.31);
    EXPECT_NEAR(c.Position(), 90.0, kTight);
    EXPECT_EQ(c.RunState(), run::Auto); // pausing
    AdvanceSeconds(c, 1.89);
    EXPECT_NEAR(c.Position(), 90.0, kTight);
    EXPECT_EQ(c.RunState(), run::Auto);

    AdvanceSeconds(c, 0.2); // 0.1 s into the run back
    EXPECT_EQ(c.RunState(), run::Auto | run::Left);
    EXPECT_NEAR(c.Position(), 90.0 - 0.5 * 100.0 * 0.1 * 0.1, kTight);

    AdvanceSeconds(c, 2.01); // arrived at 10 0.01 s ago
    EXPECT_NEAR(c.Position(), 10.0, kTight);
    EXPECT_EQ(c.RunState(), run::Auto);
    AdvanceSeconds(c, 2.5);
    EXPECT_EQ(c.RunState(), run::Auto | run::Right);
    EXPECT_GT(c.Position(), 10.0);

    Command(c, reg::motion::Stop);
    AdvanceSeconds(c, 1.0);
    EXPECT_EQ(c.RunState(), run::Stopped);
}

TEST(SimMotion, PositionIsACountThatRecalibrationAndResetMoveButNotTheScreen)
{
    Controller c(1);
    Command(c, reg::motion::Right);
    AdvanceSeconds(c, 1.0);
    Command(c, reg::motion::Stop);
    AdvanceSeconds(c, 1.0); // at rest on 50

    const std::uint16_t one = 1;
    ASSERT_EQ(c.Write(reg::ResetBeginOrder, std::span(&one, 1)), Exception::None);
    EXPECT_EQ(c.Float(reg::BeginPoint), 50.0f);
    EXPECT_NEAR(c.Position(), 50.0, kTight);
    EXPECT_TRUE(LeftLimit(c));

    // The controller now believes it stands at 250, beyond its end point.
    const auto bits = std::bit_cast<std::uint32_t>(250.0f);
    const std::array<std::uint16_t, 2> pair{static_cast<std::uint16_t>(bits), static_cast<std::uint16_t>(bits >> 16)};
    ASSERT_EQ(c.Write(reg::FixedCurrentPoint, pair), Exception::None);
    EXPECT_EQ(c.Float(reg::CurrentPoint), 250.0f);
    EXPECT_EQ(c.Inputs() & 0x0F, reg::input::RightLimit | reg::input::RightExtremity);

    // A move left from there runs the count down to the begin point.
    Command(c, reg::motion::Left);
    AdvanceSeconds(c, 60.0);
    EXPECT_DOUBLE_EQ(c.Position(), 50.0);
}

} // namespace
