// The line table with the library's code linked in, so that its test hook can age a slot.
// The fault: a generation compared in more bits than a handle carries, so that past 2^24
// reuses of a slot every call refused the new handle and its close left the device held.

#include <gtest/gtest.h>

#include "TrovelSdk.h"
#include "api/Library.h"
#include "sim/Line.h"
#include "sim/Server.h"

TEST(HandleWrap, ASlotReusedPastItsGenerationBitsStillOpensWorksAndCloses)
{
    trovel::sim::Line controllers({1});
    trovel::sim::Server server(controllers);
    server.Start();
    trovel::api::AdvanceSlotGenerationForTest(1, (1u << 24) - 3); // slot 1, the first free one
    for (int round = 0; round < 6; ++round) {
        TrovelLine* line = TrovelOpenLine(server.DevicePath().c_str());
        ASSERT_NE(line, nullptr) << "round " << round << ": the last close released the device";
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(line) >> 32, 0u);
        int mode = -1;
        EXPECT_EQ(TrovelGetWorkMode(line, 1, &mode), 1) << "round " << round;
        TrovelCloseLine(line);
        EXPECT_EQ(TrovelGetWorkMode(line, 1, &mode), 0);
    }
}
