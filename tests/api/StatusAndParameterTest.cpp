// Status and mode reads, motion parameter reads and writes, configuration writes.

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "api/ApiFixture.h"

namespace {

using namespace trovel::test;

using IntRead = int (*)(int, int*);
using FloatRead = int (*)(int, float*);
using FloatWrite = int (*)(int, float);

struct StatusMember { const char* name; IntRead read; std::uint16_t reg; const char* request; };
const StatusMember kStatus[] = {
    {"GetWorkMode", GetWorkMode, 200, "01 03 00 C8 00 01 05 F4"},
    {"GetMotorVeer", GetMotorVeer, 202, "01 03 00 CA 00 01 A4 34"},
    {"GetRemoteFunction", GetRemoteFunction, 206, "01 03 00 CE 00 01 E5 F5"},
    {"GetRunState", GetRunState, 404, "01 03 01 94 00 01 C4 1A"},
    {"GetRemoteKeyState", GetRemoteKeyState, 406, "01 03 01 96 00 01 65 DA"},
};

struct FloatReadMember { const char* name; FloatRead read; std::uint16_t reg; const char* request; };
const FloatReadMember kFloatReads[] = {
    {"GetMotorSpeed", GetMotorSpeed, 100, "01 03 00 64 00 02 85 D4"},
    {"GetMotorAcc", GetMotorAcc, 102, "01 03 00 66 00 02 24 14"},
    {"GetPulseCount", GetPulseCount, 104, "01 03 00 68 00 02 45 D7"},
    {"GetBeginPoint", GetBeginPoint, 106, "01 03 00 6A 00 02 E4 17"},
    {"GetEndPoint", GetEndPoint, 108, "01 03 00 6C 00 02 04 16"},
    {"GetAutoBeginPoint", GetAutoBeginPoint, 110, "01 03 00 6E 00 02 A5 D6"},
    {"GetAutoEndPoint", GetAutoEndPoint, 112, "01 03 00 70 00 02 C5 D0"},
    {"GetResolution", GetResolution, 114, "01 03 00 72 00 02 64 10"},
    {"GetDiameter", GetDiameter, 116, "01 03 00 74 00 02 84 11"},
    {"GetDelayTime", GetDelayTime, 118, "01 03 00 76 00 02 25 D1"},
    {"GetCurrentPoint", GetCurrentPoint, 500, "01 03 01 F4 00 02 84 05"},
};

struct FloatWriteMember { const char* name; FloatWrite write; std::uint16_t reg; bool refusesNegative; };
const FloatWriteMember kFloatWrites[] = {
    {"SetMotorSpeed", SetMotorSpeed, 100, true},         {"SetMotorAcc", SetMotorAcc, 102, true},
    {"SetPulseCount", SetPulseCount, 104, true},         {"SetBeginPoint", SetBeginPoint, 106, false},
    {"SetEndPoint", SetEndPoint, 108, false},            {"SetAutoBeginPoint", SetAutoBeginPoint, 110, false},
    {"SetAutoEndPoint", SetAutoEndPoint, 112, false},    {"SetResolution", SetResolution, 114, true},
    {"SetDiameter", SetDiameter, 116, true},             {"SetDelayTime", SetDelayTime, 118, true},
    {"FixedCurrentPoint", FixedCurrentPoint, 510, false},
};

Bytes WriteMultiple(std::uint8_t address, std::uint16_t reg, float value)
{
    return WriteMultipleRequest(address, reg, std::bit_cast<std::uint32_t>(value));
}

Bytes WriteMultipleReply(std::uint8_t address, std::uint16_t reg)
{
    return WithCrc({address, 0x10, static_cast<std::uint8_t>(reg >> 8), static_cast<std::uint8_t>(reg), 0, 2});
}

std::uint32_t Bits(float f) { return std::bit_cast<std::uint32_t>(f); }

using StatusReads = ApiLine;
using ParameterReads = ApiLine;
using ParameterWrites = ApiLine;
using ConfigurationWrites = ApiLine;

TEST_F(StatusReads, EveryMemberSendsItsRequestAtAddressOneAndAnother)
{
    for (const auto& m : kStatus) {
        SCOPED_TRACE(m.name);
        int out = -7;
        EXPECT_EQ(Exchange(Hex(m.request), ReadReply(1, {1}), [&] { return m.read(1, &out); }), 1);
        EXPECT_EQ(out, 1);
        EXPECT_EQ(Exchange(ReadRequest(9, m.reg, 1), ReadReply(9, {0}), [&] { return m.read(9, &out); }), 1);
        EXPECT_EQ(out, 0);
    }
}

TEST_F(StatusReads, MappingsFoldUnexpectedValues)
{
    struct Case { IntRead read; std::uint16_t reg; std::uint16_t value; int expected; };
    const Case cases[] = {
        {GetWorkMode, 200, 2, -1},        {GetWorkMode, 200, 0xFFFF, -1},     {GetWorkMode, 200, 0, 0},
        {GetMotorVeer, 202, 0x0100, 1},   {GetRemoteFunction, 206, 0x0100, 1}, {GetRemoteFunction, 206, 0, 0},
        {GetRunState, 404, 0xFFFF, 65535}, {GetRunState, 404, 0x8001, 0x8001},
        {GetRemoteKeyState, 406, 4, 4},   {GetRemoteKeyState, 406, 1, 1},     {GetRemoteKeyState, 406, 5, 0},
        {GetRemoteKeyState, 406, 0, 0},   {GetRemoteKeyState, 406, 0xFFFF, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "register " << c.reg << " value " << c.value);
        int out = 12345;
        ASSERT_EQ(Exchange(ReadRequest(1, c.reg, 1), ReadReply(1, {c.value}), [&] { return c.read(1, &out); }), 1);
        EXPECT_EQ(out, c.expected);
    }
}

TEST_F(StatusReads, FailuresLeaveTheOutputUntouched)
{
    int out = 77;
    // A Modbus exception reply is 5 bytes: too short.
    EXPECT_EQ(Exchange(ReadRequest(1, 200, 1), WithCrc({1, 0x83, 2}), [&] { return GetWorkMode(1, &out); }), 0);
    // A corrupted CRC.
    auto bad = ReadReply(1, {1});
    bad.back() ^= 0xFF;
    EXPECT_EQ(Exchange(ReadRequest(1, 200, 1), bad, [&] { return GetWorkMode(1, &out); }), 0);
    EXPECT_EQ(out, 77);
    // Trailing bytes behind a valid reply are accepted.
    auto longer = ReadReply(1, {1});
    longer.insert(longer.end(), {0xAB, 0xCD});
    EXPECT_EQ(Exchange(ReadRequest(1, 200, 1), longer, [&] { return GetWorkMode(1, &out); }), 1);
    EXPECT_EQ(out, 1);
}

TEST_F(ParameterReads, EveryMemberSendsItsRequestAndDecodesTheRegisterPair)
{
    for (const auto& m : kFloatReads) {
        SCOPED_TRACE(m.name);
        float out = 0;
        EXPECT_EQ(Exchange(Hex(m.request), Hex("01 03 04 00 00 3F C0 EB 93"), [&] { return m.read(1, &out); }), 1);
        EXPECT_EQ(out, 1.5f);
        EXPECT_EQ(Exchange(ReadRequest(16, m.reg, 2), ReadReply(16, {0x0000, 0xBF80}), [&] { return m.read(16, &out); }), 1);
        EXPECT_EQ(out, -1.0f);
    }
}

TEST_F(ParameterReads, EveryBitPatternReachesTheHostUnchanged)
{
    for (std::uint32_t bits : {0x7FC00000u, 0x7FA01234u, 0xFFC00001u, 0x7F800000u, 0xFF800000u, 0x80000000u, 0x00000001u}) {
        SCOPED_TRACE(testing::Message() << std::hex << bits);
        float out = 0;
        const auto reply = ReadReply(1, {static_cast<std::uint16_t>(bits & 0xFFFF), static_cast<std::uint16_t>(bits >> 16)});
        ASSERT_EQ(Exchange(ReadRequest(1, 100, 2), reply, [&] { return GetMotorSpeed(1, &out); }), 1);
        EXPECT_EQ(Bits(out), bits);
    }
}

TEST_F(ParameterReads, ReplyOfTheWrongLengthOrCrcIsRefused)
{
    float out = 3.25f;
    // A valid one-register reply is too short for a pair.
    EXPECT_EQ(Exchange(ReadRequest(1, 100, 2), ReadReply(1, {1}), [&] { return GetMotorSpeed(1, &out); }), 0);
    auto bad = Hex("01 03 04 00 00 3F C0 EB 93");
    bad[8] = 0x94;
    EXPECT_EQ(Exchange(ReadRequest(1, 100, 2), bad, [&] { return GetMotorSpeed(1, &out); }), 0);
    EXPECT_EQ(out, 3.25f);
    auto longer = Hex("01 03 04 00 00 3F C0 EB 93 00 00 00");
    EXPECT_EQ(Exchange(ReadRequest(1, 100, 2), longer, [&] { return GetMotorSpeed(1, &out); }), 1);
    EXPECT_EQ(out, 1.5f);
}

TEST_F(ParameterWrites, WorkedRequests)
{
    EXPECT_EQ(Exchange(Hex("01 10 00 64 00 02 04 00 00 3F 80 E4 24"), WriteMultipleReply(1, 100),
                       [] { return SetMotorSpeed(1, 1.0f); }), 1);
    EXPECT_EQ(Exchange(Hex("02 10 00 6A 00 02 04 00 00 C1 48 2B 1A"), WriteMultipleReply(2, 106),
                       [] { return SetBeginPoint(2, -12.5f); }), 1);
    EXPECT_EQ(Exchange(Hex("01 10 01 FE 00 02 04 00 00 00 00 70 F7"), WriteMultipleReply(1, 510),
                       [] { return FixedCurrentPoint(1, 0.0f); }), 1);
    EXPECT_EQ(Exchange(Hex("01 10 00 68 00 02 04 00 00 44 7A 46 C2"), WriteMultipleReply(1, 104),
                       [] { return SetPulseCount(1, 1000.0f); }), 1);
}

TEST_F(ParameterWrites, EveryMemberWritesItsPairAtAddressOneAndAnother)
{
    for (const auto& m : kFloatWrites) {
        SCOPED_TRACE(m.name);
        EXPECT_EQ(Exchange(WriteMultiple(1, m.reg, 2.5f), WriteMultipleReply(1, m.reg), [&] { return m.write(1, 2.5f); }), 1);
        EXPECT_EQ(Exchange(WriteMultiple(12, m.reg, 0.0f), WriteMultipleReply(12, m.reg), [&] { return m.write(12, 0.0f); }), 1);
    }
}

TEST_F(ParameterWrites, SignCheckRefusesOnlyOrderedNegatives)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (const auto& m : kFloatWrites) {
        SCOPED_TRACE(m.name);
        if (m.refusesNegative) {
            EXPECT_EQ(Refused([&] { return m.write(1, -1.0f); }), 0);
            EXPECT_EQ(Refused([&] { return m.write(1, -std::numeric_limits<float>::infinity()); }), 0);
        } else {
            EXPECT_EQ(Exchange(WriteMultiple(1, m.reg, -1.0f), WriteMultipleReply(1, m.reg), [&] { return m.write(1, -1.0f); }), 1);
        }
        // Negative zero keeps its sign bit; NaN goes out bit for bit.
        const Bytes negativeZero = WriteMultiple(1, m.reg, -0.0f);
        EXPECT_EQ(Bytes(negativeZero.begin() + 7, negativeZero.begin() + 11), Hex("00 00 80 00"));
        EXPECT_EQ(Exchange(negativeZero, WriteMultipleReply(1, m.reg), [&] { return m.write(1, -0.0f); }), 1);
        EXPECT_EQ(Exchange(WriteMultiple(1, m.reg, nan), WriteMultipleReply(1, m.reg), [&] { return m.write(1, nan); }), 1);
    }
}

TEST_F(ParameterWrites, OnlyTheReplyNamingTheWrittenPairAcknowledges)
{
    struct Case { Bytes reply; int result; int cause; };
    const Bytes own = WriteMultipleReply(1, 100);
    const Case cases[] = {
        {WriteMultipleReply(5, 100), 0, TROVEL_ERR_MISMATCH},
        {WriteMultipleReply(1, 300), 0, TROVEL_ERR_MISMATCH},
        {Bytes(own.begin(), own.end() - 1), 0, TROVEL_ERR_SHORT_REPLY},
        {Bytes{}, 0, TROVEL_ERR_NO_REPLY},
        {Concat(own, Hex("00")), 1, TROVEL_OK},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Exchange(WriteMultiple(1, 100, 1.0f), c.reply, [] { return SetMotorSpeed(1, 1.0f); }), c.result) << ToHex(c.reply);
        EXPECT_EQ(TrovelLastError(), c.cause) << ToHex(c.reply);
    }
}

TEST_F(ConfigurationWrites, WorkedRequests)
{
    struct Case { const char* request; int (*call)(); };
    const Case cases[] = {
        {"01 06 00 C8 00 01 C9 F4", [] { return SetWorkMode(1, 1); }},
        {"01 06 00 CA 00 00 A9 F4", [] { return SetMotorVeer(1, 0); }},
        {"01 06 00 CE 00 01 29 F5", [] { return SetRemoteFunction(1, 1); }},
        {"01 06 00 DC 00 02 C9 F1", [] { return SetAddress(1, 2); }},
        {"01 06 00 14 00 01 08 0E", [] { return ResetBeginPoint(1); }},
        {"01 06 00 0E 00 01 29 C9", [] { return SetDefault(1); }},
        {"00 06 00 0E 00 01 28 18", [] { return SetDefault(0); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        // The echo of function 6 repeats the request.
        EXPECT_EQ(Exchange(Hex(c.request), Hex(c.request), c.call), 1);
    }
}

TEST_F(ConfigurationWrites, EveryMemberAtAnotherAddress)
{
    struct Case { std::uint16_t reg; std::uint16_t value; int (*call)(); };
    const Case cases[] = {
        {200, 0, [] { return SetWorkMode(11, 0); }},      {202, 1, [] { return SetMotorVeer(11, 1); }},
        {206, 0, [] { return SetRemoteFunction(11, 0); }}, {220, 16, [] { return SetAddress(11, 16); }},
        {220, 11, [] { return SetAddress(11, 11); }},      {20, 1, [] { return ResetBeginPoint(11); }},
        {14, 1, [] { return SetDefault(11); }},
    };
    for (const auto& c : cases) {
        const Bytes request = WriteSingleRequest(11, c.reg, c.value);
        EXPECT_EQ(Exchange(request, request, c.call), 1) << c.reg;
    }
}

TEST_F(ConfigurationWrites, AddressChangeIsAcknowledgedUnderTheNewAddress)
{
    EXPECT_EQ(Exchange(Hex("01 06 00 DC 00 02 C9 F1"), WithCrc({2, 6, 0, 0xDC, 0, 2}), [] { return SetAddress(1, 2); }), 1);
    // An echo of another register is no acknowledgement.
    EXPECT_EQ(Exchange(Hex("01 06 00 C8 00 01 C9 F4"), WithCrc({1, 6, 0, 0x99, 0, 7}), [] { return SetWorkMode(1, 1); }), 0);
    EXPECT_EQ(TrovelLastError(), TROVEL_ERR_MISMATCH);
}

class Refusals : public ApiLine {};

TEST_F(Refusals, BadAddressesAndArgumentsSendNothing)
{
    int i = 5;
    float f = 5;
    for (int address : {0, 17, -1}) {
        SCOPED_TRACE(address);
        for (const auto& m : kStatus)
            EXPECT_EQ(Refused([&] { return m.read(address, &i); }), 0);
        for (const auto& m : kFloatReads)
            EXPECT_EQ(Refused([&] { return m.read(address, &f); }), 0);
        for (const auto& m : kFloatWrites)
            EXPECT_EQ(Refused([&] { return m.write(address, 1.0f); }), 0);
        EXPECT_EQ(Refused([&] { return SetWorkMode(address, 1); }), 0);
        EXPECT_EQ(Refused([&] { return SetMotorVeer(address, 1); }), 0);
        EXPECT_EQ(Refused([&] { return SetRemoteFunction(address, 1); }), 0);
        EXPECT_EQ(Refused([&] { return SetAddress(address, 2); }), 0);
        EXPECT_EQ(Refused([&] { return ResetBeginPoint(address); }), 0);
    }
    EXPECT_EQ(Refused([] { return SetDefault(17); }), 0);
    EXPECT_EQ(Refused([] { return SetDefault(-1); }), 0);
    EXPECT_EQ(i, 5);
    EXPECT_EQ(f, 5);
    for (int mode : {2, -1, 256}) {
        EXPECT_EQ(Refused([&] { return SetWorkMode(1, mode); }), 0);
        EXPECT_EQ(Refused([&] { return SetMotorVeer(1, mode); }), 0);
        EXPECT_EQ(Refused([&] { return SetRemoteFunction(1, mode); }), 0);
    }
    for (int newAddress : {0, 17, -1})
        EXPECT_EQ(Refused([&] { return SetAddress(1, newAddress); }), 0);
    EXPECT_EQ(Refused([] { return SetMotorSpeed(1, -0.5f); }), 0);
}

TEST_F(Refusals, NullOutputPointersSendNothing)
{
    for (const auto& m : kStatus)
        EXPECT_EQ(Refused([&] { return m.read(1, nullptr); }), 0) << m.name;
    for (const auto& m : kFloatReads)
        EXPECT_EQ(Refused([&] { return m.read(1, nullptr); }), 0) << m.name;
}

TEST_F(Refusals, ClosedPortSendsNothing)
{
    CloseCom();
    int i = 5;
    float f = 5;
    EXPECT_EQ(Refused([&] { return GetWorkMode(1, &i); }), 0);
    EXPECT_EQ(Refused([&] { return GetMotorSpeed(1, &f); }), 0);
    EXPECT_EQ(Refused([] { return SetMotorSpeed(1, 1.0f); }), 0);
    EXPECT_EQ(Refused([] { return SetDefault(0); }), 0);
    EXPECT_EQ(Refused([] { return SetAddress(1, 2); }), 0);
    EXPECT_EQ(i, 5);
    EXPECT_EQ(f, 5);
}

} // namespace
