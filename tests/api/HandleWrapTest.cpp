// The line table with the library's own code linked in, so that its test hook can age a slot:
// a slot reused past the 2^24 generations a handle can carry must still give handles that
// work and close (the fault: a generation compared in more bits than the handle has, so
// every call refuses the new handle and its close leaves the device held).

#include <gtest/gtest.h>

#include "TrovelSdk.h"
#include "api/Library.h"
#include "sim/Line.h"
#include "sim/Server.h"

namespace {

TEST(HandleWrap, ASlotReusedPastItsGenerationBitsStillOpensWorksAndCloses)
{
    trovel::sim::Line controllers({1});
    trovel::sim::Server server(controllers);
    server.Start();
    // Slot 1 is the first free one; it starts a few opens short of the wrap.
    trovel::api::AdvanceSlotGenerationForTest(1, (1u << 24) - 3);
    std::vector<TrovelLine*> seen;
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        TrovelLine* line = TrovelOpenLine(server.DevicePath().c_str());
        ASSERT_NE(line, nullptr) << "the device was released by the last close: " << TrovelLastError();
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(line) >> 32, 0u) << "the handle fits 32 bits";
        for (TrovelLine* old : seen)
            EXPECT_NE(line, old);
        int mode = -1;
        EXPECT_EQ(TrovelGetWorkMode(line, 1, &mode), 1) << TrovelLastError();
        TrovelCloseLine(line);
        EXPECT_EQ(TrovelGetWorkMode(line, 1, &mode), 0);
        EXPECT_EQ(TrovelLastError(), TROVEL_ERR_BAD_LINE);
        seen.push_back(line);
    }
}

} // namespace
