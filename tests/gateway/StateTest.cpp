// What a user sees of a controller: motion and percent from its registers, with the opening
// direction applied; changes told once; the [poll] and [mqtt] tables' refusals.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "gateway/Config.h"
#include "gateway/State.h"

namespace trovel::gateway {
namespace {

// A screen that opens left must turn every word and number, not only the commands.
TEST(Derive, MotionAndPercentFollowTheOpeningDirection)
{
    const struct { std::uint16_t run, inputs; bool opensLeft; float position; Motion motion; double percent; } cases[] = {
        {0x0002, 0x0000, false, 25, Motion::Opening, 25}, {0x0002, 0x0000, true, 25, Motion::Closing, 75},
        {0x0001, 0x0000, false, 25, Motion::Closing, 25}, {0x0001, 0x0000, true, 25, Motion::Opening, 75},
        {0x0005, 0x0000, false, 60, Motion::Closing, 60}, // automatic run, moving left
        {0x0000, 0x0001, false, 0, Motion::Closed, 0},    {0x0000, 0x0001, true, 0, Motion::Open, 100},
        {0x0000, 0x0002, false, 100, Motion::Open, 100},  {0x0000, 0x0002, true, 100, Motion::Closed, 0},
        {0x0004, 0x0000, false, 50, Motion::Stopped, 50}, // pausing between runs
        {0x0001, 0x0001, false, 0, Motion::Closing, 0},   // moving beats a limit still on
        {0x0000, 0x0000, false, 130, Motion::Stopped, 100}, // beyond the end point
    };
    for (const auto& c : cases) {
        ControllerState s;
        s.answered = s.pointsKnown = true;
        s.beginPoint = 0;
        s.endPoint = 100;
        s.runState = c.run;
        s.inputs = c.inputs;
        s.opensLeft = c.opensLeft;
        s.position = c.position;
        Derive(s);
        EXPECT_EQ(s.motion, c.motion) << "run " << c.run << " inputs " << c.inputs << " left " << c.opensLeft;
        EXPECT_DOUBLE_EQ(s.percent, c.percent) << "position " << c.position << " left " << c.opensLeft;
    }
    ControllerState equalPoints;
    equalPoints.answered = equalPoints.pointsKnown = true;
    equalPoints.beginPoint = equalPoints.endPoint = 5;
    Derive(equalPoints);
    EXPECT_EQ(equalPoints.percent, -1) << "no span, no percent (not a division by zero)";
}

// Every poll rewrites the state: only a real change may reach the broker.
TEST(StateStore, TellsChangesOnceAndNothingAfterUnsubscribe)
{
    StateStore store;
    std::vector<unsigned> told;
    const auto id = store.Subscribe([&](const ControllerState&, unsigned changes) { told.push_back(changes); });
    const auto poll = [&](std::uint8_t outputs) {
        store.Update("l", 1, [&](ControllerState& s) {
            s.answered = s.available = true;
            s.outputs = outputs;
        });
    };
    poll(0);
    poll(0);
    poll(4);
    ASSERT_EQ(told.size(), 2u);
    EXPECT_TRUE(told[0] & change::Added);
    EXPECT_EQ(told[1], change::Outputs);
    store.Unsubscribe(id);
    poll(0);
    EXPECT_EQ(told.size(), 2u);
    ControllerState s;
    ASSERT_TRUE(store.Find("l", 1, s));
    EXPECT_EQ(s.outputs, 0);
}

// A typo in a screen's settings must stop the gateway, not leave a screen opening backwards.
TEST(MqttTables, RefusedWithTheirLine)
{
    const struct { const char* text; const char* error; } cases[] = {
        {"[poll]\n[[poll.controller]]\nline = \"line1\"\naddress = 2\nopens = \"up\"\n", ":7: opens must be"},
        {"[poll]\n[[poll.controller]]\nline = \"line1\"\n", "names its controller"},
        {"[mqtt]\nbroker = \"h:1883\"\nkeepalive = 2\n", ":5: keepalive must be"},
        {"[mqtt]\nbrokr = \"h\"\n", ":4: unknown key 'brokr'"},
        {"[[poll.controller]]\nline = \"nowhere\"\naddress = 1\n", "names the line 'nowhere'"},
    };
    const std::string path = ::testing::TempDir() + "mqtt-tables.toml";
    for (const auto& c : cases) {
        std::ofstream(path) << "[[line]]\ndevice = \"/dev/null\"\n" << c.text;
        Config config;
        std::vector<std::string> errors;
        if (LoadConfig(path, config, errors))
            CheckConfig(config, errors);
        std::string all;
        for (const auto& e : errors)
            all += e + "\n";
        EXPECT_NE(all.find(c.error), std::string::npos) << c.text << "gave:\n" << all;
    }
    std::remove(path.c_str());
}

// Anyone who can publish on a remote broker the gateway does not log in to could move screens.
TEST(MqttCommands, RemoteBrokerWithoutLoginTakesNone)
{
    const struct { const char* host; const char* password; int commands; bool taken; } cases[] = {
        {"127.0.0.1", "", -1, true}, {"localhost", "", -1, true}, {"::1", "", -1, true},
        {"10.0.0.5", "", -1, false},  {"10.0.0.5", "x", -1, true},  {"10.0.0.5", "", 1, true},
        {"127.0.0.1", "x", 0, false},
    };
    for (const auto& c : cases) {
        MqttSettings m;
        m.host = c.host;
        m.password = c.password;
        m.commands = c.commands;
        std::string why;
        EXPECT_EQ(TakesCommands(m, why), c.taken) << c.host << " password '" << c.password << "' " << c.commands;
        EXPECT_EQ(why.empty(), c.taken) << "a refusal says why";
    }
}

} // namespace
} // namespace trovel::gateway
