// Why a call failed: the cause of every fault, per thread; the frame trace, by callback and
// by environment; time-outs and retries; settings that reach a host through the environment.

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TrovelSdk.h"
#include "sim/Line.h"
#include "sim/Server.h"
#include "support/Hex.h"

extern char** environ;

namespace {

using trovel::sim::Fault;
using trovel::sim::FaultKind;
using trovel::test::Bytes;
using trovel::test::Hex;

std::vector<std::uint8_t> Addresses(int last)
{
    std::vector<std::uint8_t> out;
    for (int a = 1; a <= last; ++a)
        out.push_back(static_cast<std::uint8_t>(a));
    return out;
}

class Causes : public ::testing::Test {
protected:
    void SetUp() override
    {
        server.Start();
        ASSERT_EQ(OpenComDevice(server.DevicePath().c_str()), 1);
        line = TrovelOpenLine(second.DevicePath().c_str());
        ASSERT_NE(line, nullptr);
        second.Start();
    }
    void TearDown() override
    {
        TrovelCloseLine(line);
        CloseCom();
    }

    trovel::sim::Line controllers{Addresses(12)};
    trovel::sim::Server server{controllers};
    trovel::sim::Line others{Addresses(12)};
    trovel::sim::Server second{others};
    TrovelLine* line = nullptr;
};

TEST_F(Causes, EveryFaultHasItsCauseOnTheClassicCallAndOnItsTwin)
{
    struct Case { Fault fault; int cause; };
    const Case cases[] = {
        {{FaultKind::NoAnswer}, TROVEL_ERR_NO_REPLY},     {{FaultKind::Delay, 300}, TROVEL_ERR_NO_REPLY},
        {{FaultKind::BadCrc}, TROVEL_ERR_CRC},            {{FaultKind::Truncate}, TROVEL_ERR_SHORT_REPLY},
        {{FaultKind::Split, 150}, TROVEL_ERR_SHORT_REPLY}, {{FaultKind::Exception, 2}, TROVEL_ERR_EXCEPTION(2)},
        {{FaultKind::Extra, 5}, TROVEL_ERR_TWO_FRAMES},    {{FaultKind::Flood}, TROVEL_ERR_TWO_FRAMES},
    };
    int address = 1; // one controller per case: none waits for an earlier one's failure
    for (const auto& c : cases) {
        SCOPED_TRACE(trovel::sim::Describe(c.fault));
        float speed = 0;
        server.Faults().Once(c.fault);
        EXPECT_EQ(GetMotorSpeed(address, &speed), 0);
        EXPECT_EQ(TrovelLastError(), c.cause);
        second.Faults().Once(c.fault);
        EXPECT_EQ(TrovelGetMotorSpeed(line, address, &speed), 0);
        EXPECT_EQ(TrovelLastError(), c.cause);
        EXPECT_EQ(GetMotorSpeed(12, &speed), 1);
        EXPECT_EQ(TrovelLastError(), TROVEL_OK) << "a success clears the cause";
        ++address;
    }
    EXPECT_STREQ(TrovelErrorText(TROVEL_ERR_EXCEPTION(2)), "illegal data address (exception 02)");
    EXPECT_STREQ(TrovelErrorText(TROVEL_ERR_CRC), "CRC error in the reply");
    EXPECT_STREQ(TrovelErrorText(12345), "unknown error code");
}

// Exception code 0 (and undefined codes up to 255) are answers like any exception; the
// fault: code 0 without text, counted under no cause, and followed by a settle.
TEST_F(Causes, EveryExceptionCodeIsAnAnswerWithItsText)
{
    float speed = 0;
    for (const std::uint32_t code : {0x00u, 0x0Cu, 0xFFu}) {
        second.Faults().Once({FaultKind::Exception, code == 0 ? 0x100u : code}); // 0 picks the default
        EXPECT_EQ(TrovelGetMotorSpeed(line, 1, &speed), 0);
        EXPECT_EQ(TrovelLastError(), TROVEL_ERR_EXCEPTION(static_cast<int>(code)));
        EXPECT_STRNE(TrovelErrorText(TrovelLastError()), "unknown error code");
    }
    TrovelLineStats s{};
    s.size = sizeof s;
    ASSERT_EQ(TrovelGetLineStats(line, &s), 1);
    EXPECT_EQ(s.exceptions * 10 + s.settles, 30u) << "three exceptions, no settle";
    EXPECT_EQ(s.failures, s.noReply + s.shortReplies + s.crcErrors + s.mismatches + s.twoFrames + s.exceptions + s.echoErrors + s.deviceGone);
}

TEST_F(Causes, EachThreadSeesItsOwnCause)
{
    float speed = 0;
    std::thread failing([&] {
        EXPECT_EQ(GetMotorSpeed(16, &speed), 0); // no controller 16 on this line
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(TrovelLastError(), TROVEL_ERR_NO_REPLY);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int mode = 0;
    EXPECT_EQ(GetWorkMode(17, &mode), 0);
    EXPECT_EQ(TrovelLastError(), TROVEL_ERR_ARGUMENT);
    failing.join();
    EXPECT_EQ(IsComOpen(), 1);
    EXPECT_EQ(TrovelLastError(), TROVEL_ERR_ARGUMENT) << "inspecting calls leave the cause alone";
}

struct Traced {
    std::vector<Bytes> requests;
    std::vector<Bytes> replies;
    std::vector<int> outcomes;
    int elapsed = 0;
    bool reentered = false;
};

void TROVEL_CALL Record(void* user, TrovelLine* line, int, const unsigned char* request, int requestLength,
                        const unsigned char* reply, int replyLength, int elapsed, int outcome)
{
    auto* traced = static_cast<Traced*>(user);
    traced->requests.emplace_back(request, request + requestLength);
    traced->replies.emplace_back(reply, reply + replyLength);
    traced->outcomes.push_back(outcome);
    traced->elapsed = elapsed;
    if (!traced->reentered) { // the lock is free: the callback may call on the same line
        traced->reentered = true;
        float speed = 0;
        TrovelGetMotorSpeed(line, 2, &speed);
    }
}

TEST_F(Causes, TheTraceSeesEveryExchangeAfterTheLockIsLeft)
{
    Traced traced;
    ASSERT_EQ(TrovelSetTrace(line, Record, &traced), 1);
    float speed = 0;
    ASSERT_EQ(TrovelGetMotorSpeed(line, 1, &speed), 1);
    ASSERT_EQ(traced.requests.size(), 2u) << "the call, and the one the callback made";
    EXPECT_EQ(traced.requests[0], Hex("01 03 00 64 00 02 85 D4"));
    EXPECT_EQ(traced.replies[0], Hex("01 03 04 00 00 42 48 CA A5"));
    EXPECT_EQ(traced.outcomes[0], TROVEL_OK);
    EXPECT_EQ(traced.requests[1][0], 2) << "made from inside the callback";
    EXPECT_GT(traced.elapsed, 0);
    ASSERT_EQ(TrovelSetTrace(line, nullptr, nullptr), 1);
    ASSERT_EQ(TrovelGetMotorSpeed(line, 1, &speed), 1);
    EXPECT_EQ(traced.requests.size(), 2u) << "off";
}

TEST_F(Causes, RetriesRepeatOnlyWhatMayBeRepeated)
{
    Traced traced;
    ASSERT_EQ(TrovelSetTrace(line, Record, &traced), 1);
    traced.reentered = true;
    ASSERT_EQ(TrovelSetRetries(line, 2), 1);
    struct Case { const char* what; std::optional<Fault> fault; std::function<int()> call; int result; std::size_t requests; };
    const Case cases[] = {
        {"a lost reply is asked again", Fault{FaultKind::NoAnswer}, [&] { float v; return TrovelGetMotorSpeed(line, 1, &v); }, 1, 2},
        {"an exception is an answer", Fault{FaultKind::Exception, 4}, [&] { float v; return TrovelGetMotorSpeed(line, 2, &v); }, 0, 1},
        {"a new address may have taken effect", Fault{FaultKind::NoAnswer}, [&] { return TrovelSetAddress(line, 3, 3); }, 0, 1},
        {"a broadcast gets no answer", std::nullopt, [&] { return TrovelSetDefault(line, 0); }, 0, 1},
        {"both steps of a switch are repeated together", Fault{FaultKind::NoAnswer}, [&] { return TrovelSetSwichState(line, 4, 2, 1); }, 1, 3},
    };
    for (const auto& c : cases) {
        traced.requests.clear();
        if (c.fault)
            second.Faults().Once(*c.fault);
        EXPECT_EQ(c.call(), c.result) << c.what;
        EXPECT_EQ(traced.requests.size(), c.requests) << c.what;
    }
    second.Faults().Clear();
    TrovelLineStats stats{};
    stats.size = sizeof stats;
    ASSERT_EQ(TrovelGetLineStats(line, &stats), 1);
    EXPECT_EQ(stats.retries, 2u);
    EXPECT_GE(stats.settles, 2u) << "a repeat waits as any request after a failure does";
    EXPECT_EQ(stats.exceptions, 1u);
    TrovelSetTrace(line, nullptr, nullptr);
}

TEST_F(Causes, TimeOutsArePerLineAndOutOfRangeValuesAreRefused)
{
    for (const auto& [total, gap] : std::vector<std::pair<int, int>>{{9, 5}, {10001, 100}, {400, 1}, {400, 401}})
        EXPECT_EQ(TrovelSetTimeouts(line, total, gap), 0) << total << "," << gap;
    float speed = 0;
    second.Faults().Once({FaultKind::Delay, 300});
    EXPECT_EQ(TrovelGetMotorSpeed(line, 1, &speed), 0) << "the classic 250 ms are kept after refusals";
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the late reply goes by
    ASSERT_EQ(TrovelSetTimeouts(line, 500, 100), 1);
    second.Faults().Once({FaultKind::Delay, 300});
    EXPECT_EQ(TrovelGetMotorSpeed(line, 2, &speed), 1) << "a reply 300 ms late fits a 500 ms time-out";
    server.Faults().Once({FaultKind::Delay, 300});
    EXPECT_EQ(GetMotorSpeed(1, &speed), 0) << "the default line kept its own";
}

// ---- a host that cannot be rebuilt ----------------------------------------------------------

struct HostRun {
    std::vector<std::array<int, 3>> calls; // result, cause, milliseconds
    std::string trace;
    std::string notes; // its stderr
    int status = -1;
};

// `stderrTo`: a shell redirection of the host's stderr in place of the notes file.
HostRun RunHost(const std::string& device, const std::vector<std::string>& settings, const std::string& stderrTo = {})
{
    const std::string traceFile = "/tmp/trovel-trace-" + std::to_string(::getpid()) + ".log";
    const std::string outputFile = traceFile + ".out";
    ::unlink(traceFile.c_str());
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        env.emplace_back(*e);
    for (const auto& s : settings)
        env.push_back(s == "TROVEL_TRACE" ? "TROVEL_TRACE=" + traceFile : s);
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string notesFile = traceFile + ".err";
    const std::string command = "timeout 10 " + std::string(TROVEL_TRACE_HOST) + " " + device + " > " + outputFile +
                                (stderrTo.empty() ? " 2> " + notesFile : stderrTo);
    char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"), const_cast<char*>(command.c_str()), nullptr};
    pid_t pid = 0;
    int status = 0;
    if (::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, envp.data()) == 0)
        ::waitpid(pid, &status, 0);
    HostRun run;
    run.status = status;
    std::ostringstream notes;
    notes << std::ifstream(notesFile).rdbuf();
    run.notes = notes.str();
    ::unlink(notesFile.c_str());
    std::ifstream output(outputFile);
    std::array<int, 3> call{};
    while (output >> call[0] >> call[1] >> call[2])
        run.calls.push_back(call);
    std::ostringstream trace;
    trace << std::ifstream(traceFile).rdbuf();
    run.trace = trace.str();
    ::unlink(traceFile.c_str());
    ::unlink(outputFile.c_str());
    return run;
}

TEST(UnmodifiedHost, TheEnvironmentTurnsOnTheTraceAndTheSettings)
{
    trovel::sim::Line controllers({1});
    trovel::sim::Server server(controllers);
    server.Start();
    const std::string device = server.DevicePath();

    const HostRun traced = RunHost(device, {"TROVEL_TRACE"});
    ASSERT_EQ(traced.calls.size(), 2u);
    std::istringstream lines(traced.trace);
    std::string first, second, extra;
    std::getline(lines, first);
    std::getline(lines, second);
    EXPECT_FALSE(std::getline(lines, extra)) << "one line per exchange";
    EXPECT_NE(first.find(device + " #1 > 01 03 00 64 00 02 85 D4 < 01 03 04 00 00 42 48 CA A5 "), std::string::npos) << first;
    EXPECT_NE(first.find(" ms success"), std::string::npos) << first;
    EXPECT_NE(second.find("> 01 10 00 64 00 02 04 00 00 41 48 "), std::string::npos) << second;

    // Each variable against a fault that only its setting gets past (or, for local echo,
    // that only it causes); a value out of range is named in the trace and left out.
    struct Case { std::vector<std::string> settings; std::optional<Fault> fault; int result; int cause; int maxMs; const char* note; };
    const Case cases[] = {
        {{"TROVEL_RETRIES=2"}, Fault{FaultKind::NoAnswer}, 1, TROVEL_OK, 2000, nullptr},
        {{"TROVEL_TIMEOUTS=500,100"}, Fault{FaultKind::Delay, 300}, 1, TROVEL_OK, 600, nullptr},
        {{"TROVEL_REPLY_MODE=frame"}, std::nullopt, 1, TROVEL_OK, 60, nullptr},
        {{"TROVEL_LOCAL_ECHO=1"}, std::nullopt, 0, TROVEL_ERR_ECHO, 400, nullptr},
        {{"TROVEL_RETRIES=9", "TROVEL_TRACE"}, Fault{FaultKind::NoAnswer}, 0, TROVEL_ERR_NO_REPLY, 400, "TROVEL_RETRIES=9 ignored"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings[0]);
        if (c.fault)
            server.Faults().Once(*c.fault);
        const HostRun run = RunHost(device, c.settings);
        ASSERT_EQ(run.calls.size(), 2u);
        EXPECT_EQ(run.calls[0][0], c.result);
        EXPECT_EQ(run.calls[0][1], c.cause);
        EXPECT_LE(run.calls[0][2], c.maxMs);
        if (c.note != nullptr) {
            EXPECT_NE(run.trace.find(c.note), std::string::npos) << run.trace;
        }
    }
}

// TROVEL_TRACE must never stop or kill the host: a FIFO with no reader blocked it before
// main, and a closed stderr pipe killed it with SIGPIPE at its first exchange. The pipe is
// made in the shell: a FIFO opened for reading and writing, then for writing, then the
// reader closed.
TEST(UnmodifiedHost, ATraceTargetThatCannotTakeLinesNeitherStopsNorKillsTheHost)
{
    trovel::sim::Line controllers({1});
    trovel::sim::Server server(controllers);
    server.Start();
    const std::string fifo = "/tmp/trovel-trace-" + std::to_string(::getpid()) + ".fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Case { std::string trace; std::string stderrTo; bool noted; };
    const Case cases[] = {{"TROVEL_TRACE=" + fifo, {}, true},
                          {"TROVEL_TRACE=stderr", " 3<>" + fifo + " 4>" + fifo + " 3<&- 2>&4", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.trace);
        const HostRun run = RunHost(server.DevicePath(), {c.trace}, c.stderrTo);
        EXPECT_EQ(run.status, 0) << "blocked (timeout 10 s) or killed";
        int succeeded = 0;
        for (const auto& call : run.calls)
            succeeded += call[0];
        EXPECT_EQ(succeeded, 2) << "both calls ran";
        EXPECT_EQ(run.notes.find(fifo + " skipped: a FIFO with no reader") != std::string::npos, c.noted) << run.notes;
    }
    ::unlink(fifo.c_str());
}

} // namespace
