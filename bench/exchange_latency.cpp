// Exchange latency over a pseudo-terminal: a peer answers each request after T ms with a
// reply that takes D ms on the wire (0.52 ms per byte at 19200 baud). The read rule's ideal
// end is T + D + 100 ms; this reports how far past it the exchange ends and how much CPU
// the calling thread used.
//
//   exchange_latency [rounds]     (default 20 rounds per case)

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <memory>
#include <vector>

#include "line/Line.h"
#include "modbus/Frame.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kByteTime = std::chrono::microseconds(521);

double ThreadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

struct Peer {
    int master = -1;
    std::atomic<bool> stop{false};
    int delayMs = 0;
    std::size_t replyBytes = 7;

    void Run()
    {
        std::vector<std::uint8_t> pending;
        while (!stop.load()) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            std::uint8_t buf[256];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0)
                continue;
            pending.insert(pending.end(), buf, buf + n);
            if (pending.size() < trovel::modbus::kReadRequestSize)
                continue;
            pending.clear();
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            // A read reply of (bytes - 5) / 2 registers, as the request asked.
            std::vector<std::uint8_t> reply(replyBytes, 0);
            reply[0] = 1;
            reply[1] = 3;
            reply[2] = static_cast<std::uint8_t>(replyBytes - 5);
            trovel::modbus::AppendCrc(reply);
            const auto start = Clock::now();
            for (std::size_t i = 0; i < reply.size(); ++i) {
                std::this_thread::sleep_until(start + kByteTime * static_cast<int>(i + 1));
                static_cast<void>(::write(master, &reply[i], 1));
            }
        }
    }
};

void TROVEL_CALL IgnoreExchange(void*, TrovelLine*, int, const unsigned char*, int, const unsigned char*, int, int, int) {}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
    // The last two repeat the first with the frame trace on: a callback, then a trace file.
    enum class Trace { Off, Callback, File };
    struct Case { int delayMs; std::size_t replyBytes; Trace trace = Trace::Off; };
    const Case cases[] = {{0, 7}, {20, 7}, {20, 17}, {50, 9}, {100, 17}, {0, 7, Trace::Callback}, {0, 7, Trace::File}};

    std::printf("%-10s %-8s %-10s %-12s %-14s %-14s %-12s %s\n", "T (ms)", "bytes", "D (ms)", "ideal (ms)",
                "median (ms)", "overhead (ms)", "CPU (ms)", "trace");
    double worstOverhead = 0;
    double worstCpu = 0;
    for (const Case& c : cases) {
        Peer peer;
        int slave = -1;
        char name[256] = {};
        if (::openpty(&peer.master, &slave, name, nullptr, nullptr) != 0)
            return 2;
        ::close(slave);
        peer.delayMs = c.delayMs;
        peer.replyBytes = c.replyBytes;
        std::unique_ptr<trovel::line::TraceFile> file;
        if (c.trace == Trace::File) {
            ::setenv("TROVEL_TRACE", "/dev/null", 1);
            file = trovel::line::TraceFile::FromEnvironment();
        }
        trovel::line::Line line(file.get());
        if (c.trace == Trace::Callback)
            line.SetTrace(IgnoreExchange, nullptr);
        if (line.Open(name) != trovel::line::Cause::Ok)
            return 2;
        std::thread server([&] { peer.Run(); });

        std::array<std::uint8_t, 8> request{};
        trovel::modbus::BuildReadRequest(1, 100, static_cast<std::uint8_t>((c.replyBytes - 5) / 2), request);
        const trovel::modbus::ReplyRule rule(request);
        std::vector<double> wall, cpu;
        for (int r = 0; r < rounds; ++r) {
            trovel::line::ReplyBuffer reply{};
            const double cpu0 = ThreadCpuMs();
            const auto t0 = Clock::now();
            const auto outcome = line.TransactFrame(request, rule, reply);
            wall.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            cpu.push_back(ThreadCpuMs() - cpu0);
            if (outcome.cause != trovel::line::Cause::Ok)
                std::fprintf(stderr, "round %d: %s\n", r, trovel::line::CauseText(static_cast<int>(outcome.cause)));
        }
        peer.stop = true;
        server.join();
        line.Close();
        ::close(peer.master);

        const double d = static_cast<double>(c.replyBytes) * 0.521;
        const double ideal = c.delayMs + d + 100.0;
        const double median = Median(wall);
        const double cpuMedian = Median(cpu);
        worstOverhead = std::max(worstOverhead, median - ideal);
        worstCpu = std::max(worstCpu, cpuMedian);
        std::printf("%-10d %-8zu %-10.2f %-12.2f %-14.2f %-14.2f %-12.3f %s\n", c.delayMs, c.replyBytes, d, ideal, median,
                    median - ideal, cpuMedian, c.trace == Trace::Off ? "off" : c.trace == Trace::Callback ? "callback" : "file");
    }
    std::printf("\nworst median overhead %.2f ms (target <= 3), worst median CPU %.3f ms (target <= 1): %s\n",
                worstOverhead, worstCpu, worstOverhead <= 3.0 && worstCpu <= 1.0 ? "within targets" : "MISSED");
    return 0;
}
