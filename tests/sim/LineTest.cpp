// The line of controllers as a Modbus master sees it, frame in, frame out (no pseudo-terminal).

#include <gtest/gtest.h>

#include <bit>

#include "modbus/Frame.h"
#include "modbus/Reply.h"
#include "modbus/RegisterMap.h"
#include "sim/Line.h"
#include "support/PtyPeer.h"

namespace {

using namespace trovel::sim;
using trovel::modbus::JudgeReply;
using trovel::modbus::Judgement;
using trovel::modbus::ReplyRule;
using trovel::test::Hex;
using trovel::test::ToHex;
namespace reg = trovel::reg;

Bytes Frame(std::initializer_list<std::uint8_t> body)
{
    Bytes f(body);
    f.resize(f.size() + 2);
    trovel::modbus::AppendCrc(f);
    return f;
}

Bytes Ask(Line& line, const Bytes& request)
{
    const auto reply = line.Respond(request);
    EXPECT_TRUE(reply.has_value()) << "no answer to " << ToHex(request);
    return reply.value_or(Bytes{});
}

struct Worked {
    const char* request;
    std::size_t expectedLength; // what the library's reply acceptance asks for
};

// Every request the library's worked examples put on the line, in an order that keeps the
// controllers at addresses 1 and 2 (the address change comes last, in its own test).
constexpr Worked kWorkedRequests[] = {
    {"01 03 00 C8 00 01 05 F4", 7},  {"01 03 00 CA 00 01 A4 34", 7},  {"01 03 00 CE 00 01 E5 F5", 7},
    {"01 03 01 94 00 01 C4 1A", 7},  {"01 03 01 96 00 01 65 DA", 7},  {"01 03 00 64 00 02 85 D4", 9},
    {"01 03 00 66 00 02 24 14", 9},  {"01 03 00 68 00 02 45 D7", 9},  {"01 03 00 6A 00 02 E4 17", 9},
    {"01 03 00 6C 00 02 04 16", 9},  {"01 03 00 6E 00 02 A5 D6", 9},  {"01 03 00 70 00 02 C5 D0", 9},
    {"01 03 00 72 00 02 64 10", 9},  {"01 03 00 74 00 02 84 11", 9},  {"01 03 00 76 00 02 25 D1", 9},
    {"01 03 01 F4 00 02 84 05", 9},  {"01 03 02 BC 00 06 05 94", 17}, {"01 03 02 60 00 02 C5 AD", 9},
    {"01 03 01 2C 00 02 04 3E", 9},  {"01 03 01 92 00 01 24 1B", 7},  {"01 03 01 90 00 01 85 DB", 7},
    {"01 10 01 2C 00 02 04 3A B3 01 34 01 0A", 8},
    {"01 10 00 64 00 02 04 00 00 3F C0 E5 D4", 8},
    {"01 10 00 64 00 02 04 00 00 3F 80 E4 24", 8},
    {"02 10 00 6A 00 02 04 00 00 C1 48 2B 1A", 8},
    {"01 10 01 FE 00 02 04 00 00 00 00 70 F7", 8},
    {"01 06 00 C8 00 01 C9 F4", 8},  {"01 06 00 CA 00 00 A9 F4", 8},  {"01 06 00 CE 00 01 29 F5", 8},
    {"01 06 00 14 00 01 08 0E", 8},  {"01 06 00 0E 00 01 29 C9", 8},  {"01 06 00 0A 00 08 A8 0E", 8},
    {"01 06 00 0A 00 10 A8 04", 8},  {"01 06 00 0A 00 20 A8 10", 8},  {"01 06 00 0A 00 40 A8 38", 8},
    {"01 06 00 0C 00 00 49 C9", 8},  {"01 06 00 0C 00 3F 09 D9", 8},  {"01 06 00 0C 00 3E C8 19", 8},
};

TEST(SimLine, AnswersEveryWorkedRequestWithAReplyTheLibraryAccepts)
{
    Line line({1, 2});
    for (const auto& w : kWorkedRequests) {
        const Bytes request = Hex(w.request);
        const Bytes reply = Ask(line, request);
        EXPECT_EQ(reply.size(), w.expectedLength) << w.request;
        EXPECT_EQ(JudgeReply(ReplyRule(request), reply, true).judgement, Judgement::Accepted) << w.request << " -> " << ToHex(reply);
        ASSERT_GE(reply.size(), 3u);
        EXPECT_EQ(reply[0], request[0]);
        EXPECT_EQ(reply[1], request[1]) << "an exception instead of an answer to " << w.request;
        if (request[1] == 0x06) {
            EXPECT_EQ(reply, request) << "a write-single reply echoes its request";
        }
    }
}

TEST(SimLine, WritesReadBackAsTheWorkedRepliesShow)
{
    Line line({1});
    EXPECT_EQ(Ask(line, Hex("01 10 00 64 00 02 04 00 00 3F C0 E5 D4")), Hex("01 10 00 64 00 02 00 17"));
    EXPECT_EQ(Ask(line, Hex("01 03 00 64 00 02 85 D4")), Hex("01 03 04 00 00 3F C0 EB 93")); // 1.5

    EXPECT_EQ(Ask(line, Hex("01 06 00 C8 00 01 C9 F4")), Hex("01 06 00 C8 00 01 C9 F4"));
    EXPECT_EQ(Ask(line, Hex("01 03 00 C8 00 01 05 F4")), Hex("01 03 02 00 01 79 84"));

    // Factory date 20190925 by register-pair placement, and the switch status once every output is on.
    Ask(line, Frame({1, 0x10, 0x01, 0x2C, 0, 2, 4, 0x16, 0xCD, 0x01, 0x34}));
    EXPECT_EQ(Ask(line, Hex("01 03 01 2C 00 02 04 3E")), Hex("01 03 04 16 CD 01 34 6F C3"));
    Ask(line, Hex("01 06 00 0C 00 3F 09 D9"));
    EXPECT_EQ(Ask(line, Hex("01 03 01 92 00 01 24 1B")), Hex("01 03 02 0F C0 BD E4"));

    // Bit patterns pass unchanged, NaN payloads and negative zero included.
    for (const std::uint32_t bits : {0x7FC00001u, 0x80000000u, 0xBF800000u}) {
        const auto w = trovel::modbus::BuildWriteMultiple(1, reg::BeginPoint, bits);
        Ask(line, Bytes(w.begin(), w.end()));
        const Bytes r = Ask(line, Frame({1, 3, 0, reg::BeginPoint, 0, 2}));
        EXPECT_EQ(trovel::modbus::AssemblePair(std::span<const std::uint8_t, 4>(r.data() + 3, 4)), bits);
    }
}

TEST(SimLine, SetAddressEchoesUnderTheOldAddressAndAnswersUnderTheNew)
{
    Line line({1});
    EXPECT_EQ(Ask(line, Hex("01 06 00 DC 00 02 C9 F1")), Hex("01 06 00 DC 00 02 C9 F1"));
    EXPECT_FALSE(line.Respond(Hex("01 03 00 64 00 02 85 D4")));
    const Bytes reply = Ask(line, Frame({2, 3, 0, 100, 0, 2}));
    EXPECT_EQ(reply[0], 2);
    EXPECT_EQ(line.With(2, [](Controller& c) { return c.Register(reg::DeviceAddress); }), 2);

    // 0 and 17 are not addresses: refused, and the controller keeps the one it has.
    EXPECT_EQ(Ask(line, Frame({2, 6, 0, 220, 0, 17})), Frame({2, 0x86, 3}));
    EXPECT_EQ(Ask(line, Frame({2, 6, 0, 220, 0, 0})), Frame({2, 0x86, 3}));
    EXPECT_TRUE(line.Respond(Frame({2, 3, 0, 100, 0, 2})));
}

TEST(SimLine, StaysSilentForCorruptFramesForeignAddressesAndBroadcasts)
{
    Line line({1, 2});
    // A corrupt write is not executed either.
    EXPECT_FALSE(line.Respond(Hex("01 06 00 0C 00 3F 09 DA")));
    EXPECT_FALSE(line.Respond(Hex("03 03 00 64 00 02")));
    EXPECT_FALSE(line.Respond(Frame({5, 3, 0, 100, 0, 2})));
    EXPECT_EQ(line.With(1, [](Controller& c) { return c.Register(reg::SwitchOutputs); }), 0);

    // The defaults order as a broadcast restores every controller, and none answers.
    for (const std::uint8_t a : {std::uint8_t{1}, std::uint8_t{2}})
        line.With(a, [](Controller& c) { c.SetFloat(reg::MotorSpeed, 7.0f); });
    EXPECT_FALSE(line.Respond(Hex("00 06 00 0E 00 01 28 18")));
    EXPECT_FALSE(line.Respond(Frame({0, 6, 0, reg::SwitchOutputs, 0, 0x3F})));
    for (const std::uint8_t a : {std::uint8_t{1}, std::uint8_t{2}}) {
        line.With(a, [](Controller& c) {
            EXPECT_EQ(c.Float(reg::MotorSpeed), 50.0f);
            EXPECT_EQ(c.Register(reg::SwitchStatus), 0x0FC0);
        });
    }
}

TEST(SimLine, AnswersWhatItCannotDoWithExceptionReplies)
{
    Line line({1});
    // Illegal function: read input registers, write multiple coils.
    EXPECT_EQ(Ask(line, Frame({1, 4, 0, 100, 0, 2})), Frame({1, 0x84, 1}));
    EXPECT_EQ(Ask(line, Frame({1, 0x2B, 0x0E, 1, 0})), Frame({1, 0xAB, 1}));
    // Illegal data address: outside the map, a range running off it, read-only registers.
    EXPECT_EQ(Ask(line, Frame({1, 3, 0, 201, 0, 1})), Hex("01 83 02 C0 F1"));
    EXPECT_EQ(Ask(line, Frame({1, 3, 0, 118, 0, 3})), Frame({1, 0x83, 2}));
    EXPECT_EQ(Ask(line, Frame({1, 6, 1, 0x90, 0, 1})), Frame({1, 0x86, 2}));
    EXPECT_EQ(Ask(line, Frame({1, 0x10, 1, 0xF4, 0, 2, 4, 0, 0, 0x42, 0x48})), Frame({1, 0x90, 2}));
    // Illegal data value: counts that do not agree.
    EXPECT_EQ(Ask(line, Frame({1, 3, 0, 100, 0, 0})), Frame({1, 0x83, 3}));
    EXPECT_EQ(Ask(line, Frame({1, 0x10, 0, 100, 0, 2, 2, 0, 0})), Frame({1, 0x90, 3}));
    // Refused requests change nothing: the pair write above left the position alone.
    EXPECT_EQ(line.With(1, [](Controller& c) { return c.Position(); }), 0.0);
}

TEST(SimLine, MotionFollowsTheLinesClock)
{
    ManualClock clock;
    Line line({1}, clock);
    Ask(line, Hex("01 06 00 0A 00 10 A8 04")); // move right
    clock.Advance(std::chrono::milliseconds(1000));
    EXPECT_EQ(Ask(line, Hex("01 03 01 94 00 01 C4 1A")), Frame({1, 3, 2, 0, 2})); // moving right
    clock.Advance(std::chrono::milliseconds(1600));
    const Bytes at = Ask(line, Hex("01 03 01 F4 00 02 84 05"));
    EXPECT_EQ(std::bit_cast<float>(trovel::modbus::AssemblePair(std::span<const std::uint8_t, 4>(at.data() + 3, 4))),
              100.0f);
    EXPECT_EQ(Ask(line, Hex("01 03 01 90 00 01 85 DB")), Frame({1, 3, 2, 0, reg::input::RightLimit}));
}

} // namespace
