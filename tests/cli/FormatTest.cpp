// The text rules of trovelctl that its end-to-end tests reach only in part: number and date
// parsing at their edges, the bar between two points, the run state in words, JSON text.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Format.h"
#include "Json.h"

namespace trovelctl {
namespace {

TEST(FormatTest, FloatsPrintShortestAndParseOnlyWholeFiniteNumbers)
{
    EXPECT_EQ(FormatFloat(0.1f), "0.1");
    EXPECT_EQ(FormatFloat(-12.5f), "-12.5");
    EXPECT_EQ(FormatFloat(1e-7f), "1e-07");
    EXPECT_EQ(ParseFloat("80"), 80.0f);
    EXPECT_EQ(ParseFloat("+2.5"), 2.5f);
    EXPECT_EQ(ParseFloat("-0.25"), -0.25f);
    for (const char* bad : {"", "+", "12abc", "1 2", "nan", "inf", "-inf", "1e99", "0x10", "--1"})
        EXPECT_FALSE(ParseFloat(bad).has_value()) << bad;
}

TEST(FormatTest, DatesMustBeRealCalendarDays)
{
    EXPECT_EQ(ParseDate("2020-01-15"), 20200115);
    EXPECT_EQ(ParseDate("2024-02-29"), 20240229);
    EXPECT_EQ(ParseDate("2000-02-29"), 20000229); // divisible by 400
    EXPECT_FALSE(ParseDate("2100-02-29"));        // divisible by 100 only
    EXPECT_FALSE(ParseDate("2023-02-29"));
    EXPECT_FALSE(ParseDate("2023-04-31"));
    EXPECT_FALSE(ParseDate("2023-13-01"));
    EXPECT_FALSE(ParseDate("2023-00-10"));
    EXPECT_FALSE(ParseDate("2023-01-00"));
    EXPECT_FALSE(ParseDate("2023-1-5"));
    EXPECT_FALSE(ParseDate("20230105"));
    EXPECT_FALSE(ParseDate("2023-+1-05"));
    EXPECT_FALSE(ParseDate("2023/01/05"));
}

TEST(FormatTest, FractionBetweenPointsEitherWayRound)
{
    EXPECT_DOUBLE_EQ(Fraction(25.0f, 0.0f, 100.0f), 0.25);
    EXPECT_DOUBLE_EQ(Fraction(25.0f, 100.0f, 0.0f), 0.75); // end point left of the begin point
    EXPECT_DOUBLE_EQ(Fraction(-5.0f, 0.0f, 100.0f), 0.0);  // beyond the points: clamped
    EXPECT_DOUBLE_EQ(Fraction(150.0f, 0.0f, 100.0f), 1.0);
    EXPECT_DOUBLE_EQ(Fraction(50.0f, 50.0f, 50.0f), 1.0); // no travel at all
    EXPECT_DOUBLE_EQ(Fraction(std::nanf(""), 0.0f, 100.0f), 0.0);
    EXPECT_DOUBLE_EQ(Fraction(10.0f, 0.0f, std::numeric_limits<float>::infinity()), 0.0);
}

TEST(FormatTest, BarFillsInProportion)
{
    EXPECT_EQ(Bar(0.0, 4), "[....]");
    EXPECT_EQ(Bar(0.5, 4), "[##..]");
    EXPECT_EQ(Bar(1.0, 4), "[####]");
    EXPECT_EQ(Bar(2.0, 4), "[####]");
    EXPECT_EQ(Bar(std::nan(""), 4), "[....]");
}

TEST(FormatTest, RunStateInWords)
{
    EXPECT_EQ(RunStateText(0), "stopped");
    EXPECT_EQ(RunStateText(runstate::Left), "moving left");
    EXPECT_EQ(RunStateText(runstate::Right), "moving right");
    EXPECT_EQ(RunStateText(runstate::Auto | runstate::Right), "automatic run, moving right");
    EXPECT_EQ(RunStateText(runstate::Auto), "automatic run, pausing");
    EXPECT_EQ(RunStateText(0x0100), "state 0x0100"); // bits nobody knows are shown as they are
    EXPECT_EQ(RunStateText(runstate::Left | runstate::Right), "state 0x0003");
}

TEST(FormatTest, InputAndOutputStringsByNumber)
{
    // The input string puts bit 7 first; the switch string puts output 1 first.
    EXPECT_TRUE(InputBit("00000001", 0));
    EXPECT_FALSE(InputBit("00000001", 1));
    EXPECT_TRUE(InputBit("10000000", 7));
    EXPECT_FALSE(InputBit("0001", 0)); // not an input string
    EXPECT_TRUE(OutputOn("100000", 1));
    EXPECT_TRUE(OutputOn("000001", 6));
    EXPECT_FALSE(OutputOn("111111", 7));
    EXPECT_FALSE(OutputOn("111111", 0));
}

TEST(JsonTest, EscapesTextAndWritesNonFiniteFloatsAsNull)
{
    const Json value = Json::Object{{"text", "a\"b\\c\n\x01"},
                                    {"list", Json::Array{1, true, Json()}},
                                    {"nan", std::nanf("")},
                                    {"tenth", 0.1f}};
    EXPECT_EQ(value.Dump(), R"({"text":"a\"b\\c\n\u0001","list":[1,true,null],"nan":null,"tenth":0.1})");
}

} // namespace
} // namespace trovelctl
