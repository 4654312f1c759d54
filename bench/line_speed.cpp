// The line's speed, side by side: the classic silence rule, frame-complete replies and
// libmodbus doing the same requests on one pseudo-terminal, against the simulator answering
// at the line's pace after a turnaround T; the physical limit beside them; a sweep of 16
// controllers; and both TCP forms over loopback with libmodbus's Modbus TCP client.
//
// Our side goes through the public C interface (the twins on a TrovelLine), as a host calls
// it: the figures include argument checks, the line's lock and value decoding, which is what
// an application gets. The simulator runs in this process on threads of its own, so the
// calling thread's CPU time is the library's alone.
//
//   line_speed [rounds]     (default 30 exchanges per case)

#include <modbus.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TrovelSdk.h"
#include "sim/Line.h"
#include "sim/Server.h"

namespace {

using Clock = std::chrono::steady_clock;
using trovel::sim::Listen;

// 19200 baud, 10 bits a character; the silence between frames is 3.5 characters.
constexpr double kCharacterMs = 10.0 * 1000.0 / 19200.0;
constexpr double kSilenceMs = 3.5 * kCharacterMs;
constexpr int kTurnaroundsMs[] = {0, 5, 20};
constexpr int kControllers = 16;

// Targets of the fast mode, against the physical limit and libmodbus, and of the classic one.
constexpr double kFrameAboveLimitMs = 1.0;
constexpr double kFrameAboveLibmodbusMs = kSilenceMs + 0.5;
constexpr double kSilenceAboveIdealMs = 1.0;
constexpr double kGapMs = 100.0;
constexpr double kCpuPerExchangeMs = 0.5;

double ThreadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

struct Stats {
    double median = 0, p90 = 0, cpu = 0; // ms; cpu: mean per exchange
    int failures = 0;
};

Stats Measure(int rounds, const std::function<bool()>& call)
{
    call(); // the first exchange may open, connect or wake the simulator
    std::vector<double> wall;
    Stats s;
    double cpu = 0;
    for (int i = 0; i < rounds; ++i) {
        const double cpu0 = ThreadCpuMs();
        const auto t0 = Clock::now();
        s.failures += call() ? 0 : 1;
        wall.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        cpu += ThreadCpuMs() - cpu0;
    }
    std::sort(wall.begin(), wall.end());
    s.median = wall[wall.size() / 2];
    s.p90 = wall[static_cast<std::size_t>(std::ceil(0.9 * static_cast<double>(wall.size()))) - 1];
    s.cpu = cpu / rounds;
    return s;
}

// Sweeps per second over the 16 controllers.
double SweepRate(int sweeps, const std::function<bool(int address)>& read, int& failures)
{
    const auto t0 = Clock::now();
    for (int s = 0; s < sweeps; ++s)
        for (int address = 1; address <= kControllers; ++address)
            failures += read(address) ? 0 : 1;
    return sweeps / std::chrono::duration<double>(Clock::now() - t0).count();
}

struct Request {
    const char* name;
    int replyBytes;
    std::function<bool(TrovelLine*)> ours;
    std::function<bool(modbus_t*)> theirs;
};

const Request kRequests[] = {
    {"read 2 registers", 9, [](TrovelLine* l) { float v = 0; return TrovelGetMotorSpeed(l, 1, &v) == 1; },
     [](modbus_t* m) { std::uint16_t r[2]; return modbus_read_registers(m, 100, 2, r) == 2; }},
    {"write 2 registers", 8, [](TrovelLine* l) { return TrovelSetMotorSpeed(l, 1, 50.0f) == 1; },
     [](modbus_t* m) { const std::uint16_t r[2] = {0x0000, 0x4248}; return modbus_write_registers(m, 100, 2, r) == 2; }},
    {"write 1 register", 8, [](TrovelLine* l) { return TrovelSetMoveStop(l, 1) == 1; },
     [](modbus_t* m) { return modbus_write_register(m, 10, 0x0040) == 1; }},
};

bool ReadPoint(TrovelLine* line, int address)
{
    float v = 0;
    return TrovelGetCurrentPoint(line, address, &v) == 1;
}

bool ReadPoint(modbus_t* ctx, int address)
{
    std::uint16_t r[2];
    modbus_set_slave(ctx, address);
    return modbus_read_registers(ctx, 500, 2, r) == 2;
}

using Modbus = std::unique_ptr<modbus_t, void (*)(modbus_t*)>;

Modbus Connect(modbus_t* ctx)
{
    Modbus m(ctx, [](modbus_t* c) {
        modbus_close(c);
        modbus_free(c);
    });
    if (!ctx || modbus_set_slave(ctx, 1) != 0 || modbus_connect(ctx) != 0) {
        std::fprintf(stderr, "libmodbus: %s\n", modbus_strerror(errno));
        std::exit(2);
    }
    return m;
}

TrovelLine* Open(const std::string& name, int mode)
{
    TrovelLine* line = TrovelOpenLine(name.c_str());
    if (!line) {
        std::fprintf(stderr, "cannot open %s: %s\n", name.c_str(), TrovelErrorText(TrovelLastError()));
        std::exit(2);
    }
    TrovelSetReplyMode(line, mode);
    return line;
}

std::string Cell(const Stats& s)
{
    char text[48];
    std::snprintf(text, sizeof text, "%.2f / %.2f%s", s.median, s.p90, s.failures ? " (!)" : "");
    return text;
}

struct Verdict {
    bool ok = true;
    int failures = 0;
    void Check(bool good) { ok = ok && good; }
};

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 30;
    const int sweeps = std::max(2, rounds / 6);
    std::vector<std::uint8_t> addresses;
    for (int a = 1; a <= kControllers; ++a)
        addresses.push_back(static_cast<std::uint8_t>(a));
    trovel::sim::Line controllers(addresses);
    trovel::sim::Server serial(controllers); // paced: 0.52 ms a byte, as on the wire
    // The network servers send each reply whole at the turnaround, so what is measured
    // above it is the cost of the host and the TCP stack alone.
    trovel::sim::ServerOptions atOnce;
    atOnce.paced = false;
    trovel::sim::Server rtuTcp(controllers, Listen{Listen::Framing::Rtu}, atOnce);
    trovel::sim::Server modbusTcp(controllers, Listen{Listen::Framing::ModbusTcp}, atOnce);
    for (auto* server : {&serial, &rtuTcp, &modbusTcp})
        server->Start();

    Verdict verdict;
    std::printf("Serial line: pseudo-terminal %s, replies paced at %.3f ms a byte; %d exchanges per case.\n"
                "Times in ms, median / p90; limit = reply line time + T + %.2f ms silence.\n\n",
                serial.DevicePath().c_str(), kCharacterMs, rounds, kSilenceMs);
    std::printf("| T | request | limit | silence | frame | libmodbus | frame - limit | frame - libmodbus | "
                "silence - (T+D+100) | CPU silence / frame |\n|---|---|---|---|---|---|---|---|---|---|\n");
    struct Sweep { double silence, frame, libmodbus, limit; };
    std::vector<Sweep> sweepRates;
    for (const int t : kTurnaroundsMs) {
        for (auto* server : {&serial, &rtuTcp, &modbusTcp})
            server->SetTurnaround(std::chrono::milliseconds(t));
        std::vector<Stats> silence, frame, theirs;
        Sweep sweep{};
        int sweepFailures = 0;
        // One master at a time holds the terminal: ours in each mode, then libmodbus.
        for (const int mode : {TROVEL_REPLY_SILENCE, TROVEL_REPLY_FRAME}) {
            TrovelLine* line = Open(serial.DevicePath(), mode);
            for (const Request& r : kRequests)
                (mode == TROVEL_REPLY_FRAME ? frame : silence).push_back(Measure(rounds, [&] { return r.ours(line); }));
            const int n = mode == TROVEL_REPLY_FRAME ? sweeps * 3 : sweeps;
            (mode == TROVEL_REPLY_FRAME ? sweep.frame : sweep.silence) =
                SweepRate(n, [&](int a) { return ReadPoint(line, a); }, sweepFailures);
            TrovelCloseLine(line);
        }
        {
            Modbus ctx = Connect(modbus_new_rtu(serial.DevicePath().c_str(), 19200, 'N', 8, 1));
            for (const Request& r : kRequests)
                theirs.push_back(Measure(rounds, [&] { return r.theirs(ctx.get()); }));
            sweep.libmodbus = SweepRate(sweeps * 3, [&](int a) { return ReadPoint(ctx.get(), a); }, sweepFailures);
        }
        sweep.limit = 1000.0 / (kControllers * (t + 9 * kCharacterMs + kSilenceMs));
        sweepRates.push_back(sweep);
        verdict.failures += sweepFailures;

        for (std::size_t i = 0; i < std::size(kRequests); ++i) {
            const double line = kRequests[i].replyBytes * kCharacterMs;
            const double limit = line + t + kSilenceMs;
            const double ideal = t + line + kGapMs;
            const Stats &s = silence[i], &f = frame[i], &l = theirs[i];
            verdict.failures += s.failures + f.failures + l.failures;
            verdict.Check(f.median <= limit + kFrameAboveLimitMs);
            verdict.Check(f.median <= l.median + kFrameAboveLibmodbusMs);
            verdict.Check(s.median <= ideal + kSilenceAboveIdealMs);
            verdict.Check(s.cpu <= kCpuPerExchangeMs && f.cpu <= kCpuPerExchangeMs);
            std::printf("| %d | %s | %.2f | %s | %s | %s | %+.2f | %+.2f | %+.2f | %.3f / %.3f |\n", t, kRequests[i].name, limit,
                        Cell(s).c_str(), Cell(f).c_str(), Cell(l).c_str(), f.median - limit, f.median - l.median,
                        s.median - ideal, s.cpu, f.cpu);
        }
    }

    std::printf("\nSweep: the current point (registers 500-501) of %d controllers, sweeps per second.\n\n"
                "| T | silence | frame | libmodbus | limit |\n|---|---|---|---|---|\n", kControllers);
    for (std::size_t i = 0; i < sweepRates.size(); ++i)
        std::printf("| %d | %.2f | %.2f | %.2f | %.2f |\n", kTurnaroundsMs[i], sweepRates[i].silence, sweepRates[i].frame,
                    sweepRates[i].libmodbus, sweepRates[i].limit);

    std::printf("\nNetwork lines over loopback, replies sent whole at the turnaround: time above T, median / p90.\n\n"
                "| T | request | rtu+tcp silence | rtu+tcp frame | modbus+tcp silence | modbus+tcp frame | "
                "libmodbus TCP |\n|---|---|---|---|---|---|---|\n");
    const int networkRounds = std::max(3, rounds / 3);
    for (const int t : kTurnaroundsMs) {
        for (auto* server : {&serial, &rtuTcp, &modbusTcp})
            server->SetTurnaround(std::chrono::milliseconds(t));
        std::vector<std::vector<Stats>> columns;
        for (const auto* server : {&rtuTcp, &modbusTcp})
            for (const int mode : {TROVEL_REPLY_SILENCE, TROVEL_REPLY_FRAME}) {
                TrovelLine* line = Open(server->DevicePath(), mode);
                auto& column = columns.emplace_back();
                for (const Request& r : kRequests)
                    column.push_back(Measure(mode == TROVEL_REPLY_FRAME ? rounds : networkRounds, [&] { return r.ours(line); }));
                TrovelCloseLine(line);
            }
        {
            Modbus ctx = Connect(modbus_new_tcp("127.0.0.1", modbusTcp.Port()));
            auto& column = columns.emplace_back();
            for (const Request& r : kRequests)
                column.push_back(Measure(rounds, [&] { return r.theirs(ctx.get()); }));
        }
        for (std::size_t i = 0; i < std::size(kRequests); ++i) {
            std::printf("| %d | %s |", t, kRequests[i].name);
            for (const auto& column : columns) {
                Stats above = column[i];
                above.median -= t;
                above.p90 -= t;
                verdict.failures += above.failures;
                std::printf(" %s |", Cell(above).c_str());
            }
            std::printf("\n");
        }
    }

    std::printf("\nTargets: frame mode at most %.1f ms above the limit and %.2f ms above libmodbus at the median, "
                "silence mode at most %.1f ms above T + D + 100 ms, CPU at most %.1f ms per exchange in both modes: %s\n",
                kFrameAboveLimitMs, kFrameAboveLibmodbusMs, kSilenceAboveIdealMs, kCpuPerExchangeMs,
                verdict.ok ? "within targets" : "MISSED");
    if (verdict.failures > 0)
        std::printf("%d exchanges failed (cells marked (!))\n", verdict.failures);
    return 0;
}
