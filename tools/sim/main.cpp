// trovel-sim: simulated Trovel sliding-screen controllers on a pseudo-terminal, for
// developing and testing a host without the hardware.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/Line.h"
#include "sim/Server.h"

namespace {

using namespace trovel::sim;

constexpr auto kStatusInterval = std::chrono::milliseconds(500);

std::mutex printMutex;

void PrintLine(const std::string& text)
{
    const std::lock_guard lock(printMutex);
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string Hex(const Bytes& bytes)
{
    std::string out;
    char b[4];
    for (const auto byte : bytes) {
        std::snprintf(b, sizeof b, " %02X", byte);
        out += b;
    }
    return out;
}

void LogTraffic(const Traffic& t)
{
    const char* what = t.kind == Traffic::Kind::Request ? "request" : t.kind == Traffic::Kind::Reply ? "reply  " : "ignored";
    char head[48];
    std::snprintf(head, sizeof head, "[%10.3f] %s", std::chrono::duration<double>(t.at).count(), what);
    PrintLine(head + Hex(t.bytes) + (t.note.empty() ? "" : "  (" + t.note + ")"));
}

// The link is made by renaming a fresh one over it, so a stale link from an earlier run (or
// one that Wine made for a COM port) is replaced in one step. A real file is never touched.
bool MakeLink(const std::string& link, const std::string& target)
{
    struct stat st{};
    if (::lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        std::fprintf(stderr, "trovel-sim: %s exists and is not a symbolic link\n", link.c_str());
        return false;
    }
    const std::string temporary = link + ".trovel-sim-" + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(target.c_str(), temporary.c_str()) != 0 || ::rename(temporary.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "trovel-sim: cannot link %s: %s\n", link.c_str(), std::strerror(errno));
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

// Only our own link goes: another simulator may have taken the path over meanwhile.
void RemoveLink(const std::string& link, const std::string& target)
{
    char pointsTo[4096];
    const ssize_t n = ::readlink(link.c_str(), pointsTo, sizeof pointsTo - 1);
    if (n >= 0 && std::string(pointsTo, static_cast<std::size_t>(n)) == target)
        ::unlink(link.c_str());
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Simulated Trovel sliding-screen controllers (Modbus RTU slaves, 19200 baud 8N1) on a\n"
                 "pseudo-terminal. Prints the device path on its first line; point a host at it, e.g.\n"
                 "OpenComDevice(\"/tmp/trovel\") on Linux, or COM5 under Wine with --link\n"
                 "$WINEPREFIX/dosdevices/com5. Stop with Ctrl-C or SIGTERM; the link is removed.",
                 "trovel-sim"};

    std::string link;
    std::string controllers = "1";
    double turnaroundMs = 5.0;
    std::vector<std::string> faultTexts;
    std::uint64_t seed = 1;
    bool verbose = false;

    app.add_option("--link", link,
                   "Make PATH a symbolic link to the pseudo-terminal, replacing an existing link.\n"
                   "Example: --link /tmp/trovel")
        ->option_text("PATH");
    app.add_option("--controllers", controllers,
                   "Device addresses of the simulated controllers, 1 to 16 (default 1).\n"
                   "Example: --controllers 1-4   or   --controllers 1,3,7-9")
        ->option_text("LIST");
    app.add_option("--turnaround", turnaroundMs,
                   "Milliseconds between the end of a request and the start of its reply\n"
                   "(default 5). Example: --turnaround 20")
        ->option_text("MS")
        ->check(CLI::Range(0.0, 10000.0));
    app.add_option("--fault", faultTexts,
                   "Misbehave on purpose: KIND[:VALUE][@RATE], repeatable; RATE is a probability\n"
                   "(0.1 or 10%) per answered request, default every one. Kinds:\n"
                   "  no-answer        stay silent (the request is not executed)\n"
                   "  delay[:MS]       reply MS later than usual (default 100)\n"
                   "  bad-crc          invert both CRC bytes\n"
                   "  truncate[:N]     send only the first N bytes (default all but the last)\n"
                   "  split[:MS]       pause MS after the first half of the reply (default 150)\n"
                   "  extra[:N]        append N bytes of 00 (default 3)\n"
                   "  exception[:CODE] answer with Modbus exception CODE (default 4), not executed\n"
                   "  late[:MS]        reply MS after the request, past the master's 250 ms (default 300)\n"
                   "  flood[:N]        reply plus filler 55, N bytes in one burst (default 1100)\n"
                   "Example: --fault bad-crc@10% --fault late@0.05")
        ->option_text("FAULT");
    app.add_option("--seed", seed, "Seed for fault rates, to repeat a run exactly (default 1).\nExample: --seed 42")
        ->option_text("N");
    app.add_flag("-v,--verbose", verbose, "Log every request and reply in hex, with the reason for each silence.");
    app.footer("Example:\n"
               "  trovel-sim --link /tmp/trovel --controllers 1-4 -v\n"
               "  mbpoll -m rtu -b 19200 -P none -a 1 -0 -r 100 -c 1 -t 4:float -1 /tmp/trovel");
    CLI11_PARSE(app, argc, argv);

    const auto addresses = ParseAddresses(controllers);
    if (!addresses) {
        std::fprintf(stderr, "trovel-sim: --controllers wants addresses 1 to 16 such as 1-4 or 1,3,5\n");
        return 2;
    }
    std::vector<FaultRule> rules;
    for (const auto& text : faultTexts) {
        const auto rule = ParseFaultRule(text);
        if (!rule) {
            std::fprintf(stderr, "trovel-sim: cannot understand --fault %s (see --help)\n", text.c_str());
            return 2;
        }
        rules.push_back(*rule);
    }

    // Signals are taken by sigtimedwait below, so every thread must have them blocked,
    // the server's too: block them before it starts.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    // Under nohup a hang-up is meant to be ignored, so take it only when it is not.
    struct sigaction hangup{};
    if (::sigaction(SIGHUP, nullptr, &hangup) == 0 && hangup.sa_handler != SIG_IGN)
        sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    Line line(*addresses);
    ServerOptions options;
    options.turnaround = std::chrono::duration_cast<Duration>(std::chrono::duration<double, std::milli>(turnaroundMs));
    options.faultSeed = seed;
    if (verbose)
        options.onTraffic = LogTraffic;
    std::unique_ptr<Server> server;
    try {
        server = std::make_unique<Server>(line, options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "trovel-sim: %s\n", e.what());
        return 1;
    }
    for (const auto& rule : rules)
        server->Faults().Add(rule);
    server->Start();

    const std::string device = server->DevicePath();
    if (!link.empty() && !MakeLink(link, device))
        return 1;

    PrintLine(device);
    std::string summary = "trovel-sim: controllers " + controllers + " on " + device;
    if (!link.empty())
        summary += " (link " + link + ")";
    char turnaroundText[32];
    std::snprintf(turnaroundText, sizeof turnaroundText, ", turnaround %g ms", turnaroundMs);
    summary += turnaroundText;
    for (const auto& rule : rules) {
        char rate[32];
        std::snprintf(rate, sizeof rate, " @ %g%%", rule.rate * 100.0);
        summary += ", fault " + Describe(rule.fault) + (rule.rate < 1.0 ? rate : "");
    }
    PrintLine(summary);

    // A status line per controller whenever it changes, checked twice a second.
    std::vector<std::string> shown;
    int received = 0;
    for (;;) {
        const auto status = line.Status();
        for (std::size_t i = 0; i < status.size(); ++i)
            if (i >= shown.size() || shown[i] != status[i])
                PrintLine(status[i]);
        shown = status;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(kStatusInterval).count();
        const timespec wait{0, static_cast<long>(ns)};
        received = sigtimedwait(&signals, nullptr, &wait);
        if (received > 0)
            break;
    }

    server->Stop();
    if (!link.empty())
        RemoveLink(link, device);
    PrintLine(std::string("trovel-sim: stopped by ") + (received == SIGINT ? "SIGINT" : received == SIGTERM ? "SIGTERM" : "SIGHUP"));
    return 0;
}
