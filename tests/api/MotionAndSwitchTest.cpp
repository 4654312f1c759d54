// Motion commands, switch outputs and input states through the exports.

#include <array>
#include <cstring>

#include "api/ApiFixture.h"

namespace {

using namespace trovel::test;
using namespace std::chrono_literals;

using MotionCommands = ApiLine;
using Switches = ApiLine;
using Inputs = ApiLine;

TEST_F(MotionCommands, WorkedRequests)
{
    struct Case { const char* request; int (*call)(int); };
    const Case cases[] = {
        {"01 06 00 0A 00 08 A8 0E", SetMoveLeft},
        {"01 06 00 0A 00 10 A8 04", SetMoveRight},
        {"01 06 00 0A 00 20 A8 10", SetMoveAuto},
        {"01 06 00 0A 00 40 A8 38", SetMoveStop},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        EXPECT_EQ(Exchange(Hex(c.request), Hex(c.request), [&] { return c.call(1); }), 1);
        const Bytes request = WriteSingleRequest(14, 10, Hex(c.request)[5]);
        EXPECT_EQ(Exchange(request, request, [&] { return c.call(14); }), 1);
    }
}

TEST_F(MotionCommands, OnlyTheEchoAcknowledges)
{
    EXPECT_EQ(Exchange(Hex("01 06 00 0A 00 10 A8 04"), WithCrc({1, 6, 0, 0x0C, 0, 0}), [] { return SetMoveRight(1); }), 0);
    EXPECT_EQ(TrovelLastError(), TROVEL_ERR_MISMATCH);
    Bytes nine = Hex("01 06 00 0A 00 10 A8 04 77");
    EXPECT_EQ(Exchange(Hex("01 06 00 0A 00 10 A8 04"), nine, [] { return SetMoveRight(1); }), 1);
}

TEST_F(MotionCommands, InitStopsThenSwitchesEverythingOff)
{
    peer.Expect(Hex("01 06 00 0A 00 40 A8 38")).Send(Hex("01 06 00 0A 00 40 A8 38"));
    peer.Expect(Hex("01 06 00 0C 00 00 49 C9")).Send(Hex("01 06 00 0C 00 00 49 C9")).Start();
    EXPECT_EQ(SetInit(1), 1);
    EXPECT_TRUE(peer.Finish()) << peer.Failure();
}

TEST_F(MotionCommands, InitAgainstASilentControllerSendsOnlyTheStop)
{
    EXPECT_EQ(Exchange(Hex("01 06 00 0A 00 40 A8 38"), {}, [] { return SetInit(1); }), 0);
    EXPECT_TRUE(peer.Unexpected(300ms).empty()) << "no switch write after a failed stop";
}

TEST_F(MotionCommands, InitWhoseSwitchWriteFailsReportsFailure)
{
    peer.Expect(Hex("01 06 00 0A 00 40 A8 38")).Send(Hex("01 06 00 0A 00 40 A8 38"));
    peer.Expect(Hex("01 06 00 0C 00 00 49 C9")).Start();
    EXPECT_EQ(SetInit(1), 0);
    EXPECT_TRUE(peer.Finish()) << peer.Failure();
}

TEST_F(MotionCommands, RefusalsSendNothing)
{
    for (auto call : {SetMoveLeft, SetMoveRight, SetMoveAuto, SetMoveStop, SetInit, SetSwichAllOff, SetSwichAllOn})
        for (int address : {0, 17, -1})
            EXPECT_EQ(Refused([&] { return call(address); }), 0) << address;
    CloseCom();
    for (auto call : {SetMoveLeft, SetMoveRight, SetMoveAuto, SetMoveStop, SetInit, SetSwichAllOff, SetSwichAllOn})
        EXPECT_EQ(Refused([&] { return call(1); }), 0);
}

TEST_F(Switches, AllOffAndAllOn)
{
    EXPECT_EQ(Exchange(Hex("01 06 00 0C 00 00 49 C9"), Hex("01 06 00 0C 00 00 49 C9"), [] { return SetSwichAllOff(1); }), 1);
    EXPECT_EQ(Exchange(Hex("01 06 00 0C 00 3F 09 D9"), Hex("01 06 00 0C 00 3F 09 D9"), [] { return SetSwichAllOn(1); }), 1);
}

// Reads the switch string into a guarded buffer; returns the result and the buffer.
std::pair<int, std::array<char, 9>> ReadSwitches(std::uint16_t status, PtyPeer& peer)
{
    std::array<char, 9> buffer;
    buffer.fill('#');
    char* text = buffer.data();
    peer.Expect(Hex("01 03 01 92 00 01 24 1B")).Send(ReadReply(1, {status})).Start();
    const int result = GetSwichState(1, &text);
    EXPECT_TRUE(peer.Finish()) << peer.Failure();
    return {result, buffer};
}

TEST_F(Switches, SwitchStringRendersStatusBitsSixToEleven)
{
    struct Case { std::uint16_t status; const char* text; };
    for (const Case& c : {Case{0x0FC0, "111111"}, Case{0xF03F, "000000"}, Case{0x0040, "100000"}, Case{0x0800, "000001"}}) {
        SCOPED_TRACE(c.text);
        const auto [result, buffer] = ReadSwitches(c.status, peer);
        ASSERT_EQ(result, 1);
        EXPECT_STREQ(buffer.data(), c.text);
        EXPECT_EQ(buffer[7], '#') << "exactly 7 bytes are written";
    }
    EXPECT_EQ(Exchange(Hex("01 03 01 92 00 01 24 1B"), Hex("01 03 02 0F C0 BD E4"), [] {
                  std::array<char, 7> b{};
                  char* t = b.data();
                  return GetSwichState(1, &t);
              }), 1);
}

TEST_F(Switches, FailedReadWritesNothing)
{
    std::array<char, 9> buffer;
    buffer.fill('#');
    char* text = buffer.data();
    EXPECT_EQ(Exchange(Hex("01 03 01 92 00 01 24 1B"), {}, [&] { return GetSwichState(1, &text); }), 0);
    for (char c : buffer)
        EXPECT_EQ(c, '#');
    char* null = nullptr;
    EXPECT_EQ(Refused([&] { return GetSwichState(1, &null); }), 0);
    EXPECT_EQ(Refused([] { return GetSwichState(1, nullptr); }), 0);
}

TEST_F(Switches, SetStateReadsThenWritesEveryIndex)
{
    // After reading all six on, switching index i off clears bit i-1; after all off, on sets it.
    for (int index = 1; index <= 6; ++index) {
        SCOPED_TRACE(index);
        const std::uint16_t bit = static_cast<std::uint16_t>(1u << (index - 1));
        for (int state : {0, 1, 5}) {
            const std::uint16_t status = state == 0 ? 0x0FC0 : 0x0000;
            const std::uint16_t written = state == 0 ? static_cast<std::uint16_t>(0x3F & ~bit) : bit;
            const Bytes request = WriteSingleRequest(1, 12, written);
            peer.Expect(Hex("01 03 01 92 00 01 24 1B")).Send(ReadReply(1, {status})).Expect(request).Send(request).Start();
            EXPECT_EQ(SetSwichState(1, index, state), 1) << "state " << state;
            EXPECT_TRUE(peer.Finish()) << peer.Failure();
        }
    }
}

TEST_F(Switches, SetStateWorkedExampleAndFailures)
{
    peer.Expect(Hex("01 03 01 92 00 01 24 1B")).Send(Hex("01 03 02 0F C0 BD E4"));
    peer.Expect(Hex("01 06 00 0C 00 3E C8 19")).Send(Hex("01 06 00 0C 00 3E C8 19")).Start();
    EXPECT_EQ(SetSwichState(1, 1, 0), 1);
    EXPECT_TRUE(peer.Finish()) << peer.Failure();

    // A good read and a failed write: 0 after the read.
    peer.Expect(Hex("01 03 01 92 00 01 24 1B")).Send(Hex("01 03 02 0F C0 BD E4"));
    peer.Expect(Hex("01 06 00 0C 00 3E C8 19")).Start();
    EXPECT_EQ(SetSwichState(1, 1, 0), 0);
    EXPECT_TRUE(peer.Finish()) << peer.Failure();

    // A failed read writes nothing.
    EXPECT_EQ(Exchange(Hex("01 03 01 92 00 01 24 1B"), {}, [] { return SetSwichState(1, 1, 0); }), 0);
    EXPECT_TRUE(peer.Unexpected(50ms).empty());

    for (int index : {0, 7, -1})
        EXPECT_EQ(Refused([&] { return SetSwichState(1, index, 1); }), 0);
    EXPECT_EQ(Refused([] { return SetSwichState(0, 1, 1); }), 0);
}

TEST_F(Inputs, InputStringAndSingleBits)
{
    std::array<char, 12> buffer;
    buffer.fill('#');
    char* text = buffer.data();
    EXPECT_EQ(Exchange(Hex("01 03 01 90 00 01 85 DB"), Hex("01 03 02 00 09 78 42"), [&] { return GetIoInputState(1, &text); }), 1);
    EXPECT_STREQ(buffer.data(), "00001001");
    EXPECT_EQ(buffer[9], '#') << "exactly 9 bytes are written";

    struct Case { int (*read)(int, int*); int for0009; };
    const Case cases[] = {{GetRightExtremity, 1}, {GetLeftExtremity, 0}, {GetRightLimit, 0}, {GetLeftLimit, 1}};
    for (const auto& c : cases) {
        int out = 9;
        EXPECT_EQ(Exchange(Hex("01 03 01 90 00 01 85 DB"), Hex("01 03 02 00 09 78 42"), [&] { return c.read(1, &out); }), 1);
        EXPECT_EQ(out, c.for0009);
        EXPECT_EQ(Exchange(Hex("01 03 01 90 00 01 85 DB"), ReadReply(1, {0xFF00}), [&] { return c.read(1, &out); }), 1);
        EXPECT_EQ(out, 0) << "the high byte is ignored";
        out = 9;
        EXPECT_EQ(Exchange(Hex("01 03 01 90 00 01 85 DB"), {}, [&] { return c.read(1, &out); }), 0);
        EXPECT_EQ(out, 9);
        EXPECT_EQ(Refused([&] { return c.read(1, nullptr); }), 0);
        EXPECT_EQ(Refused([&] { return c.read(17, &out); }), 0);
    }

    buffer.fill('#');
    EXPECT_EQ(Exchange(Hex("01 03 01 90 00 01 85 DB"), ReadReply(1, {0xFF00}), [&] { return GetIoInputState(1, &text); }), 1);
    EXPECT_STREQ(buffer.data(), "00000000");
    buffer.fill('#');
    EXPECT_EQ(Exchange(Hex("01 03 01 90 00 01 85 DB"), ReadReply(1, {0x00F0}), [&] { return GetIoInputState(1, &text); }), 1);
    EXPECT_STREQ(buffer.data(), "11110000");
}

TEST_F(Inputs, FailedReadWritesNothing)
{
    std::array<char, 12> buffer;
    buffer.fill('#');
    char* text = buffer.data();
    auto bad = Hex("01 03 02 00 09 78 42");
    bad[4] = 0x0A;
    EXPECT_EQ(Exchange(Hex("01 03 01 90 00 01 85 DB"), bad, [&] { return GetIoInputState(1, &text); }), 0);
    for (char c : buffer)
        EXPECT_EQ(c, '#');
    char* null = nullptr;
    EXPECT_EQ(Refused([&] { return GetIoInputState(1, &null); }), 0);
    EXPECT_EQ(Refused([] { return GetIoInputState(1, nullptr); }), 0);
}

} // namespace
