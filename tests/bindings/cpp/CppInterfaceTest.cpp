// trovel/trovel.hpp against trovel-sim (controllers 1 and 2 on the device named first): every
// parameter through its setter and getter, a failure as a result and as an exception, the wait
// with progress, settings and trace. Built as C++17 and C++20 and without exceptions.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "trovel/trovel.hpp"

namespace {

int failures = 0;

#define CHECK(condition)                                                                       \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition);      \
            ++failures;                                                                        \
        }                                                                                      \
    } while (0)

using trovel::Cause;
using trovel::Controller;

struct FloatParameter {
    const char* name;
    trovel::Result<void> (Controller::*set)(float) const;
    trovel::Result<float> (Controller::*get)() const;
    float value; // one of its own, so a getter wired to another register reads back the wrong one
};

const FloatParameter kFloats[] = {
    {"MotorSpeed", &Controller::TrySetMotorSpeed, &Controller::TryMotorSpeed, 80.0f},
    {"MotorAcc", &Controller::TrySetMotorAcc, &Controller::TryMotorAcc, 120.0f},
    {"PulseCount", &Controller::TrySetPulseCount, &Controller::TryPulseCount, 2000.0f},
    {"BeginPoint", &Controller::TrySetBeginPoint, &Controller::TryBeginPoint, -5.0f},
    {"EndPoint", &Controller::TrySetEndPoint, &Controller::TryEndPoint, 95.0f},
    {"AutoBeginPoint", &Controller::TrySetAutoBeginPoint, &Controller::TryAutoBeginPoint, 12.5f},
    {"AutoEndPoint", &Controller::TrySetAutoEndPoint, &Controller::TryAutoEndPoint, 87.5f},
    {"Resolution", &Controller::TrySetResolution, &Controller::TryResolution, 0.25f},
    {"Diameter", &Controller::TrySetDiameter, &Controller::TryDiameter, 42.0f},
    {"DelayTime", &Controller::TrySetDelayTime, &Controller::TryDelayTime, 1.5f},
    {"CurrentPoint", &Controller::TrySetCurrentPoint, &Controller::TryCurrentPoint, 33.0f},
};

void Values(const trovel::Line& line)
{
    const Controller screen = line.Controller(1);
    for (const auto& p : kFloats)
        CHECK((screen.*p.set)(p.value).Ok());
    for (const auto& p : kFloats) {
        const auto read = (screen.*p.get)();
        if (!read.Ok() || read.Value() != p.value) {
            std::fprintf(stderr, "%s: wrote %g, read %g (%s)\n", p.name, double(p.value),
                         double(read.ValueOr(-1.0f)), read.Text());
            ++failures;
        }
    }
    CHECK(screen.TrySetWorkMode(trovel::WorkMode::Mode1).Ok());
    CHECK(screen.TrySetMotorDirection(trovel::MotorDirection::Reversed).Ok());
    CHECK(screen.TrySetRemoteFunction(trovel::RemoteFunction::On).Ok());
    CHECK(screen.TrySetFactoryDate("2020-01-15").Ok());
    CHECK(screen.TrySetSwitchState(2, true).Ok());
    CHECK(screen.TryWorkMode().ValueOr(trovel::WorkMode::Unknown) == trovel::WorkMode::Mode1);
    CHECK(screen.TryMotorDirection().ValueOr(trovel::MotorDirection::Normal) == trovel::MotorDirection::Reversed);
    CHECK(screen.TryRemoteFunction().ValueOr(trovel::RemoteFunction::Off) == trovel::RemoteFunction::On);
    CHECK(screen.TryFactoryDate().ValueOr("") == "2020-01-15");
    CHECK((screen.TrySwitchState().ValueOr({}) == std::array<bool, 6>{false, true, false, false, false, false}));

    // Controller 2 as the simulator starts it: at 0, on its left limit.
    const Controller other = line.Controller(2);
    CHECK(other.TrySerial().ValueOr("") == "545256-53494D-202103-150002");
    CHECK(other.TryBiosDate().ValueOr("") == "2020-01-15");
    CHECK(other.TryIoInputState().ValueOr({}).to_string() == "00000001");
    CHECK(other.TryLeftLimit().ValueOr(false) && !other.TryRightLimit().ValueOr(true));
    CHECK(other.TryRunState().ValueOr(trovel::RunState::MovingLeft) == trovel::RunState::Stopped);
    CHECK(other.TryRemoteKeyState().ValueOr(trovel::RemoteKey::Key4) == trovel::RemoteKey::None);
}

void Results(const trovel::Line& line)
{
    const auto absent = line.Controller(9).TryMotorSpeed();
    CHECK(!absent && absent.Cause() == Cause::NoReply && absent.Code() == TROVEL_ERR_NO_REPLY);
    CHECK(line.Controller(1).TrySetMotorSpeed(-1.0f).Cause() == Cause::Argument);
    const auto opened = trovel::Line::Open("/nonexistent/tty");
    CHECK(!opened && opened.Cause() == Cause::NoDevice);
}

#if TROVEL_HPP_EXCEPTIONS
void Exceptions(const trovel::Line& line)
{
    const auto screen = line.Controller(1);
    screen.SetMotorSpeed(60.0f);
    CHECK(screen.MotorSpeed() == 60.0f);
    try {
        (void)line.Controller(9).MotorSpeed();
        CHECK(false); // no exception
    } catch (const trovel::Error& e) {
        CHECK(e.Cause() == Cause::NoReply && e.Address() == 9);
        CHECK(std::string(e.what()) == "controller 9: no reply within the time-out (GetMotorSpeed)");
    }
    try {
        trovel::Line missing{"/nonexistent/tty"};
        CHECK(false); // no exception
    } catch (const trovel::Error& e) {
        CHECK(e.Cause() == Cause::NoDevice);
    }
}
#endif

void Wait(const trovel::Line& line)
{
    const auto screen = line.Controller(2);
    std::vector<float> seen;
    CHECK(screen.TryMoveRight().Ok());
    const auto stopped = screen.TryWaitUntilStopped(
        std::chrono::seconds(20), [&](float at, trovel::RunState) { seen.push_back(at); },
        std::chrono::milliseconds(100));
    CHECK(stopped.ValueOr(false));
    CHECK(seen.size() >= 3 && std::is_sorted(seen.begin(), seen.end()) && seen.back() == 100.0f);
    CHECK(screen.TryRightLimit().ValueOr(false));
}

void SettingsAndTrace(trovel::Line& line)
{
    CHECK(line.TrySetTimeouts(std::chrono::milliseconds(200)).Ok());
    CHECK(line.TrySetRetries(9).Cause() == Cause::Argument);
    // A pseudo-terminal has no RS-485 driver: the cause says so, the line goes on below.
    CHECK(line.TrySetRs485(TROVEL_RS485_RTS_HIGH).Cause() == Cause::Rs485Unsupported);
    // 2^32 + 250 ms must not arrive as 250 ms.
    CHECK(line.TrySetTimeouts(std::chrono::milliseconds((1LL << 32) + 250)).Cause() == Cause::Argument);
    std::vector<int> traced;
    CHECK(line.TrySetTrace([&](const trovel::TraceRecord& r) {
                  traced.push_back(r.request.size > 0 && r.request.data[0] == r.address ? r.address : -1);
              }).Ok());
    (void)line.Controller(2).TrySerial();
    CHECK(line.TrySetTrace({}).Ok());
    (void)line.Controller(2).TrySerial();
    CHECK(traced == std::vector<int>{2});
    CHECK(line.TryStats().ValueOr({}).exchanges > 0);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DEVICE\n", argv[0]);
        return 2;
    }
    auto opened = trovel::Line::Open(argv[1]);
    if (!opened) {
        std::fprintf(stderr, "cannot open %s: %s\n", argv[1], opened.Text());
        return 1;
    }
    trovel::Line line = std::move(opened).Value();
    CHECK(line.TrySetReplyMode(trovel::ReplyMode::Frame).Ok()); // replies end with their frame: a faster run
    Values(line);
    Results(line);
#if TROVEL_HPP_EXCEPTIONS
    Exceptions(line);
#endif
    Wait(line);
    SettingsAndTrace(line);

    // A moved-from line must fail, not fall back to the default line (not open: NotOpen).
    trovel::Line moved = std::move(line);
    CHECK(line.Controller(1).TryMotorSpeed().Cause() == Cause::BadLine); // NOLINT(bugprone-use-after-move)
    CHECK(moved.Controller(1).TryMotorSpeed().Ok());

    std::printf("%s\n", failures == 0 ? "passed" : "FAILED");
    return failures == 0 ? 0 : 1;
}
