// Identity and dates, and the character shift coding, through the exports.

#include <array>
#include <cstring>
#include <string>

#include "api/ApiFixture.h"

namespace {

using namespace trovel::test;
using namespace std::chrono_literals;

using Identity = ApiLine;

std::array<std::uint16_t, 2> Pair(std::int32_t value)
{
    const auto bits = static_cast<std::uint32_t>(value);
    return {static_cast<std::uint16_t>(bits & 0xFFFF), static_cast<std::uint16_t>(bits >> 16)};
}

// A 32-byte host buffer full of '#', so that every byte written shows.
struct HostText {
    HostText() { bytes.fill('#'); }
    std::array<char, 32> bytes;
    char* pointer = bytes.data();
    std::size_t Written() const
    {
        std::size_t n = bytes.size();
        while (n > 0 && bytes[n - 1] == '#')
            --n;
        return n;
    }
};

TEST_F(Identity, SerialNumberIsGroupedUpperCaseHex)
{
    HostText text;
    EXPECT_EQ(Exchange(Hex("01 03 02 BC 00 06 05 94"), Hex("01 03 0C 12 34 56 78 9A BC DE F0 00 11 22 33 0E E7"),
                       [&] { return GetSerial(1, &text.pointer); }), 1);
    EXPECT_STREQ(text.bytes.data(), "123456-789ABC-DEF000-112233");
    EXPECT_EQ(text.Written(), 28u);

    HostText zeros;
    EXPECT_EQ(Exchange(ReadRequest(3, 700, 6), ReadReply(3, {0x0001, 0x0a0b, 0, 0, 0, 0x00ff}),
                       [&] { return GetSerial(3, &zeros.pointer); }), 1);
    EXPECT_STREQ(zeros.bytes.data(), "00010A-0B0000-000000-0000FF");
}

TEST_F(Identity, FactoryDateBounds)
{
    struct Case { std::int32_t stored; const char* text; };
    const Case cases[] = {
        {20190925, "2019-09-25"}, {0, "2019-09-24"},        {20190924, "2019-09-24"}, {29991231, "2999-12-31"},
        {30000101, "2019-09-24"}, {-20200101, "2019-09-24"}, {20200115, "2020-01-15"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        HostText text;
        const auto p = Pair(c.stored);
        ASSERT_EQ(Exchange(Hex("01 03 01 2C 00 02 04 3E"), ReadReply(1, {p[0], p[1]}),
                           [&] { return GetFactroyDate(1, &text.pointer); }), 1);
        EXPECT_STREQ(text.bytes.data(), c.text);
        EXPECT_EQ(text.Written(), 11u);
    }
    HostText worked;
    EXPECT_EQ(Exchange(Hex("01 03 01 2C 00 02 04 3E"), Hex("01 03 04 16 CD 01 34 6F C3"),
                       [&] { return GetFactroyDate(1, &worked.pointer); }), 1);
    EXPECT_STREQ(worked.bytes.data(), "2019-09-25");
}

TEST_F(Identity, BiosDateRenderingAndRefusals)
{
    struct Case { std::int32_t stored; const char* text; };
    const Case cases[] = {
        {20200115, "2020-01-15"}, {123456, "1234-56-"}, {-1234567, "-123-45-67"}, {-2147483647 - 1, "-214-74-83648"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        HostText text;
        const auto p = Pair(c.stored);
        ASSERT_EQ(Exchange(Hex("01 03 02 60 00 02 C5 AD"), ReadReply(1, {p[0], p[1]}),
                           [&] { return GetBiosDate(1, &text.pointer); }), 1);
        EXPECT_STREQ(text.bytes.data(), c.text);
        EXPECT_EQ(text.Written(), std::strlen(c.text) + 1);
    }
    EXPECT_EQ(std::strlen("-214-74-83648") + 1, 14u) << "the largest text fits the documented 14 bytes";
    for (std::int32_t tooShort : {0, 12345}) {
        HostText text;
        const auto p = Pair(tooShort);
        EXPECT_EQ(Exchange(Hex("01 03 02 60 00 02 C5 AD"), ReadReply(1, {p[0], p[1]}),
                           [&] { return GetBiosDate(1, &text.pointer); }), 0);
        EXPECT_EQ(text.Written(), 0u) << tooShort;
    }
}

TEST_F(Identity, FailedReadsAndNullPointersWriteNothing)
{
    HostText text;
    EXPECT_EQ(Exchange(Hex("01 03 02 BC 00 06 05 94"), ReadReply(1, {1, 2}), [&] { return GetSerial(1, &text.pointer); }), 0);
    EXPECT_EQ(Exchange(Hex("01 03 01 2C 00 02 04 3E"), {}, [&] { return GetFactroyDate(1, &text.pointer); }), 0);
    EXPECT_EQ(text.Written(), 0u);
    char* null = nullptr;
    for (auto read : {GetSerial, GetBiosDate, GetFactroyDate}) {
        EXPECT_EQ(Refused([&] { return read(1, &null); }), 0);
        EXPECT_EQ(Refused([&] { return read(1, nullptr); }), 0);
        EXPECT_EQ(Refused([&] { return read(0, &text.pointer); }), 0);
    }
    EXPECT_EQ(Refused([] { return SetFactroyDate(1, nullptr); }), 0);
}

TEST_F(Identity, SetFactoryDateRemovesDashesInPlaceAndWritesTheNumber)
{
    char text[] = "2020-01-15";
    EXPECT_EQ(Exchange(Hex("01 10 01 2C 00 02 04 3A B3 01 34 01 0A"), WithCrc({1, 0x10, 0x01, 0x2C, 0, 2}),
                       [&] { return SetFactroyDate(1, text); }), 1);
    EXPECT_STREQ(text, "20200115");

    struct Case { const char* input; std::int32_t written; };
    for (const Case& c : {Case{"2020/01/15", 2020}, Case{"2020-13-45", 20201345}, Case{" +7x", 7}, Case{"  -7x", 7} /* the sign is a dash too */}) {
        SCOPED_TRACE(c.input);
        std::string buffer = c.input;
        EXPECT_EQ(Exchange(WriteMultipleRequest(1, 300, static_cast<std::uint32_t>(c.written)), WithCrc({1, 0x10, 0x01, 0x2C, 0, 2}),
                           [&] { return SetFactroyDate(1, buffer.data()); }), 1);
    }
}

TEST_F(Identity, SetFactoryDateRefusesTextWithoutANumber)
{
    for (const char* input : {"", "---", "abc", "-x2020"}) {
        SCOPED_TRACE(input);
        std::string buffer = input;
        EXPECT_EQ(Refused([&] { return SetFactroyDate(1, buffer.data()); }), 0);
        EXPECT_EQ(std::string(buffer.c_str()).find('-'), std::string::npos) << "dashes are removed all the same";
    }
    // Port closed: the check comes first and the text stays as it was.
    CloseCom();
    char text[] = "2020-01-15";
    EXPECT_EQ(Refused([&] { return SetFactroyDate(1, text); }), 0);
    EXPECT_STREQ(text, "2020-01-15");
}

TEST(ShiftCoding, EncodesAndDecodesBytesModulo256)
{
    std::array<char, 8> out;
    out.fill('#');
    char* dest = out.data();
    EXPECT_EQ(StrEncode("a\xff", &dest, 1), 1);
    EXPECT_EQ(static_cast<unsigned char>(out[0]), 0x62);
    EXPECT_EQ(static_cast<unsigned char>(out[1]), 0x00);
    EXPECT_EQ(out[2], '#') << "no terminator is written";

    EXPECT_EQ(StrDecode("\x01", &dest, 2), 1);
    EXPECT_EQ(static_cast<unsigned char>(out[0]), 0xFF);

    EXPECT_EQ(StrEncode("abc", &dest, 256), 1);
    EXPECT_EQ(std::string(out.data(), 3), "abc");
    EXPECT_EQ(StrEncode("abc", &dest, -1), 1);
    EXPECT_EQ(std::string(out.data(), 3), "`ab");
    EXPECT_EQ(StrDecode("abc", &dest, -2147483647 - 1), 1) << "only the low 8 bits count";
    EXPECT_EQ(std::string(out.data(), 3), "abc");
}

TEST(ShiftCoding, RoundTripAndUntouchedTail)
{
    const char* plain = "Screen #7: left=0.5";
    std::array<char, 64> encoded{};
    std::array<char, 64> decoded{};
    char* e = encoded.data();
    char* d = decoded.data();
    ASSERT_EQ(StrEncode(plain, &e, 13), 1);
    ASSERT_EQ(StrDecode(encoded.data(), &d, 13), 1);
    EXPECT_STREQ(decoded.data(), plain);

    std::array<char, 8> buffer;
    buffer.fill('z');
    char* b = buffer.data();
    EXPECT_EQ(StrEncode("", &b, 5), 1);
    EXPECT_EQ(buffer[0], 'z') << "an empty source writes nothing";
}

TEST(ShiftCoding, InPlaceStopsAfterAByteThatBecomesZero)
{
    char text[] = "ab\x01" "cd";
    char* p = text;
    EXPECT_EQ(StrDecode(text, &p, 1), 1);
    EXPECT_EQ(text[0], 'a' - 1);
    EXPECT_EQ(text[1], 'b' - 1);
    EXPECT_EQ(text[2], 0);
    EXPECT_EQ(text[3], 'c') << "bytes after the new NUL stay uncoded";
    EXPECT_EQ(text[4], 'd');
}

TEST(ShiftCoding, NullPointersWriteNothing)
{
    std::array<char, 4> out{'#', '#', '#', '#'};
    char* dest = out.data();
    char* null = nullptr;
    EXPECT_EQ(StrEncode(nullptr, &dest, 1), 0);
    EXPECT_EQ(StrEncode("abc", nullptr, 1), 0);
    EXPECT_EQ(StrEncode("abc", &null, 1), 0);
    EXPECT_EQ(StrDecode(nullptr, &dest, 1), 0);
    EXPECT_EQ(StrDecode("abc", nullptr, 1), 0);
    EXPECT_EQ(StrDecode("abc", &null, 1), 0);
    EXPECT_EQ(out[0], '#');
}

} // namespace
