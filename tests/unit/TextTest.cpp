// Text forms used by the exports: dates, serial numbers, dash removal, number parsing,
// bit strings.

#include <gtest/gtest.h>

#include <limits>

#include "util/BitString.h"
#include "util/DateText.h"

namespace {

using namespace trovel::util;

std::string Date(std::int32_t d)
{
    const auto text = RenderDate(d);
    return text ? std::string(text->data()) : std::string("<none>");
}

TEST(DateText, InsertsTwoDashesWithoutCheckingTheCalendar)
{
    EXPECT_EQ(Date(20200115), "2020-01-15");
    EXPECT_EQ(Date(20191399), "2019-13-99");
    EXPECT_EQ(Date(123456), "1234-56-");
    EXPECT_EQ(Date(1234567), "1234-56-7");
    EXPECT_EQ(Date(-1234567), "-123-45-67");
    EXPECT_EQ(Date(-12345), "-123-45-");
    EXPECT_EQ(Date(std::numeric_limits<std::int32_t>::min()), "-214-74-83648");
    EXPECT_EQ(Date(std::numeric_limits<std::int32_t>::max()), "2147-48-3647");
}

TEST(DateText, TooFewDigitsGiveNoText)
{
    for (std::int32_t d : {0, 1, 1234, 12345, -1234})
        EXPECT_EQ(Date(d), "<none>") << d;
}

TEST(SerialText, FourGroupsOfSixDigits)
{
    const std::array<std::uint8_t, 12> bytes{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x00, 0x11, 0x22, 0x33};
    EXPECT_STREQ(RenderSerial(bytes).data(), "123456-789ABC-DEF000-112233");
    EXPECT_EQ(RenderSerial(bytes)[27], '\0');
}

TEST(RemoveDashes, ClosesTheGapsInPlace)
{
    char a[] = "2020-01-15";
    RemoveDashes(a);
    EXPECT_STREQ(a, "20200115");
    char b[] = "--";
    RemoveDashes(b);
    EXPECT_STREQ(b, "");
    char c[] = "";
    RemoveDashes(c);
    EXPECT_STREQ(c, "");
}

TEST(ParseLeadingInt, ReadsLikePercentD)
{
    EXPECT_EQ(ParseLeadingInt("20200115"), 20200115);
    EXPECT_EQ(ParseLeadingInt("2020/01/15"), 2020);
    EXPECT_EQ(ParseLeadingInt(" \t\n+42abc"), 42);
    EXPECT_EQ(ParseLeadingInt("-8"), -8);
    EXPECT_EQ(ParseLeadingInt("99999999999999999999"), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(ParseLeadingInt("-99999999999999999999"), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(ParseLeadingInt("-2147483648"), std::numeric_limits<std::int32_t>::min());
    for (const char* none : {"", "abc", "+", "-", " x1", "/2020"})
        EXPECT_FALSE(ParseLeadingInt(none).has_value()) << '"' << none << '"';
}

TEST(BitStringToInt, SumsPowersOfTwoFromTheLeft)
{
    EXPECT_EQ(BitStringToInt(""), 0);
    EXPECT_EQ(BitStringToInt("1"), 1);
    EXPECT_EQ(BitStringToInt("0011"), 12);
    EXPECT_EQ(BitStringToInt("1x1"), 5);
    EXPECT_EQ(BitStringToInt("111111"), 63);
    EXPECT_EQ(BitStringToInt("011111"), 62);
    EXPECT_EQ(BitStringToInt(nullptr), 0);
    // Positions beyond 30 do not fit and are ignored rather than overflowing.
    EXPECT_EQ(BitStringToInt("1000000000000000000000000000000011"), 1);
}

} // namespace
