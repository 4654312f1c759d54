// A device that vanishes and comes back under the same name: a USB adapter pulled and put
// back, a serial device server or Modbus TCP gateway restarted. Calls fail without spinning
// meanwhile and succeed again by themselves, with no host action. Catches a host thread
// that spins on a lost device or connection, and a line that never reopens or reconnects.

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "TrovelSdk.h"
#include "sim/Line.h"
#include "sim/Server.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using trovel::sim::Listen;
using trovel::sim::Server;

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
    const std::string link = "/tmp/trovel-recovery-" + std::to_string(::getpid());
    struct Case {
        const char* name;
        std::function<std::unique_ptr<Server>(trovel::sim::Line&)> make;
        bool terminal; // reached through a link, on the default line by the classic calls
    };
    const Case cases[] = {
        {"serial adapter", [](trovel::sim::Line& l) { return std::make_unique<Server>(l); }, true},
        {"serial device server", [](trovel::sim::Line& l) { return std::make_unique<Server>(l, Listen{Listen::Framing::Rtu}); }, false},
        {"Modbus TCP gateway", [](trovel::sim::Line& l) { return std::make_unique<Server>(l, Listen{Listen::Framing::ModbusTcp}); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        trovel::sim::Line controllers({1});
        const auto server = c.make(controllers);
        server->Start();
        TrovelLine* line = TrovelDefaultLine();
        if (c.terminal) {
            Link(link, server->DevicePath());
            ASSERT_EQ(OpenComDevice(link.c_str()), 1);
        } else {
            line = TrovelOpenLine(server->DevicePath().c_str());
            ASSERT_NE(line, nullptr);
        }

        std::atomic<bool> running{true};
        std::atomic<int> gone{0};
        std::atomic<Clock::rep> lastSuccess{0};
        std::vector<std::thread> hosts;
        for (int i = 0; i < 2; ++i)
            hosts.emplace_back([&] {
                while (running) {
                    float speed = 0;
                    if (TrovelGetMotorSpeed(line, 1, &speed) == 1)
                        lastSuccess = Clock::now().time_since_epoch().count();
                    else if (TrovelLastError() == TROVEL_ERR_DEVICE_GONE)
                        ++gone;
                }
            });
        std::this_thread::sleep_for(500ms);
        ASSERT_NE(lastSuccess.load(), 0);

        server->Unplug(); // the terminal disappears under the open port; the gateway drops its connections
        // And the adapter's device node goes with it: left behind, the link would lead to
        // whatever terminal another process gets under the old number meanwhile.
        if (c.terminal)
            ::unlink(link.c_str());
        const auto unplugged = Clock::now();
        const double cpuBefore = ProcessCpuSeconds();
        std::this_thread::sleep_for(2s);
        const double cpuShare = (ProcessCpuSeconds() - cpuBefore) / std::chrono::duration<double>(Clock::now() - unplugged).count();

        server->Replug(); // a new terminal, or the same port listening again
        if (c.terminal)
            Link(link, server->DevicePath());
        const auto replugged = Clock::now();
        while (Clock::now() - replugged < 3s && Clock::time_point(Clock::duration(lastSuccess.load())) < replugged)
            std::this_thread::sleep_for(10ms);
        const double backAfterMs = std::chrono::duration<double, std::milli>(Clock::time_point(Clock::duration(lastSuccess.load())) - replugged).count();
        running = false;
        for (auto& host : hosts)
            host.join();
        std::printf("%s: outage of 2 s with 2 host threads calling: %d calls failed with the device gone, CPU %.2f %% "
                    "of the outage; first success %.0f ms after the device came back\n",
                    c.name, gone.load(), 100.0 * cpuShare, backAfterMs);

        EXPECT_GT(gone.load(), 0) << "calls during the outage report the device gone";
        EXPECT_LT(cpuShare, 0.05) << "failing calls must not spin";
        EXPECT_GT(Clock::time_point(Clock::duration(lastSuccess.load())), replugged) << "calls succeed again with no host action";
        TrovelLineStats stats{};
        stats.size = sizeof stats;
        ASSERT_EQ(TrovelGetLineStats(line, &stats), 1);
        EXPECT_GE(stats.reopens, 1u);
        if (c.terminal) {
            EXPECT_EQ(IsComOpen(), 1) << "the port stays open for the host throughout";
            CloseCom();
            ::unlink(link.c_str());
        } else {
            TrovelCloseLine(line);
        }
    }
}

} // namespace
