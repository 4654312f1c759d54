// The 64-bit DLL against the controller simulator (trovel-sim, one controller at address
// 1) on wine's COM port: whole calls, as a host makes them; and two lines, each on a COM
// port with a simulator of its own.

#include <gtest/gtest.h>

#include <cstdlib>

#include <thread>
#include <vector>

#include "TrovelDll.h"
#include "WineLine.h"
#include "device/Device.h"

namespace trovel::wintest {
namespace {

using test::WithCrc;

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
    EXPECT_GE(ms, kTotalMinMs);
    EXPECT_LE(ms, kTotalMaxMs);
    EXPECT_EQ(speed, -1.0f) << "nothing stored on failure";
}

// What the trace callback saw of one exchange.
struct Traced {
    TrovelLine* line;
    int address;
    Bytes request;
    Bytes reply;
    int elapsedUs;
    int outcome;
};

void TROVEL_CALL Record(void* user, TrovelLine* line, int address, const unsigned char* request, int requestLength,
                        const unsigned char* reply, int replyLength, int elapsedUs, int outcome)
{
    static_cast<std::vector<Traced>*>(user)->push_back(
        {line, address, Bytes(request, request + requestLength), Bytes(reply, reply + replyLength), elapsedUs, outcome});
}

TEST_F(DllWithSimulator, EachThreadLearnsWhyItsLastCallFailedAndTheTraceSeesEveryExchange)
{
    const auto lastError = TROVEL_EXPORT(dll, TrovelLastError, 157);
    const auto errorText = TROVEL_EXPORT(dll, TrovelErrorText, 158);
    const auto setTrace = TROVEL_EXPORT(dll, TrovelSetTrace, 159);
    const auto setReplyMode = TROVEL_EXPORT(dll, TrovelSetReplyMode, 164);
    const auto setMotorSpeed = TROVEL_EXPORT(dll, SetMotorSpeed, 41);
    const auto getMotorSpeed = TROVEL_EXPORT(dll, GetMotorSpeed, 27);
    std::vector<Traced> traced;
    ASSERT_EQ(setTrace(nullptr, &Record, &traced), 1);

    float speed = 0.0f;
    ASSERT_EQ(setMotorSpeed(1, 123.5f), 1);
    EXPECT_EQ(lastError(), TROVEL_OK);
    EXPECT_EQ(getMotorSpeed(2, &speed), 0);
    EXPECT_EQ(lastError(), TROVEL_ERR_NO_REPLY);
    EXPECT_STREQ(errorText(TROVEL_ERR_NO_REPLY), "no reply within the time-out");
    int otherThreads = -1;
    std::thread([&] { otherThreads = getMotorSpeed(1, &speed) == 1 ? lastError() : -2; }).join();
    EXPECT_EQ(otherThreads, TROVEL_OK);
    EXPECT_EQ(lastError(), TROVEL_ERR_NO_REPLY) << "another thread's success leaves this thread's cause";
    ASSERT_EQ(setReplyMode(nullptr, TROVEL_REPLY_FRAME), 1);
    ASSERT_EQ(getMotorSpeed(1, &speed), 1);
    EXPECT_EQ(lastError(), TROVEL_OK);
    ASSERT_EQ(setTrace(nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(getMotorSpeed(1, &speed), 1) << "not traced";

    // Elapsed: the 100 ms gap after a reply, the 250 ms total on silence, 3.5 characters
    // after a complete reply in frame-complete mode.
    struct Expected { int address; Bytes request; Bytes reply; int outcome; int minUs, maxUs; };
    const Bytes read = WithCrc(Hex("01 03 00 64 00 02"));
    const Bytes answer = WithCrc(Hex("01 03 04 00 00 42 F7"));
    const Expected expected[] = {
        {1, WithCrc(Hex("01 10 00 64 00 02 04 00 00 42 F7")), WithCrc(Hex("01 10 00 64 00 02")), TROVEL_OK, 100'000, 200'000},
        {2, WithCrc(Hex("02 03 00 64 00 02")), {}, TROVEL_ERR_NO_REPLY, 245'000, 300'000},
        {1, read, answer, TROVEL_OK, 100'000, 200'000},
        {1, read, answer, TROVEL_OK, 0, 50'000},
    };
    ASSERT_EQ(traced.size(), std::size(expected));
    const auto defaultLine = TROVEL_EXPORT(dll, TrovelDefaultLine, 104)();
    for (std::size_t i = 0; i < traced.size(); ++i) {
        const Traced& t = traced[i];
        EXPECT_EQ(t.line, defaultLine) << i;
        EXPECT_EQ(t.address, expected[i].address) << i;
        EXPECT_EQ(test::ToHex(t.request), test::ToHex(expected[i].request)) << i;
        EXPECT_EQ(test::ToHex(t.reply), test::ToHex(expected[i].reply)) << i;
        EXPECT_EQ(t.outcome, expected[i].outcome) << i;
        EXPECT_GE(t.elapsedUs, expected[i].minUs) << i;
        EXPECT_LE(t.elapsedUs, expected[i].maxUs) << i;
        Report("DLL trace: exchange " + std::to_string(i) + " (outcome " + std::to_string(t.outcome) + ")",
               t.elapsedUs / 1000.0);
    }
}

TEST_F(DllWithSimulator, EveryParameterAndModeWriteReadsBack)
{
    struct Parameter { int (__stdcall* set)(int, float); int (__stdcall* get)(int, float*); float value; };
    const Parameter parameters[] = {
        {TROVEL_EXPORT(dll, SetMotorSpeed, 41), TROVEL_EXPORT(dll, GetMotorSpeed, 27), 33.0f},
        {TROVEL_EXPORT(dll, SetMotorAcc, 42), TROVEL_EXPORT(dll, GetMotorAcc, 28), 66.0f},
        {TROVEL_EXPORT(dll, SetPulseCount, 43), TROVEL_EXPORT(dll, GetPulseCount, 29), 4096.0f},
        {TROVEL_EXPORT(dll, SetBeginPoint, 44), TROVEL_EXPORT(dll, GetBeginPoint, 21), -5.0f},
        {TROVEL_EXPORT(dll, SetEndPoint, 45), TROVEL_EXPORT(dll, GetEndPoint, 22), 150.0f},
        {TROVEL_EXPORT(dll, SetAutoBeginPoint, 46), TROVEL_EXPORT(dll, GetAutoBeginPoint, 23), 20.0f},
        {TROVEL_EXPORT(dll, SetAutoEndPoint, 47), TROVEL_EXPORT(dll, GetAutoEndPoint, 24), 120.0f},
        {TROVEL_EXPORT(dll, SetResolution, 48), TROVEL_EXPORT(dll, GetResolution, 25), 0.05f},
        {TROVEL_EXPORT(dll, SetDiameter, 49), TROVEL_EXPORT(dll, GetDiameter, 26), 42.0f},
        {TROVEL_EXPORT(dll, SetDelayTime, 55), TROVEL_EXPORT(dll, GetDelayTime, 30), 1.5f},
    };
    for (const auto& p : parameters) {
        ASSERT_EQ(p.set(1, p.value), 1);
        float back = 0.0f;
        ASSERT_EQ(p.get(1, &back), 1);
        EXPECT_EQ(back, p.value);
    }
    EXPECT_EQ(TROVEL_EXPORT(dll, SetMotorSpeed, 41)(1, -1.0f), 0) << "a negative speed is refused";

    struct Mode { int (__stdcall* set)(int, int); int (__stdcall* get)(int, int*); };
    const Mode modes[] = {
        {TROVEL_EXPORT(dll, SetWorkMode, 51), TROVEL_EXPORT(dll, GetWorkMode, 8)},
        {TROVEL_EXPORT(dll, SetMotorVeer, 53), TROVEL_EXPORT(dll, GetMotorVeer, 9)},
        {TROVEL_EXPORT(dll, SetRemoteFunction, 54), TROVEL_EXPORT(dll, GetRemoteFunction, 10)},
    };
    for (const auto& m : modes) {
        for (int value : {1, 0}) {
            ASSERT_EQ(m.set(1, value), 1);
            int back = -1;
            ASSERT_EQ(m.get(1, &back), 1);
            EXPECT_EQ(back, value);
        }
    }

    // The defaults order restores the factory speed.
    ASSERT_EQ(TROVEL_EXPORT(dll, SetDefault, 6)(1), 1);
    float speed = 0.0f;
    ASSERT_EQ(TROVEL_EXPORT(dll, GetMotorSpeed, 27)(1, &speed), 1);
    EXPECT_EQ(speed, 50.0f);
}

TEST_F(DllWithSimulator, NewAddressAnswersAndCanBeGivenBack)
{
    const auto setAddress = TROVEL_EXPORT(dll, SetAddress, 52);
    const auto getRunState = TROVEL_EXPORT(dll, GetRunState, 17);
    int state = -1;
    ASSERT_EQ(setAddress(1, 3), 1);
    EXPECT_EQ(getRunState(3, &state), 1);
    EXPECT_EQ(getRunState(1, &state), 0);
    ASSERT_EQ(setAddress(3, 1), 1);
    EXPECT_EQ(getRunState(1, &state), 1);
}

TEST_F(DllWithSimulator, MotionAndSwitches)
{
    const auto setInit = TROVEL_EXPORT(dll, SetInit, 39);
    const auto moveRight = TROVEL_EXPORT(dll, SetMoveRight, 33);
    const auto moveLeft = TROVEL_EXPORT(dll, SetMoveLeft, 32);
    const auto moveStop = TROVEL_EXPORT(dll, SetMoveStop, 35);
    const auto currentPoint = TROVEL_EXPORT(dll, GetCurrentPoint, 31);
    const auto runState = TROVEL_EXPORT(dll, GetRunState, 17);
    const auto leftLimit = TROVEL_EXPORT(dll, GetLeftLimit, 16);
    const auto switchState = TROVEL_EXPORT(dll, GetSwichState, 11);
    const auto inputs = TROVEL_EXPORT(dll, GetIoInputState, 12);

    ASSERT_EQ(setInit(1), 1);
    ASSERT_EQ(moveLeft(1), 1);
    ::Sleep(3000); // back to the begin point at the factory speed
    int limit = -1;
    ASSERT_EQ(leftLimit(1, &limit), 1);
    EXPECT_EQ(limit, 1);
    char text[16] = {};
    char* p = text;
    ASSERT_EQ(inputs(1, &p), 1);
    EXPECT_STREQ(text, "00000001");

    ASSERT_EQ(moveRight(1), 1);
    ::Sleep(600);
    int state = -1;
    ASSERT_EQ(runState(1, &state), 1);
    EXPECT_EQ(state, 2) << "moving right";
    ASSERT_EQ(moveStop(1), 1);
    ::Sleep(800);
    ASSERT_EQ(runState(1, &state), 1);
    EXPECT_EQ(state, 0);
    float position = 0.0f;
    ASSERT_EQ(currentPoint(1, &position), 1);
    EXPECT_GT(position, 5.0f);
    EXPECT_LT(position, 100.0f);

    ASSERT_EQ(TROVEL_EXPORT(dll, SetSwichAllOn, 37)(1), 1);
    ASSERT_EQ(TROVEL_EXPORT(dll, SetSwichState, 38)(1, 2, 0), 1);
    ASSERT_EQ(switchState(1, &p), 1);
    EXPECT_STREQ(text, "101111");
    ASSERT_EQ(setInit(1), 1);
    ASSERT_EQ(switchState(1, &p), 1);
    EXPECT_STREQ(text, "000000");
    ASSERT_EQ(TROVEL_EXPORT(dll, SetSwichAllOff, 36)(1), 1);
}

TEST_F(DllWithSimulator, IdentityDatesAndUtilities)
{
    char text[32] = {};
    char* p = text;
    ASSERT_EQ(TROVEL_EXPORT(dll, GetSerial, 7)(1, &p), 1);
    EXPECT_STREQ(text, "545256-53494D-202103-150001");
    ASSERT_EQ(TROVEL_EXPORT(dll, GetBiosDate, 19)(1, &p), 1);
    EXPECT_STREQ(text, "2020-01-15");
    char date[] = "2025-06-30";
    ASSERT_EQ(TROVEL_EXPORT(dll, SetFactroyDate, 40)(1, date), 1);
    EXPECT_STREQ(date, "20250630");
    ASSERT_EQ(TROVEL_EXPORT(dll, GetFactroyDate, 20)(1, &p), 1);
    EXPECT_STREQ(text, "2025-06-30");
    int key = -1;
    ASSERT_EQ(TROVEL_EXPORT(dll, GetRemoteKeyState, 18)(1, &key), 1);
    EXPECT_EQ(key, 0);
    int extremity = -1;
    ASSERT_EQ(TROVEL_EXPORT(dll, GetRightExtremity, 13)(1, &extremity), 1);
    EXPECT_EQ(extremity, 0);
    ASSERT_EQ(TROVEL_EXPORT(dll, ResetBeginPoint, 50)(1), 1);
    ASSERT_EQ(TROVEL_EXPORT(dll, FixedCurrentPoint, 56)(1, 0.0f), 1);

    char coded[8] = {};
    char* c = coded;
    ASSERT_EQ(TROVEL_EXPORT(dll, StrEncode, 59)("abc", &c, 1), 1);
    EXPECT_STREQ(coded, "bcd");
    ASSERT_EQ(TROVEL_EXPORT(dll, StrDecode, 60)("bcd", &c, 1), 1);
    EXPECT_STREQ(coded, "abc");
}

// Both simulators have a controller 1, so a call that went out on the wrong line would read
// the other line's value.
TEST(DllTwoLines, EachLineDrivesItsOwnControllerAndBothRunAtOnce)
{
    TrovelDll dll;
    ASSERT_TRUE(dll.Loaded()) << "TrovelSdk.dll next to the test program";
    const auto openLine = TROVEL_EXPORT(dll, TrovelOpenLine, 102);
    const auto closeLine = TROVEL_EXPORT(dll, TrovelCloseLine, 103);
    const auto setSpeed = TROVEL_EXPORT(dll, TrovelSetMotorSpeed, 141);
    const auto getSpeed = TROVEL_EXPORT(dll, TrovelGetMotorSpeed, 127);
    // A plain "COMn" (the library adds the device prefix that ports above 9 need), and a
    // full device name.
    TrovelLine* const lines[] = {openLine(("COM" + std::to_string(TestPort())).c_str()),
                                 openLine(device::PortName(SecondTestPort()).c_str())};
    ASSERT_NE(lines[0], nullptr);
    ASSERT_NE(lines[1], nullptr);
    EXPECT_EQ(TROVEL_EXPORT(dll, IsComOpen, 3)(), 0) << "the default line stays closed";
    const float values[] = {11.5f, 22.5f};
    for (int i : {0, 1})
        ASSERT_EQ(setSpeed(lines[i], 1, values[i]), 1) << "line " << i;

    constexpr int kReads = 4;
    const auto readBack = [&](int i) {
        int right = 0;
        for (int k = 0; k < kReads; ++k) {
            float speed = 0.0f;
            right += getSpeed(lines[i], 1, &speed) == 1 && speed == values[i] ? 1 : 0;
        }
        return right;
    };
    const Stopwatch alone;
    EXPECT_EQ(readBack(0), kReads);
    const double aloneMs = alone.Ms();
    int right[2] = {};
    const Stopwatch both;
    std::thread other([&] { right[1] = readBack(1); });
    right[0] = readBack(0);
    other.join();
    const double bothMs = both.Ms();
    Report(std::to_string(kReads) + " reads on one line", aloneMs);
    Report(std::to_string(kReads) + " reads on each of two lines at once", bothMs);
    EXPECT_EQ(right[0], kReads);
    EXPECT_EQ(right[1], kReads);
    EXPECT_LT(bothMs, 1.5 * aloneMs) << "exchanges on two lines do not wait for each other";
    closeLine(lines[0]);
    closeLine(lines[1]);
}

// Winsock under wine against the simulator's loopback ports: a serial device server's RTU
// bytes and a Modbus TCP gateway, each in both reply modes.
TEST(DllOverNetwork, BothFormsDriveTheSimulator)
{
    TrovelDll dll;
    ASSERT_TRUE(dll.Loaded()) << "TrovelSdk.dll next to the test program";
    const auto openLine = TROVEL_EXPORT(dll, TrovelOpenLine, 102);
    const auto closeLine = TROVEL_EXPORT(dll, TrovelCloseLine, 103);
    const auto setMode = TROVEL_EXPORT(dll, TrovelSetReplyMode, 164);
    const auto setSpeed = TROVEL_EXPORT(dll, TrovelSetMotorSpeed, 141);
    const auto getSpeed = TROVEL_EXPORT(dll, TrovelGetMotorSpeed, 127);
    const auto getSerial = TROVEL_EXPORT(dll, TrovelGetSerial, 107);
    const auto lastError = TROVEL_EXPORT(dll, TrovelLastError, 157);
    float value = 1.5f;
    for (const char* variable : {"TROVEL_TEST_RTU_URL", "TROVEL_TEST_MODBUS_URL"}) {
        const char* url = std::getenv(variable);
        ASSERT_NE(url, nullptr) << variable << " names the simulator's port";
        for (int mode : {TROVEL_REPLY_SILENCE, TROVEL_REPLY_FRAME}) {
            SCOPED_TRACE(std::string(url) + (mode == TROVEL_REPLY_FRAME ? " frame" : " silence"));
            TrovelLine* line = openLine(url);
            ASSERT_NE(line, nullptr) << "cause " << lastError();
            ASSERT_EQ(setMode(line, mode), 1);
            value += 1.0f;
            EXPECT_EQ(setSpeed(line, 1, value), 1);
            float speed = 0.0f;
            const Stopwatch watch;
            EXPECT_EQ(getSpeed(line, 1, &speed), 1);
            Report("a read over the network", watch.Ms());
            EXPECT_EQ(speed, value);
            char serial[32] = {};
            char* text = serial;
            EXPECT_EQ(getSerial(line, 1, &text), 1);
            EXPECT_STREQ(serial, "545256-53494D-202103-150001");
            EXPECT_EQ(getSpeed(line, 2, &speed), 0) << "no controller 2 behind the port";
            EXPECT_EQ(lastError(), TROVEL_ERR_NO_REPLY);
            closeLine(line);
        }
    }
}

} // namespace
} // namespace trovel::wintest
