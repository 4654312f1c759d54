// A device that vanishes (a USB adapter pulled, a simulator stopped) and comes back under
// the same name: calls fail without spinning meanwhile and succeed again by themselves.

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "TrovelSdk.h"
#include "sim/Line.h"
#include "sim/Server.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double ProcessCpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Points `link` at the simulator's terminal, replacing what it pointed at in one step.
void Link(const std::string& link, const std::string& target)
{
    const std::string temporary = link + ".new";
    ::unlink(temporary.c_str());
    ASSERT_EQ(::symlink(target.c_str(), temporary.c_str()), 0);
    ASSERT_EQ(::rename(temporary.c_str(), link.c_str()), 0);
}

TEST(Recovery, AVanishedDeviceFailsCallsWithoutSpinningAndComesBackByItself)
{
    trovel::sim::Line controllers({1});
    auto server = std::make_unique<trovel::sim::Server>(controllers);
    server->Start();
    const std::string link = "/tmp/trovel-recovery-" + std::to_string(::getpid());
    Link(link, server->DevicePath());
    ASSERT_EQ(OpenComDevice(link.c_str()), 1);

    std::atomic<bool> running{true};
    std::atomic<int> gone{0};
    std::atomic<Clock::rep> lastSuccess{0};
    std::vector<std::thread> hosts;
    for (int i = 0; i < 2; ++i)
        hosts.emplace_back([&] {
            while (running) {
                float speed = 0;
                if (GetMotorSpeed(1, &speed) == 1)
                    lastSuccess = Clock::now().time_since_epoch().count();
                else if (TrovelLastError() == TROVEL_ERR_DEVICE_GONE)
                    ++gone;
            }
        });
    std::this_thread::sleep_for(500ms);
    ASSERT_NE(lastSuccess.load(), 0);

    // Unplugged: the terminal disappears under the open port, and its name with it (the
    // terminal's number may go to another program's meanwhile).
    server.reset();
    ::unlink(link.c_str());
    const auto unplugged = Clock::now();
    const double cpuBefore = ProcessCpuSeconds();
    std::this_thread::sleep_for(2s);
    const double cpuShare = (ProcessCpuSeconds() - cpuBefore) / std::chrono::duration<double>(Clock::now() - unplugged).count();

    server = std::make_unique<trovel::sim::Server>(controllers);
    server->Start();
    Link(link, server->DevicePath());
    const auto replugged = Clock::now();
    while (Clock::now() - replugged < 3s && Clock::time_point(Clock::duration(lastSuccess.load())) < replugged)
        std::this_thread::sleep_for(10ms);
    const double backAfterMs = std::chrono::duration<double, std::milli>(Clock::time_point(Clock::duration(lastSuccess.load())) - replugged).count();
    running = false;
    for (auto& host : hosts)
        host.join();
    std::printf("outage of 2 s with 2 host threads calling: %d calls failed with the device gone, CPU %.2f %% of the "
                "outage; first success %.0f ms after the device came back\n",
                gone.load(), 100.0 * cpuShare, backAfterMs);

    EXPECT_GT(gone.load(), 0) << "calls during the outage report the device gone";
    EXPECT_LT(cpuShare, 0.05) << "failing calls must not spin";
    EXPECT_GT(Clock::time_point(Clock::duration(lastSuccess.load())), replugged) << "calls succeed again with no host action";
    EXPECT_EQ(IsComOpen(), 1) << "the port stays open for the host throughout";
    TrovelLineStats stats{};
    stats.size = sizeof stats;
    ASSERT_EQ(TrovelGetLineStats(nullptr, &stats), 1);
    EXPECT_GE(stats.reopens, 1u);
    CloseCom();
    ::unlink(link.c_str());
}

} // namespace
