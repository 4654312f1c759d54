// Fault rules as people write them, and the plan that hands faults out; what each does on the wire is
// checked in ServerTest.

#include <gtest/gtest.h>

#include <algorithm>

#include "sim/Fault.h"

namespace {

using namespace trovel::sim;

TEST(SimFaults, RulesParse)
{
    struct Case {
        const char* text;
        FaultKind kind;
        std::uint32_t effective;
        double rate;
    };
    const Case cases[] = {
        {"no-answer", FaultKind::NoAnswer, 0, 1.0},      {"late", FaultKind::Late, 300, 1.0},
        {"delay:80@0.25", FaultKind::Delay, 80, 0.25},   {"split:150@25%", FaultKind::Split, 150, 0.25},
        {"truncate:4", FaultKind::Truncate, 4, 1.0},     {"exception:2", FaultKind::Exception, 2, 1.0},
        {"flood", FaultKind::Flood, 1100, 1.0},          {"bad-crc@100%", FaultKind::BadCrc, 0, 1.0},
        {"extra", FaultKind::Extra, 3, 1.0},
    };
    for (const auto& c : cases) {
        const auto rule = ParseFaultRule(c.text);
        ASSERT_TRUE(rule) << c.text;
        EXPECT_EQ(rule->fault.kind, c.kind) << c.text;
        EXPECT_EQ(rule->fault.Effective(), c.effective) << c.text;
        EXPECT_DOUBLE_EQ(rule->rate, c.rate) << c.text;
    }
    for (const char* bad : {"", "bogus", "delay:", "delay:x", "late@0", "late@1.5", "late@", "exception:256", "late@-1"})
        EXPECT_FALSE(ParseFaultRule(bad)) << bad;
}

TEST(SimFaults, OneShotFaultsComeFirstAndInOrder)
{
    FaultPlan plan;
    plan.Add({{FaultKind::Extra}, 1.0});
    plan.Once({FaultKind::Late});
    plan.Once({FaultKind::BadCrc});
    EXPECT_EQ(plan.Draw()->kind, FaultKind::Late);
    EXPECT_EQ(plan.Draw()->kind, FaultKind::BadCrc);
    EXPECT_EQ(plan.Draw()->kind, FaultKind::Extra);
    plan.Clear();
    EXPECT_FALSE(plan.Draw());
}

TEST(SimFaults, RatesHitAboutThatShareAndRepeatWithTheSeed)
{
    const auto run = [](std::uint64_t seed) {
        FaultPlan plan(seed);
        plan.Add({{FaultKind::NoAnswer}, 0.2});
        std::vector<bool> hits;
        for (int i = 0; i < 2000; ++i)
            hits.push_back(plan.Draw().has_value());
        return hits;
    };
    const auto hits = run(7);
    const auto share = static_cast<double>(std::count(hits.begin(), hits.end(), true)) / 2000.0;
    EXPECT_GT(share, 0.15);
    EXPECT_LT(share, 0.25);
    EXPECT_EQ(hits, run(7));
}

} // namespace
