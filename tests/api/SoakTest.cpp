// Reliability soak: host threads hammer sixteen simulated controllers while the simulator
// answers late, truncates, corrupts and floods. Failures are allowed; a wrong value taken
// for a right one is not. Every controller belongs to one thread, which writes distinctive
// values to register pairs and reads them back, mixing reads of different pairs that all
// answer in the same shape, so that a stale reply would fit.
//
// TROVEL_SOAK_SECONDS sets the duration of each reply mode (default 30).

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "TrovelSdk.h"
#include "sim/Line.h"
#include "sim/Server.h"

namespace {

using namespace std::chrono_literals;
using trovel::sim::Fault;
using trovel::sim::FaultKind;
using trovel::sim::FaultRule;

struct Pair {
    int (*set)(int, float);
    int (*get)(int, float*);
};
const Pair kPairs[] = {{SetMotorSpeed, GetMotorSpeed}, {SetMotorAcc, GetMotorAcc},   {SetBeginPoint, GetBeginPoint},
                       {SetEndPoint, GetEndPoint},     {SetDiameter, GetDiameter},   {SetDelayTime, GetDelayTime}};
constexpr int kThreads = 8;
constexpr int kControllers = 16;

struct Figures {
    std::atomic<long> calls{0}, successes{0}, failures{0}, wrong{0}, faults{0};
};

// What a register pair may read as: the last acknowledged write, or a later write that
// failed (a failed write may still have been executed).
struct Expected {
    std::set<float> allowed;
    void Acknowledged(float v) { allowed = {v}; }
    void Failed(float v) { allowed.insert(v); }
};

void Host(int thread, std::chrono::steady_clock::time_point until, Figures& figures)
{
    std::mt19937 random(static_cast<std::uint32_t>(thread) + 1);
    const int own[] = {2 * thread + 1, 2 * thread + 2};
    std::map<std::pair<int, std::size_t>, Expected> expected;
    std::uint32_t sequence = 0;
    // Distinct for every controller, pair and write; exact as a float.
    const auto distinctive = [&](int address, std::size_t pair) {
        return static_cast<float>((static_cast<std::uint32_t>(address) << 19) | (pair << 15) | (++sequence & 0x7FFF));
    };
    // Every pair starts from a value written and acknowledged.
    for (const int address : own)
        for (std::size_t p = 0; p < std::size(kPairs); ++p) {
            float v = distinctive(address, p);
            while (kPairs[p].set(address, v) != 1)
                v = distinctive(address, p);
            expected[{address, p}].Acknowledged(v);
        }
    while (std::chrono::steady_clock::now() < until) {
        const int address = own[random() % 2];
        const std::size_t p = random() % std::size(kPairs);
        auto& e = expected[{address, p}];
        ++figures.calls;
        if (random() % 3 == 0) {
            const float v = distinctive(address, p);
            if (kPairs[p].set(address, v) == 1) {
                ++figures.successes;
                e.Acknowledged(v);
            } else {
                ++figures.failures;
                e.Failed(v);
            }
            continue;
        }
        float read = -1;
        if (kPairs[p].get(address, &read) != 1) {
            ++figures.failures;
            continue;
        }
        ++figures.successes;
        if (e.allowed.count(read) == 0) {
            ++figures.wrong;
            std::printf("WRONG: controller %d pair %zu read %.0f\n", address, p, static_cast<double>(read));
        }
    }
}

class Soak : public ::testing::TestWithParam<int> {};

TEST_P(Soak, NoWrongValueIsEverTakenForARightOne)
{
    const char* seconds = std::getenv("TROVEL_SOAK_SECONDS");
    const auto duration = std::chrono::seconds(seconds != nullptr ? std::atoi(seconds) : 30);
    std::vector<std::uint8_t> addresses;
    for (int a = 1; a <= kControllers; ++a)
        addresses.push_back(static_cast<std::uint8_t>(a));
    trovel::sim::Line controllers(addresses);
    Figures figures;
    trovel::sim::ServerOptions options;
    options.faultSeed = 20261209;
    options.onTraffic = [&](const trovel::sim::Traffic& t) {
        if (t.kind == trovel::sim::Traffic::Kind::Request && t.note.rfind("fault", 0) == 0)
            ++figures.faults;
    };
    trovel::sim::Server server(controllers, options);
    // Late replies of every lateness a host meets, then a few per cent of every other fault.
    for (const std::uint32_t late : {255u, 300u, 450u, 600u})
        server.Faults().Add({{FaultKind::Late, late}, 0.04});
    for (const FaultKind kind : {FaultKind::NoAnswer, FaultKind::Delay, FaultKind::BadCrc, FaultKind::Truncate,
                                 FaultKind::Split, FaultKind::Extra, FaultKind::Exception, FaultKind::Flood})
        server.Faults().Add({{kind}, 0.01});
    server.Start();
    ASSERT_EQ(OpenComDevice(server.DevicePath().c_str()), 1);
    ASSERT_EQ(TrovelSetReplyMode(nullptr, GetParam()), 1);

    const auto until = std::chrono::steady_clock::now() + duration;
    std::vector<std::thread> hosts;
    for (int t = 0; t < kThreads; ++t)
        hosts.emplace_back(Host, t, until, std::ref(figures));
    for (auto& host : hosts)
        host.join();
    CloseCom();
    server.Stop();

    std::printf("%s mode, %lld s, %d threads, %d controllers: %ld calls, %ld succeeded, %ld failed, %ld faults "
                "injected, %ld wrong values accepted\n",
                GetParam() == TROVEL_REPLY_FRAME ? "frame-complete" : "silence", static_cast<long long>(duration.count()),
                kThreads, kControllers, figures.calls.load(), figures.successes.load(), figures.failures.load(),
                figures.faults.load(), figures.wrong.load());
    EXPECT_EQ(figures.wrong.load(), 0);
    EXPECT_GT(figures.successes.load(), figures.calls.load() / 2) << "the line must still do useful work";
    EXPECT_GT(figures.faults.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(ReplyModes, Soak, ::testing::Values(TROVEL_REPLY_SILENCE, TROVEL_REPLY_FRAME),
                         [](const auto& p) { return p.param == TROVEL_REPLY_FRAME ? "Frame" : "Silence"; });

} // namespace
