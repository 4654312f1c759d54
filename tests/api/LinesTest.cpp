// Several lines in one process: each twin behaves as its classic call and talks on its own
// line, lines run at the same time, and handles stay safe when lines close.

#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "TrovelSdk.h"
#include "sim/Line.h"
#include "sim/Server.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A simulator that counts the requests it answers.
struct Simulated {
    explicit Simulated(std::vector<std::uint8_t> addresses, float speed) : controllers(addresses, clock)
    {
        for (const auto address : addresses)
            controllers.With(address, [&](trovel::sim::Controller& c) { c.SetFloat(100, speed); });
        trovel::sim::ServerOptions options;
        options.onTraffic = [this](const trovel::sim::Traffic& t) { requests += t.kind == trovel::sim::Traffic::Kind::Request; };
        server = std::make_unique<trovel::sim::Server>(controllers, options);
        server->Start();
    }
    trovel::sim::ManualClock clock;
    trovel::sim::Line controllers;
    std::atomic<int> requests{0};
    std::unique_ptr<trovel::sim::Server> server;
};

std::string Show(int result, const std::string& value = {}) { return std::to_string(result) + ":" + value; }

// Each row calls a classic export at address 1 and its twin on a line, and shows what came
// back: the result and any value.
struct Member {
    const char* name;
    std::function<std::string()> classic;
    std::function<std::string(TrovelLine*)> twin;
};

// The call is a statement of its own: in Show(Name(...), value) the value could be taken
// before the call has written it.
#define INT_READ(Name) {#Name, [] { int v = -7; const int r = Name(1, &v); return Show(r, std::to_string(v)); }, [](TrovelLine* l) { int v = -7; const int r = Trovel##Name(l, 1, &v); return Show(r, std::to_string(v)); }}
#define FLOAT_READ(Name) {#Name, [] { float v = -7; const int r = Name(1, &v); return Show(r, std::to_string(v)); }, [](TrovelLine* l) { float v = -7; const int r = Trovel##Name(l, 1, &v); return Show(r, std::to_string(v)); }}
#define TEXT_READ(Name) {#Name, [] { char b[32] = {}; char* p = b; const int r = Name(1, &p); return Show(r, b); }, [](TrovelLine* l) { char b[32] = {}; char* p = b; const int r = Trovel##Name(l, 1, &p); return Show(r, b); }}
#define CALL(Name, ...) {#Name, [] { return Show(Name(1 __VA_OPT__(,) __VA_ARGS__)); }, [](TrovelLine* l) { return Show(Trovel##Name(l, 1 __VA_OPT__(,) __VA_ARGS__)); }}

const Member kMembers[] = {
    INT_READ(GetWorkMode), INT_READ(GetMotorVeer), INT_READ(GetRemoteFunction), INT_READ(GetRunState),
    INT_READ(GetRemoteKeyState), INT_READ(GetRightExtremity), INT_READ(GetLeftExtremity), INT_READ(GetRightLimit),
    INT_READ(GetLeftLimit),
    FLOAT_READ(GetBeginPoint), FLOAT_READ(GetEndPoint), FLOAT_READ(GetAutoBeginPoint), FLOAT_READ(GetAutoEndPoint),
    FLOAT_READ(GetResolution), FLOAT_READ(GetDiameter), FLOAT_READ(GetMotorSpeed), FLOAT_READ(GetMotorAcc),
    FLOAT_READ(GetPulseCount), FLOAT_READ(GetDelayTime), FLOAT_READ(GetCurrentPoint),
    TEXT_READ(GetSerial), TEXT_READ(GetBiosDate), TEXT_READ(GetFactroyDate), TEXT_READ(GetSwichState),
    TEXT_READ(GetIoInputState),
    CALL(SetMotorSpeed, 60.0f), CALL(SetMotorAcc, 70.0f), CALL(SetPulseCount, 800.0f), CALL(SetBeginPoint, 1.0f),
    CALL(SetEndPoint, 90.0f), CALL(SetAutoBeginPoint, 2.0f), CALL(SetAutoEndPoint, 80.0f), CALL(SetResolution, 0.5f),
    CALL(SetDiameter, 30.0f), CALL(SetDelayTime, 1.0f), CALL(FixedCurrentPoint, 3.0f),
    CALL(SetWorkMode, 1), CALL(SetMotorVeer, 1), CALL(SetRemoteFunction, 1), CALL(SetAddress, 1),
    CALL(ResetBeginPoint), CALL(SetDefault),
    CALL(SetMoveLeft), CALL(SetMoveRight), CALL(SetMoveAuto), CALL(SetMoveStop), CALL(SetInit),
    CALL(SetSwichAllOn), CALL(SetSwichAllOff), CALL(SetSwichState, 2, 1),
    {"SetFactroyDate", [] { char d[] = "2024-05-06"; const int r = SetFactroyDate(1, d); return Show(r, d); },
     [](TrovelLine* l) { char d[] = "2024-05-06"; const int r = TrovelSetFactroyDate(l, 1, d); return Show(r, d); }},
};

TEST(Lines, EveryTwinBehavesAsItsClassicCallAndTalksOnItsOwnLine)
{
    ASSERT_EQ(std::size(kMembers), 51u) << "a twin for every call that talks to a controller";
    Simulated a({1}, 11.0f);
    Simulated b({1}, 22.0f);
    ASSERT_EQ(OpenComDevice(a.server->DevicePath().c_str()), 1);
    TrovelLine* line = TrovelOpenLine(b.server->DevicePath().c_str());
    ASSERT_NE(line, nullptr);
    // Frame-complete reads keep the 200 calls short; the classic rule is the same code.
    ASSERT_EQ(TrovelSetReplyMode(nullptr, TROVEL_REPLY_FRAME), 1);
    ASSERT_EQ(TrovelSetReplyMode(line, TROVEL_REPLY_FRAME), 1);
    for (const auto& m : kMembers) {
        SCOPED_TRACE(m.name);
        // On the same line, the twin gives what the classic call gives.
        const std::string classic = m.classic();
        EXPECT_EQ(m.twin(TrovelDefaultLine()), classic);
        EXPECT_EQ(m.twin(nullptr), classic) << "a null line is the default line";
        EXPECT_EQ(classic.substr(0, 2), "1:");
        // On its own line it talks to that line's controllers only.
        const int before = a.requests;
        const int onB = b.requests;
        const std::string onLine = m.twin(line);
        EXPECT_EQ(onLine.substr(0, 2), "1:");
        if (std::string(m.name) == "GetMotorSpeed") {
            EXPECT_NE(onLine, classic) << "the line's controller holds another speed";
        }
        EXPECT_EQ(a.requests, before);
        EXPECT_GT(b.requests, onB);
    }
    float before = 0;
    float after = 0;
    ASSERT_EQ(GetMotorSpeed(1, &before), 1);
    ASSERT_EQ(TrovelSetMotorSpeed(line, 1, before + 1.0f), 1);
    ASSERT_EQ(GetMotorSpeed(1, &after), 1);
    EXPECT_EQ(after, before) << "the default line's controller kept its own value";
    TrovelSetReplyMode(nullptr, TROVEL_REPLY_SILENCE);
    TrovelCloseLine(line);
    CloseCom();
}

TEST(Lines, ExchangesOnTwoLinesOverlapInTime)
{
    Simulated a({1, 2}, 11.0f);
    Simulated b({1, 2}, 22.0f);
    TrovelLine* lines[] = {TrovelOpenLine(a.server->DevicePath().c_str()), TrovelOpenLine(b.server->DevicePath().c_str())};
    ASSERT_NE(lines[0], nullptr);
    ASSERT_NE(lines[1], nullptr);
    constexpr int kReads = 6;
    std::atomic<int> wrong{0};
    std::vector<double> alone;
    const auto reader = [&](TrovelLine* line, float expected) {
        for (int i = 0; i < kReads; ++i) {
            float v = 0;
            if (TrovelGetMotorSpeed(line, 1 + i % 2, &v) != 1 || v != expected)
                ++wrong;
        }
    };
    auto started = Clock::now();
    reader(lines[0], 11.0f);
    const double serialMs = 2 * std::chrono::duration<double, std::milli>(Clock::now() - started).count();
    started = Clock::now();
    std::thread first(reader, lines[0], 11.0f);
    std::thread second(reader, lines[1], 22.0f);
    first.join();
    second.join();
    const double together = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_LT(together, 0.7 * serialMs) << "two lines take about as long as one";
    for (TrovelLine* line : lines) {
        TrovelLineStats stats{};
        stats.size = sizeof stats;
        ASSERT_EQ(TrovelGetLineStats(line, &stats), 1);
        EXPECT_EQ(stats.successes, line == lines[0] ? 2u * kReads : 1u * kReads);
        TrovelCloseLine(line);
    }
}

int OpenDescriptors()
{
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir) != nullptr)
            ++count;
        ::closedir(dir);
    }
    return count;
}

TEST(Lines, HandlesOfClosedLinesAreRefusedAndNothingLeaks)
{
    Simulated a({1}, 11.0f);
    const int descriptors = OpenDescriptors();
    TrovelLine* stale = nullptr;
    for (int i = 0; i < 200; ++i) {
        TrovelLine* line = TrovelOpenLine(a.server->DevicePath().c_str());
        ASSERT_NE(line, nullptr);
        ASSERT_NE(line, stale) << "a reused slot gets a new handle";
        TrovelCloseLine(line);
        stale = line;
    }
    EXPECT_EQ(OpenDescriptors(), descriptors);
    float v = 0;
    EXPECT_EQ(TrovelGetMotorSpeed(stale, 1, &v), 0);
    EXPECT_EQ(TrovelLastError(), TROVEL_ERR_BAD_LINE);
    EXPECT_EQ(TrovelSetRetries(stale, 1), 0);
    TrovelCloseLine(stale); // closing twice is refused quietly
    TrovelCloseLine(nullptr);
}

// A handle with a stray bit (above 32 bits, or in the generation) reached the line it
// aliases: every twin, setting, the trace, the stats and the close must refuse it.
TEST(Lines, AliasedHandlesAreRefusedEverywhere)
{
    Simulated a({1}, 11.0f);
    TrovelLine* line = TrovelOpenLine(a.server->DevicePath().c_str());
    ASSERT_NE(line, nullptr);
    const auto value = reinterpret_cast<std::uintptr_t>(line);
    std::vector<std::uintptr_t> aliases{value ^ 0x100u, value ^ 0x80000000u};
    if constexpr (sizeof value == 8)
        aliases.insert(aliases.end(), {value + (1ull << 32), value | (0xdeadull << 40), value | (1ull << 63)});
    TrovelLineStats stats{};
    stats.size = sizeof stats;
    for (const auto bits : aliases) {
        auto* alias = reinterpret_cast<TrovelLine*>(bits);
        for (const auto& m : kMembers) {
            const std::string shown = m.twin(alias).substr(0, 2);
            EXPECT_EQ(shown + std::to_string(TrovelLastError()), "0:3") << m.name; // refused as BAD_LINE
        }
        EXPECT_EQ(TrovelSetTimeouts(alias, 300, 50) + TrovelSetRetries(alias, 1) + TrovelSetLocalEcho(alias, 1) +
                      TrovelSetReplyMode(alias, 1) + TrovelSetTrace(alias, nullptr, nullptr) + TrovelGetLineStats(alias, &stats),
                  0);
        TrovelCloseLine(alias);
    }
    EXPECT_EQ(a.requests, 0) << "nothing went on the line";
    float v = 0;
    EXPECT_EQ(TrovelGetMotorSpeed(line, 1, &v), 1) << "the alias closed nothing";
    TrovelCloseLine(line);
}

TEST(Lines, ClosingALineUnderRunningCallsIsSafe)
{
    Simulated a({1}, 11.0f);
    for (int round = 0; round < 5; ++round) {
        // The last round's device is released when its last call has returned: until then
        // it is busy.
        TrovelLine* line = nullptr;
        for (int tries = 0; line == nullptr && tries < 100; ++tries) {
            line = TrovelOpenLine(a.server->DevicePath().c_str());
            if (line == nullptr)
                std::this_thread::sleep_for(10ms);
        }
        ASSERT_NE(line, nullptr);
        std::atomic<bool> stop{false};
        std::atomic<int> afterClose{0};
        std::vector<std::thread> callers;
        for (int t = 0; t < 3; ++t)
            callers.emplace_back([&] {
                while (!stop) {
                    float v = 0;
                    if (TrovelGetMotorSpeed(line, 1, &v) == 0 && TrovelLastError() == TROVEL_ERR_BAD_LINE)
                        ++afterClose;
                }
            });
        std::this_thread::sleep_for(60ms);
        TrovelCloseLine(line);
        std::this_thread::sleep_for(30ms);
        stop = true;
        for (auto& c : callers)
            c.join();
        EXPECT_GT(afterClose.load(), 0) << "calls after the close are refused";
    }
}

void TROVEL_CALL CountExchange(void* user, TrovelLine*, int, const unsigned char*, int, const unsigned char*, int, int, int)
{
    ++*static_cast<std::atomic<int>*>(user);
}

TEST(Lines, SettingsChangeWhileCallsRunOnTheLine)
{
    Simulated a({1}, 11.0f);
    TrovelLine* line = TrovelOpenLine(a.server->DevicePath().c_str());
    ASSERT_NE(line, nullptr);
    std::atomic<bool> stop{false};
    std::atomic<int> failed{0};
    std::atomic<int> traced{0};
    std::thread caller([&] {
        while (!stop) {
            float v = 0;
            failed += TrovelGetMotorSpeed(line, 1, &v) == 1 && v == 11.0f ? 0 : 1;
        }
    });
    for (int i = 0; i < 40; ++i) {
        TrovelSetReplyMode(line, i % 2 == 0 ? TROVEL_REPLY_FRAME : TROVEL_REPLY_SILENCE);
        TrovelSetTimeouts(line, 250 + i, 100 - i);
        TrovelSetRetries(line, i % 3);
        TrovelSetTrace(line, i % 2 == 0 ? CountExchange : nullptr, &traced);
        std::this_thread::sleep_for(15ms);
    }
    stop = true;
    caller.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_GT(traced.load(), 0);
    TrovelSetTrace(line, nullptr, nullptr);
    TrovelCloseLine(line);
}

// A host frees its trace context once TrovelSetTrace has replaced the callback: the old one
// must never be entered again, nor still be running (the fault: callbacks that took the old
// user pointer before the replacement and ran on after it). A callback that replaces the
// trace itself must not wait for its own return.
struct TraceContext {
    std::atomic<bool> retired{false};
    std::atomic<int>* late;
};

void TROVEL_CALL CheckNotRetired(void* user, TrovelLine*, int, const unsigned char*, int, const unsigned char*, int, int, int)
{
    auto* context = static_cast<TraceContext*>(user);
    *context->late += context->retired ? 1 : 0;
    std::this_thread::sleep_for(1ms); // a callback that takes a while
    *context->late += context->retired ? 1 : 0;
}

TEST(Lines, ReplacedTraceCallbacksAreNeverEnteredOrRunningAfterwards)
{
    Simulated a({1, 2}, 11.0f);
    TrovelLine* line = TrovelOpenLine(a.server->DevicePath().c_str());
    ASSERT_NE(line, nullptr);
    ASSERT_EQ(TrovelSetReplyMode(line, TROVEL_REPLY_FRAME), 1);
    std::atomic<int> late{0};
    std::atomic<bool> stop{false};
    const auto calls = [&](int address) { while (!stop) { float v; TrovelGetMotorSpeed(line, address, &v); } };
    std::thread first(calls, 1), second(calls, 2);
    std::deque<TraceContext> contexts;
    for (int i = 0; i < 200; ++i) {
        contexts.emplace_back().late = &late;
        EXPECT_EQ(TrovelSetTrace(line, CheckNotRetired, &contexts.back()), 1);
        if (i > 0)
            contexts[contexts.size() - 2].retired = true;
        std::this_thread::sleep_for(std::chrono::microseconds(500 * (i % 7)));
    }
    const auto turnOffItself = [](void*, TrovelLine* l, int, const unsigned char*, int, const unsigned char*, int, int, int) {
        TrovelSetTrace(l, nullptr, nullptr);
    };
    EXPECT_EQ(TrovelSetTrace(line, turnOffItself, nullptr), 1);
    contexts.back().retired = true;
    std::this_thread::sleep_for(50ms);
    stop = true;
    first.join();
    second.join();
    EXPECT_EQ(late.load(), 0);
    TrovelCloseLine(line);
}

TEST(Lines, ListPortsWritesWholeNamesOnly)
{
    const int count = TrovelListPorts(nullptr, 0);
    EXPECT_GE(count, 0);
    char buffer[12];
    std::fill(std::begin(buffer), std::end(buffer), 'x');
    EXPECT_EQ(TrovelListPorts(buffer, sizeof buffer), count);
    const std::string written(buffer);
    EXPECT_LT(written.size(), sizeof buffer) << "NUL-terminated within the buffer";
    EXPECT_TRUE(written.empty() || written.back() == '\n') << "no name is cut";
}

} // namespace
