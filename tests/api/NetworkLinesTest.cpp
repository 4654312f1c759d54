// Lines that end at the simulator's TCP ports, through the public interface: every family
// of calls over both TCP forms and in both reply modes. Catches a framing slip of either
// form (header, transaction number, CRC added or dropped, reply length) for any function
// and reply size: reads of 1, 2 and 6 registers, writes with functions 6 and 16, and a call
// that reads and then writes.

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "TrovelSdk.h"
#include "sim/Line.h"
#include "sim/Server.h"

namespace {

using trovel::sim::Controller;
using trovel::sim::Listen;

// The result, then the value it left: taken after the call, hence a statement apart.
std::string Show(int result, const std::string& value) { return std::to_string(result) + ":" + value; }

TEST(NetworkLines, EveryFamilyOfCallsOverBothTcpFormsInBothReplyModes)
{
    struct Form { Listen::Framing framing; int mode; };
    const Form forms[] = {{Listen::Framing::Rtu, TROVEL_REPLY_SILENCE}, {Listen::Framing::Rtu, TROVEL_REPLY_FRAME},
                          {Listen::Framing::ModbusTcp, TROVEL_REPLY_FRAME}, {Listen::Framing::ModbusTcp, TROVEL_REPLY_SILENCE}};
    for (const Form& form : forms) {
        trovel::sim::ManualClock clock; // the screens stand still: every value is known
        trovel::sim::Line controllers({1, 2}, clock);
        trovel::sim::ServerOptions options;
        options.turnaround = std::chrono::milliseconds(1);
        trovel::sim::Server server(controllers, Listen{form.framing}, options);
        server.Start();
        SCOPED_TRACE(server.DevicePath() + (form.mode == TROVEL_REPLY_FRAME ? " frame" : " silence"));
        TrovelLine* line = TrovelOpenLine(server.DevicePath().c_str());
        ASSERT_NE(line, nullptr) << TrovelLastError();
        ASSERT_EQ(TrovelSetReplyMode(line, form.mode), 1);

        // What the controller holds after a write, read on the simulator's side.
        const auto held = [&](auto read) { return controllers.With(1, [&](Controller& c) { return std::to_string(read(c)); }); };
        struct Row { const char* family; std::function<std::string()> call; const char* expected; };
        const Row rows[] = {
            {"status read", [&] { int v = -1; const int r = TrovelGetLeftLimit(line, 1, &v); return Show(r, std::to_string(v)); }, "1:1"},
            {"parameter read", [&] { float v = -1; const int r = TrovelGetMotorSpeed(line, 1, &v); return Show(r, std::to_string(v)); }, "1:50.000000"},
            {"identity read", [&] { char b[32] = {}; char* p = b; const int r = TrovelGetSerial(line, 1, &p); return Show(r, b); }, "1:545256-53494D-202103-150001"},
            {"date read", [&] { char b[16] = {}; char* p = b; const int r = TrovelGetBiosDate(line, 1, &p); return Show(r, b); }, "1:2020-01-15"},
            {"switch read", [&] { char b[16] = {}; char* p = b; const int r = TrovelGetSwichState(line, 1, &p); return Show(r, b); }, "1:000000"},
            {"parameter write", [&] { const int r = TrovelSetMotorSpeed(line, 1, 60.0f); return Show(r, held([](Controller& c) { return c.Float(100); })); }, "1:60.000000"},
            {"configuration write", [&] { const int r = TrovelSetWorkMode(line, 1, 1); return Show(r, held([](Controller& c) { return c.Register(200); })); }, "1:1"},
            {"motion command", [&] { const int r = TrovelSetMoveRight(line, 1); return Show(r, held([](Controller& c) { return c.Register(10); })); }, "1:16"},
            {"switch read and write", [&] { const int r = TrovelSetSwichState(line, 1, 2, 1); return Show(r, held([](Controller& c) { return c.Register(12); })); }, "1:2"},
            {"date write", [&] { char d[] = "2024-05-06"; const int r = TrovelSetFactroyDate(line, 1, d); return Show(r, held([](Controller& c) { return c.Register(300) | c.Register(301) << 16; })); }, "1:20240506"},
            {"position order", [&] { const int r = TrovelFixedCurrentPoint(line, 1, 3.0f); return Show(r, held([](Controller& c) { return c.Position(); })); }, "1:3.000000"},
            {"defaults order", [&] { const int r = TrovelSetDefault(line, 1); return Show(r, held([](Controller& c) { return c.Float(100); })); }, "1:50.000000"},
        };
        for (const Row& row : rows)
            EXPECT_EQ(row.call(), row.expected) << row.family << ", cause " << TrovelLastError();
        TrovelCloseLine(line);
    }
}

} // namespace
