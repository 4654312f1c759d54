// The line's queue against the simulator in this process: the order requests go to the line.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "gateway/Service.h"
#include "sim/Line.h"
#include "sim/Server.h"

namespace trovel::gateway {
namespace {

struct Served {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::uint64_t> sources; // in the order they were answered
    void Add(std::uint64_t source)
    {
        const std::lock_guard hold(mutex);
        sources.push_back(source);
        changed.notify_all();
    }
    void WaitFor(std::size_t n)
    {
        std::unique_lock hold(mutex);
        ASSERT_TRUE(changed.wait_for(hold, std::chrono::seconds(10), [&] { return sources.size() >= n; }));
    }
};

Request Read(std::uint8_t unit)
{
    Request r;
    r.unit = unit;
    r.first = 100;
    r.count = 2;
    return r;
}

// Polling must never go before a client's request that waits beside it, and an absent
// controller's next request must wait for its settle while the others go ahead.
TEST(LineQueue, ClientsBeforePollingAndOthersBeforeASettlingController)
{
    sim::Line controllers({1, 2});
    sim::Server server(controllers);
    server.Start();
    LineSettings settings;
    settings.device = server.DevicePath();
    LineService line(settings);
    Served served;
    line.AddObserver([&](const Request&, const Answer&, std::uint64_t source) { served.Add(source); });
    std::string error;
    ASSERT_TRUE(line.Start(error)) << error;

    constexpr std::uint64_t kBusy = 1, kPoll = 2, kClient = 3, kAbsent = 4, kOther = 5;
    line.Submit(Read(5), Priority::Interactive, kBusy, nullptr); // holds the line 250 ms
    line.Submit(Read(1), Priority::Background, kPoll, nullptr);
    line.Submit(Read(2), Priority::Interactive, kClient, nullptr);
    served.WaitFor(3);
    EXPECT_EQ(served.sources, (std::vector<std::uint64_t>{kBusy, kClient, kPoll}));

    // Unit 5 failed just now: its next request waits out the settle, unit 1 goes first.
    line.Submit(Read(5), Priority::Interactive, kAbsent, nullptr);
    line.Submit(Read(1), Priority::Interactive, kOther, nullptr);
    served.WaitFor(5);
    EXPECT_EQ(served.sources[3], kOther);
    EXPECT_EQ(served.sources[4], kAbsent);
    line.Stop();
}

} // namespace
} // namespace trovel::gateway
