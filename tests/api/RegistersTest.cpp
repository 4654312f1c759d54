// Registers by number: the frames they send, what they make of the replies, what they refuse.

#include <vector>

#include "api/ApiFixture.h"

namespace trovel::test {
namespace {

class Registers : public ApiLine {};

// Catches a wrong register/count layout or a byte order swapped in the decoding.
TEST_F(Registers, ReadSendsFunction3AndDecodesHighByteFirst)
{
    unsigned short values[3] = {};
    EXPECT_EQ(Exchange(Hex("07 03 12 34 00 03 41 1B"), WithCrc(Hex("07 03 06 00 01 FF FE 80 00")),
                       [&] { return TrovelReadRegisters(nullptr, 7, 0x1234, 3, values); }), 1);
    EXPECT_EQ(values[0], 0x0001);
    EXPECT_EQ(values[1], 0xFFFE);
    EXPECT_EQ(values[2], 0x8000);
}

// A reply of 255 bytes is a valid frame: the CRC check must not stop at the 128 bytes of
// the controllers' own replies.
TEST_F(Registers, TheLongestReadIsAccepted)
{
    Bytes reply{1, 0x03, 250};
    for (int i = 0; i < 125; ++i) {
        reply.push_back(static_cast<std::uint8_t>(i));
        reply.push_back(0xA5);
    }
    std::vector<unsigned short> values(125);
    EXPECT_EQ(Exchange(WithCrc(Hex("01 03 00 00 00 7D")), WithCrc(reply),
                       [&] { return TrovelReadRegisters(nullptr, 1, 0, 125, values.data()); }), 1) << TrovelLastError();
    EXPECT_EQ(values[124], 0x7CA5);
}

// A controller's exception must reach the caller as its code, for a gateway to pass it on.
TEST_F(Registers, AnExceptionComesBackAsItsCode)
{
    unsigned short value = 0x5555;
    EXPECT_EQ(Exchange(Hex("07 03 12 34 00 01 C0 DA"), WithCrc(Hex("07 83 02")),
                       [&] { return TrovelReadRegisters(nullptr, 7, 0x1234, 1, &value); }), 0);
    EXPECT_EQ(TrovelLastError(), TROVEL_ERR_EXCEPTION(2));
    EXPECT_EQ(value, 0x5555);
    EXPECT_EQ(Exchange(WithCrc(Hex("03 06 00 0C 12 34")), WithCrc(Hex("03 86 06")),
                       [] { return TrovelWriteRegister(nullptr, 3, 12, 0x1234); }), 0);
    EXPECT_EQ(TrovelLastError(), TROVEL_ERR_EXCEPTION(6));
}

// Catches a count of bytes or registers off by one, or the values' order.
TEST_F(Registers, WriteMultipleCarriesCountBytesAndValues)
{
    const unsigned short values[3] = {0x0102, 0x0304, 0xFFFF};
    EXPECT_EQ(Exchange(WithCrc(Hex("02 10 01 2C 00 03 06 01 02 03 04 FF FF")), WithCrc(Hex("02 10 01 2C 00 03")),
                       [&] { return TrovelWriteRegisters(nullptr, 2, 300, 3, values); }), 1);
    EXPECT_EQ(Exchange(WithCrc(Hex("02 06 FF FF 00 00")), WithCrc(Hex("02 06 FF FF 00 00")),
                       [] { return TrovelWriteRegister(nullptr, 2, 0xFFFF, 0); }), 1);
}

// Nobody answers a broadcast: reporting that silence as a failure would make a gateway
// (or a host) send the write again.
TEST_F(Registers, ABroadcastSucceedsOnceSent)
{
    const unsigned short value = 9;
    EXPECT_EQ(Exchange(WithCrc(Hex("00 10 00 0A 00 01 02 00 09")), {},
                       [&] { return TrovelWriteRegisters(nullptr, 0, 10, 1, &value); }), 1);
    EXPECT_EQ(Exchange(WithCrc(Hex("00 06 00 0A 00 09")), {}, [] { return TrovelWriteRegister(nullptr, 0, 10, 9); }), 1);
}

TEST_F(Registers, OutOfRangeIsRefusedWithNothingSent)
{
    unsigned short values[126] = {};
    const struct { const char* what; int (*call)(unsigned short*); } cases[] = {
        {"read 0", [](unsigned short* v) { return TrovelReadRegisters(nullptr, 1, 0, 0, v); }},
        {"read 126", [](unsigned short* v) { return TrovelReadRegisters(nullptr, 1, 0, 126, v); }},
        {"read past 65535", [](unsigned short* v) { return TrovelReadRegisters(nullptr, 1, 65535, 2, v); }},
        {"read null", [](unsigned short*) { return TrovelReadRegisters(nullptr, 1, 0, 1, nullptr); }},
        {"read broadcast", [](unsigned short* v) { return TrovelReadRegisters(nullptr, 0, 0, 1, v); }},
        {"write 65536", [](unsigned short*) { return TrovelWriteRegister(nullptr, 1, 0, 65536); }},
        {"write register -1", [](unsigned short*) { return TrovelWriteRegister(nullptr, 1, -1, 0); }},
        {"write address 17", [](unsigned short*) { return TrovelWriteRegister(nullptr, 17, 0, 0); }},
        {"write 124", [](unsigned short* v) { return TrovelWriteRegisters(nullptr, 1, 0, 124, v); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Refused([&] { return c.call(values); }), 0);
        EXPECT_EQ(TrovelLastError(), TROVEL_ERR_ARGUMENT);
    }
}

} // namespace
} // namespace trovel::test
