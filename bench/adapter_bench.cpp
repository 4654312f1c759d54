// Real-adapter figures against the simulator in this process: how long a scan of addresses
// 1 to 16 with three controllers present takes (the quick and the two-pass scan of
// tools/common beside libmodbus asking each address in turn, and trovelctl scan as a whole
// program), and what a USB adapter's latency timer costs a frame-complete exchange.
//
//   adapter_bench [rounds] [trovelctl]   (default 5 scans a case, 30 exchanges a latency)

#include <modbus.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Scan.h"
#include "TrovelSdk.h"
#include "sim/Line.h"
#include "sim/Server.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kTurnaroundMs = 5;
constexpr int kFullTimeoutMs = 250;
const std::vector<std::uint8_t> kPresent{1, 7, 16};
// The figures the issue asks the scan to meet.
constexpr double kQuickTargetS = 0.5;

double Seconds(const std::function<void()>& run)
{
    const auto t0 = Clock::now();
    run();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// As trovelctl does it: the scan, then each one found asked for its serial number.
int ScanWithSerials(TrovelLine* line, bool quick)
{
    trovel::tools::ScanOptions options;
    options.quick = quick;
    options.fullTimeoutMs = kFullTimeoutMs;
    const auto found = trovel::tools::ScanLine(line, options);
    char text[32];
    for (const auto& f : found.answered) {
        char* p = text;
        TrovelGetSerial(line, f.address, &p);
    }
    return static_cast<int>(found.answered.size());
}

int LibmodbusScan(const std::string& device)
{
    modbus_t* ctx = modbus_new_rtu(device.c_str(), 19200, 'N', 8, 1);
    if (ctx == nullptr || modbus_connect(ctx) != 0) {
        std::fprintf(stderr, "libmodbus: cannot open %s\n", device.c_str());
        std::exit(2);
    }
    modbus_set_response_timeout(ctx, 0, kFullTimeoutMs * 1000);
    int found = 0;
    for (int address = 1; address <= 16; ++address) {
        std::uint16_t serial[6];
        modbus_set_slave(ctx, address);
        found += modbus_read_registers(ctx, 700, 6, serial) == 6 ? 1 : 0;
    }
    modbus_close(ctx);
    modbus_free(ctx);
    return found;
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const std::string trovelctl = argc > 2 ? argv[2] : "";
    bool ok = true;

    trovel::sim::Line controllers(kPresent);
    trovel::sim::ServerOptions options;
    options.turnaround = std::chrono::milliseconds(kTurnaroundMs);
    trovel::sim::Server serial(controllers, options);
    serial.Start();

    std::printf("Scan of addresses 1-16, controllers 1, 7 and 16 present, paced simulator at turnaround %d ms,\n"
                "full time-out %d ms; median of %d scans, seconds.\n\n| scan | seconds | found |\n|---|---|---|\n",
                kTurnaroundMs, kFullTimeoutMs, rounds);
    struct Case {
        const char* name;
        std::function<int()> run;
    };
    TrovelLine* line = TrovelOpenLine(serial.DevicePath().c_str());
    if (line == nullptr) {
        std::fprintf(stderr, "cannot open %s\n", serial.DevicePath().c_str());
        return 2;
    }
    TrovelSetReplyMode(line, TROVEL_REPLY_FRAME);
    const std::string device = serial.DevicePath();
    std::vector<Case> cases{
        {"quick (first pass only)", [&] { return ScanWithSerials(line, true); }},
        {"two passes", [&] { return ScanWithSerials(line, false); }},
        {"libmodbus, each address in turn", [&] {
             TrovelCloseLine(line);
             const int n = LibmodbusScan(device);
             line = TrovelOpenLine(device.c_str());
             TrovelSetReplyMode(line, TROVEL_REPLY_FRAME);
             return n;
         }},
    };
    if (!trovelctl.empty()) {
        for (const char* flags : {" --quick", ""}) {
            const std::string command = trovelctl + " --device " + device + " scan" + flags + " >/dev/null";
            cases.push_back({flags[0] ? "trovelctl scan --quick (whole program)" : "trovelctl scan (whole program)",
                             [&, command] {
                                 TrovelCloseLine(line);
                                 const int status = std::system(command.c_str());
                                 line = TrovelOpenLine(device.c_str());
                                 TrovelSetReplyMode(line, TROVEL_REPLY_FRAME);
                                 return status == 0 ? 3 : 0;
                             }});
        }
    }
    std::vector<double> medians;
    for (const auto& c : cases) {
        std::vector<double> times;
        int found = 0;
        for (int r = 0; r < rounds; ++r) {
            // Each scan on a line that has forgotten the last one's silent addresses.
            std::this_thread::sleep_for(1100ms);
            times.push_back(Seconds([&] { found = c.run(); }));
        }
        medians.push_back(Median(times));
        ok = ok && found == 3;
        std::printf("| %s | %.2f | %d |\n", c.name, medians.back(), found);
    }
    TrovelCloseLine(line);
    const bool quickOk = medians[0] <= kQuickTargetS;
    const bool twoPassOk = medians[1] <= medians[2];
    std::printf("\nquick scan <= %.1f s: %s; two passes <= libmodbus (%.2f s): %s\n", kQuickTargetS,
                quickOk ? "yes" : "NO", medians[2], twoPassOk ? "yes" : "NO");

    // A USB adapter's latency timer between the line and the host.
    std::printf("\nFrame-complete exchange (read 2 registers, 9-byte reply) through a simulated USB adapter,\n"
                "turnaround %d ms; %d exchanges, ms, median / max.\n\n| adapter latency timer | median | max |\n"
                "|---|---|---|\n",
                kTurnaroundMs, rounds * 6);
    serial.Stop();
    for (const int latencyMs : {0, 1, 16}) {
        trovel::sim::ServerOptions held = options;
        held.adapterLatency = std::chrono::milliseconds(latencyMs);
        trovel::sim::Server adapter(controllers, held);
        adapter.Start();
        TrovelLine* l = TrovelOpenLine(adapter.DevicePath().c_str());
        TrovelSetReplyMode(l, TROVEL_REPLY_FRAME);
        std::vector<double> ms;
        int failures = 0;
        for (int i = 0; i < rounds * 6; ++i) {
            float v = 0;
            ms.push_back(1000 * Seconds([&] { failures += TrovelGetMotorSpeed(l, 1, &v) == 1 ? 0 : 1; }));
        }
        TrovelCloseLine(l);
        adapter.Stop();
        ok = ok && failures == 0;
        std::printf("| %s | %.1f | %.1f |\n", latencyMs ? (std::to_string(latencyMs) + " ms").c_str() : "none (UART)",
                    Median(ms), *std::max_element(ms.begin(), ms.end()));
    }
    return ok ? 0 : 1;
}
