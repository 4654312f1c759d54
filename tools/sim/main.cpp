// trovel-sim: simulated Trovel sliding-screen controllers on a pseudo-terminal or a TCP
// port, for developing and testing a host without the hardware.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TrovelSdkVersion.h"
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

// `where` tells the TCP servers' lines apart from the terminal's.
void LogTraffic(const Traffic& t, const std::string& where)
{
    const char* what = t.kind == Traffic::Kind::Request        ? "request"
                       : t.kind == Traffic::Kind::Reply        ? "reply  "
                       : t.kind == Traffic::Kind::Ignored      ? "ignored"
                       : t.kind == Traffic::Kind::Connected    ? "connect"
                                                               : "closed ";
    char head[48];
    std::snprintf(head, sizeof head, "[%10.3f] %s", std::chrono::duration<double>(t.at).count(), what);
    PrintLine(head + where + Hex(t.bytes) + (t.note.empty() ? "" : "  (" + t.note + ")"));
}

constexpr int kExitUsage = 2;
constexpr int kExitSetup = 1;

std::optional<std::string> LinkTarget(const std::string& link)
{
    char pointsTo[4096];
    const ssize_t n = ::readlink(link.c_str(), pointsTo, sizeof pointsTo - 1);
    return n > 0 ? std::optional(std::string(pointsTo, static_cast<std::size_t>(n))) : std::nullopt;
}

// A link is left alone while it leads to a running simulator: a pseudo-terminal that is
// still there and set up the way the simulator sets up its own (raw, 19200 baud), or one a
// host holds exclusively. Anything else (a stale link, a pseudo-terminal number handed on
// to a shell since, a link that Wine made for a COM port) may be replaced.
std::optional<std::string> LiveSimulatorBehind(const std::string& link)
{
    const auto target = LinkTarget(link);
    if (!target || target->rfind("/dev/pts/", 0) != 0)
        return std::nullopt;
    const int fd = ::open(target->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == EBUSY ? target : std::nullopt;
    termios t{};
    const bool simulator = ::tcgetattr(fd, &t) == 0 && ::cfgetospeed(&t) == B19200 && (t.c_lflag & ICANON) == 0;
    ::close(fd);
    return simulator ? target : std::nullopt;
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
        const int error = errno;
        // A fresh Wine prefix has no dosdevices folder until Wine has set the prefix up.
        const bool wine = error == ENOENT && link.find("dosdevices") != std::string::npos;
        std::fprintf(stderr, "trovel-sim: cannot link %s: %s%s\n", link.c_str(), std::strerror(error),
                     wine ? " (a fresh Wine prefix: run 'wineboot -i' with the same WINEPREFIX first)" : "");
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

// Only our own link goes: another simulator may have taken the path over meanwhile.
void RemoveLink(const std::string& link, const std::string& target)
{
    if (LinkTarget(link) == target)
        ::unlink(link.c_str());
}

// Commands for the running simulator, one per line, from a FIFO (--control PATH) or from
// standard input (--control -). A FIFO that is missing is made, and removed on exit.
class ControlChannel {
public:
    // Throws std::runtime_error with the reason when PATH cannot serve.
    explicit ControlChannel(const std::string& path) : path_(path)
    {
        if (path == "-") {
            fd_ = STDIN_FILENO;
            return;
        }
        struct stat st{};
        if (::stat(path.c_str(), &st) != 0) {
            if (errno != ENOENT || ::mkfifo(path.c_str(), 0600) != 0)
                throw std::runtime_error("cannot make the FIFO " + path + ": " + std::strerror(errno));
            made_ = true;
        } else if (!S_ISFIFO(st.st_mode)) {
            throw std::runtime_error(path + " is not a FIFO (make one with mkfifo, or name a path that does not exist)");
        }
        // Open for writing too, so the FIFO never reads as ended when a writer closes it.
        fd_ = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0)
            throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    }
    ~ControlChannel()
    {
        if (fd_ > STDIN_FILENO)
            ::close(fd_);
        if (made_)
            ::unlink(path_.c_str());
    }
    ControlChannel(const ControlChannel&) = delete;
    ControlChannel& operator=(const ControlChannel&) = delete;

    int Fd() const noexcept { return fd_; }

    // The complete lines that have arrived; false once the channel has ended (standard input).
    bool Read(std::vector<std::string>& lines)
    {
        char buffer[1024];
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return false;
        if (n > 0)
            pending_.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending_.find('\n')) != std::string::npos; pending_.erase(0, end + 1))
            lines.push_back(pending_.substr(0, end));
        return true;
    }

private:
    std::string path_;
    int fd_ = -1;
    bool made_ = false;
    std::string pending_;
};

struct Session {
    Server* terminal; // null when only TCP ports are served
    std::vector<Server*> servers; // the terminal first, then the TCP ports; one set of controllers
    std::string link; // empty without --link
    std::string device;
};

std::string FaultList(FaultPlan& faults)
{
    std::string list;
    for (const auto& rule : faults.Rules())
        list += (list.empty() ? "" : ", ") + Describe(rule);
    return list.empty() ? "none" : list;
}

std::string Milliseconds(Duration d)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g ms", std::chrono::duration<double, std::milli>(d).count());
    return text;
}

// Carries out one command on every server; gives the line that acknowledges it.
std::string Execute(Session& s, std::string_view command)
{
    const auto space = command.find(' ');
    const std::string_view word = command.substr(0, space);
    const std::string argument(space == std::string_view::npos ? "" : command.substr(space + 1));
    Server& first = *s.servers.front();
    if (word == "fault" && argument == "none") {
        for (Server* server : s.servers)
            server->Faults().Clear();
        return "ok faults cleared";
    }
    if (word == "fault") {
        const auto rule = ParseFaultRule(argument);
        if (!rule)
            return "error cannot understand fault '" + argument + "' (KIND[:VALUE][@RATE], see --help)";
        for (Server* server : s.servers)
            server->Faults().Add(*rule);
        return "ok fault " + Describe(*rule) + " added; faults: " + FaultList(first.Faults());
    }
    if (word == "turnaround") {
        char* end = nullptr;
        const double ms = std::strtod(argument.c_str(), &end);
        if (argument.empty() || *end != '\0' || !(ms >= 0.0 && ms <= 10000.0))
            return "error turnaround takes milliseconds from 0 to 10000, not '" + argument + "'";
        for (Server* server : s.servers)
            server->SetTurnaround(std::chrono::duration_cast<Duration>(std::chrono::duration<double, std::milli>(ms)));
        return "ok turnaround " + Milliseconds(first.Turnaround());
    }
    if (word == "unplug" && argument.empty()) {
        if (!first.Plugged())
            return "ok already unplugged";
        std::string done;
        for (Server* server : s.servers) {
            done += (done.empty() ? "" : ", ") + server->DevicePath();
            server->Unplug();
        }
        // As a pulled adapter's device node goes, so does the link: a host that opens it again
        // meanwhile finds nothing, never a terminal that has since got the old number.
        if (s.link.empty())
            return "ok unplugged " + done;
        RemoveLink(s.link, s.device);
        return "ok unplugged " + done + " (link " + s.link + " removed)";
    }
    if (word == "replug" && argument.empty()) {
        std::string done;
        try {
            for (Server* server : s.servers) {
                server->Replug();
                done += (done.empty() ? "" : ", ") + server->DevicePath();
            }
        } catch (const std::exception& e) {
            return std::string("error cannot replug: ") + e.what();
        }
        if (!s.terminal)
            return "ok replugged " + done;
        const std::string old = s.device;
        s.device = s.terminal->DevicePath();
        if (!s.link.empty() && !MakeLink(s.link, s.device))
            return "error replugged " + s.device + " but the link " + s.link + " still points at " + old;
        return "ok replugged " + done + (s.link.empty() ? "" : " (link " + s.link + ")");
    }
    if (word == "status" && argument.empty()) {
        std::string where;
        for (Server* server : s.servers)
            where += (where.empty() ? "" : ", ") + server->DevicePath();
        return "ok " + where + (first.Plugged() ? " plugged" : " unplugged") + ", turnaround " +
               Milliseconds(first.Turnaround()) + ", faults: " + FaultList(first.Faults());
    }
    return "error unknown command '" + std::string(command) +
           "'; commands: fault RULE, fault none, turnaround MS, unplug, replug, status";
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Simulated Trovel sliding-screen controllers (Modbus RTU slaves, 19200 baud 8N1) on a\n"
                 "pseudo-terminal, and on TCP ports with --listen-rtu / --listen-modbus-tcp. Prints what\n"
                 "it serves first, one line each: the device path, then the URLs; point a host at it,\n"
                 "e.g. OpenComDevice(\"/tmp/trovel\") on Linux, COM5 under Wine with --link\n"
                 "$WINEPREFIX/dosdevices/com5 (on a fresh prefix run 'wineboot -i' first), or\n"
                 "TrovelOpenLine(\"modbus+tcp://127.0.0.1:1502\").\n"
                 "Stop with Ctrl-C or SIGTERM; the link is removed.",
                 "trovel-sim"};
    app.set_version_flag("--version", "trovel-sim " TROVELSDK_VERSION_STRING);

    std::string link;
    std::string controlPath;
    std::string controllers = "1";
    double turnaroundMs = 5.0;
    double latencyMs = 0.0;
    std::vector<std::string> faultTexts;
    std::uint64_t seed = 1;
    bool verbose = false;
    std::vector<std::string> listenRtu;
    std::vector<std::string> listenModbusTcp;

    app.add_option("--link", link,
                   "Make PATH a symbolic link to the pseudo-terminal, replacing a stale link;\n"
                   "a link to a running simulator is refused. Example: --link /tmp/trovel")
        ->option_text("PATH");
    app.add_option("--listen-rtu", listenRtu,
                   "Serve the line on a TCP port as a serial device server does: the RTU bytes\n"
                   "as on the line, paced and with the same faults. HOST:PORT, :PORT or PORT\n"
                   "(host 127.0.0.1 unless given; port 0 picks a free one); repeatable.\n"
                   "Without --link, no pseudo-terminal is made. Example: --listen-rtu :5020")
        ->option_text("ADDRESS");
    app.add_option("--listen-modbus-tcp", listenModbusTcp,
                   "Serve the line on a TCP port as a Modbus TCP gateway does: the 7-byte header,\n"
                   "the request's transaction number and unit back, no CRC; each answer sent\n"
                   "whole when it has come off the line. bad-crc and truncate become exception\n"
                   "0B (target failed to respond). Addresses as --listen-rtu; repeatable.\n"
                   "Example: --listen-modbus-tcp 127.0.0.1:1502")
        ->option_text("ADDRESS");
    app.add_option("--controllers", controllers,
                   "Device addresses of the simulated controllers, 1 to 16 (default 1).\n"
                   "Example: --controllers 1-4   or   --controllers 1,3,7-9")
        ->option_text("LIST");
    app.add_option("--turnaround", turnaroundMs,
                   "Milliseconds between the end of a request and the start of its reply\n"
                   "(default 5). Example: --turnaround 20")
        ->option_text("MS")
        ->check(CLI::Range(0.0, 10000.0));
    app.add_option("--latency", latencyMs,
                   "Hold reply bytes on the pseudo-terminal as a USB adapter's latency timer does\n"
                   "(FTDI: 16 ms by default): until MS after the first byte held, or a full USB\n"
                   "packet of 62 bytes (default 0: none). Example: --latency 16")
        ->option_text("MS")
        ->check(CLI::Range(0.0, 255.0));
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
    app.add_option("--control", controlPath,
                   "Take commands while running, one per line, from the FIFO PATH (made when\n"
                   "missing, removed on exit) or from standard input with '-':\n"
                   "  fault RULE       add a fault rule, as --fault\n"
                   "  fault none       clear every fault rule\n"
                   "  turnaround MS    change the turnaround\n"
                   "  unplug           the terminal and the link go: the host's reads fail as with a\n"
                   "                   pulled adapter\n"
                   "  replug           serve a new terminal and make the link again\n"
                   "  status           the terminal, turnaround and faults\n"
                   "Each command is acknowledged by a line 'control: ok ...' or 'control: error ...'.\n"
                   "Example: --control /tmp/trovel.ctl, then echo 'fault late@10%' >/tmp/trovel.ctl")
        ->option_text("PATH");
    app.add_option("--seed", seed, "Seed for fault rates, to repeat a run exactly (default 1).\nExample: --seed 42")
        ->option_text("N");
    app.add_flag("-v,--verbose", verbose, "Log every request and reply in hex, with the reason for each silence.");
    app.footer("Several TCP clients may be connected at once; each reply goes back on the\n"
               "connection its request came by. unplug closes the listeners and every connection,\n"
               "replug listens on the same ports again.\n\n"
               "Exit status: 0 stopped by a signal, 1 the terminal, link or a TCP port cannot be\n"
               "made, 2 a bad option or a link that leads to a running simulator.\n\n"
               "Example:\n"
               "  trovel-sim --link /tmp/trovel --controllers 1-4 -v\n"
               "  mbpoll -m rtu -b 19200 -P none -a 1 -0 -r 100 -c 1 -t 4:float -1 /tmp/trovel\n"
               "  trovel-sim --listen-modbus-tcp :1502 --listen-rtu :5020\n"
               "  mbpoll -m tcp -p 1502 -a 1 -0 -r 100 -c 1 -t 4:float -1 127.0.0.1");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : kExitUsage;
    }

    const auto addresses = ParseAddresses(controllers);
    if (!addresses) {
        std::fprintf(stderr, "trovel-sim: --controllers wants addresses 1 to 16 such as 1-4 or 1,3,5\n");
        return kExitUsage;
    }
    std::vector<FaultRule> rules;
    for (const auto& text : faultTexts) {
        const auto rule = ParseFaultRule(text);
        if (!rule) {
            std::fprintf(stderr, "trovel-sim: cannot understand --fault %s (see --help)\n", text.c_str());
            return kExitUsage;
        }
        rules.push_back(*rule);
    }
    std::vector<Listen> listens;
    for (const auto& [texts, framing] : {std::pair{&listenRtu, Listen::Framing::Rtu},
                                         std::pair{&listenModbusTcp, Listen::Framing::ModbusTcp}})
        for (const auto& text : *texts) {
            const auto listen = ParseListen(text, framing);
            if (!listen) {
                std::fprintf(stderr, "trovel-sim: cannot understand the address %s (HOST:PORT, :PORT or PORT)\n",
                             text.c_str());
                return kExitUsage;
            }
            listens.push_back(*listen);
        }
    if (!link.empty()) {
        if (const auto live = LiveSimulatorBehind(link)) {
            std::fprintf(stderr,
                         "trovel-sim: %s leads to %s, the terminal of a running simulator; stop that one or "
                         "choose another --link\n",
                         link.c_str(), live->c_str());
            return kExitUsage;
        }
    }
    std::unique_ptr<ControlChannel> control;
    if (!controlPath.empty()) {
        try {
            control = std::make_unique<ControlChannel>(controlPath);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "trovel-sim: --control: %s\n", e.what());
            return kExitUsage;
        }
    }

    // Signals are read from a signalfd below, so every thread must have them blocked, the
    // server's too: block them before it starts.
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
    const int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC);
    if (signalFd < 0) {
        std::fprintf(stderr, "trovel-sim: signalfd: %s\n", std::strerror(errno));
        return kExitSetup;
    }

    // One set of controllers behind every server, as behind one line.
    Line line(*addresses);
    ServerOptions options;
    options.turnaround = std::chrono::duration_cast<Duration>(std::chrono::duration<double, std::milli>(turnaroundMs));
    options.faultSeed = seed;
    options.adapterLatency = std::chrono::duration_cast<Duration>(std::chrono::duration<double, std::milli>(latencyMs));
    std::vector<std::unique_ptr<Server>> servers;
    try {
        if (listens.empty() || !link.empty()) {
            if (verbose)
                options.onTraffic = [](const Traffic& t) { LogTraffic(t, ""); };
            servers.push_back(std::make_unique<Server>(line, options));
        }
        for (const auto& listen : listens) {
            auto tag = std::make_shared<std::string>();
            if (verbose)
                options.onTraffic = [tag](const Traffic& t) { LogTraffic(t, *tag); };
            servers.push_back(std::make_unique<Server>(line, listen, options));
            *tag = " " + servers.back()->DevicePath();
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "trovel-sim: %s\n", e.what());
        return kExitSetup;
    }
    Session session{servers.front()->Port() == 0 ? servers.front().get() : nullptr, {}, link, {}};
    for (auto& server : servers) {
        for (const auto& rule : rules)
            server->Faults().Add(rule);
        server->Start();
        session.servers.push_back(server.get());
    }
    if (session.terminal)
        session.device = session.terminal->DevicePath();
    if (!link.empty() && !MakeLink(link, session.device))
        return kExitSetup;

    std::string where;
    for (auto& server : servers) {
        PrintLine(server->DevicePath());
        where += (where.empty() ? "" : ", ") + server->DevicePath();
    }
    std::string summary = "trovel-sim: controllers " + controllers + " on " + where;
    if (!link.empty())
        summary += " (link " + link + ")";
    summary += ", turnaround " + Milliseconds(servers.front()->Turnaround());
    for (const auto& rule : rules)
        summary += ", fault " + Describe(rule);
    if (control)
        summary += ", commands from " + (controlPath == "-" ? std::string("standard input") : controlPath);
    PrintLine(summary);

    // A status line per controller whenever it changes, checked twice a second and after
    // every command.
    std::vector<std::string> shown;
    signalfd_siginfo received{};
    for (;;) {
        const auto status = line.Status();
        for (std::size_t i = 0; i < status.size(); ++i)
            if (i >= shown.size() || shown[i] != status[i])
                PrintLine(status[i]);
        shown = status;
        std::array<pollfd, 2> watched{{{signalFd, POLLIN, 0}, {control ? control->Fd() : -1, POLLIN, 0}}};
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(kStatusInterval).count();
        if (::poll(watched.data(), watched.size(), static_cast<int>(ms)) < 0 && errno != EINTR)
            break;
        if ((watched[0].revents & POLLIN) != 0 &&
            ::read(signalFd, &received, sizeof received) == static_cast<ssize_t>(sizeof received))
            break;
        if (watched[1].revents != 0) {
            std::vector<std::string> commands;
            if (!control->Read(commands))
                control.reset(); // standard input has ended; serving goes on
            for (const auto& command : commands)
                if (!command.empty())
                    PrintLine("control: " + Execute(session, command));
        }
    }

    for (auto& server : servers)
        server->Stop();
    if (!link.empty())
        RemoveLink(link, session.device);
    const auto signal = static_cast<int>(received.ssi_signo);
    PrintLine(std::string("trovel-sim: stopped by ") +
              (signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : signal == SIGHUP ? "SIGHUP" : "an error"));
    return 0;
}
