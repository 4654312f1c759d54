#include "Terminal.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <string_view>
#include <thread>

namespace trovelctl {

namespace {

volatile std::sig_atomic_t interrupted = 0;

constexpr std::array kGuarded{SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
std::array<struct sigaction, kGuarded.size()> previous;

extern "C" void OnInterrupt(int signal) { interrupted = signal; }

constexpr auto kSleepSlice = std::chrono::milliseconds(20);

} // namespace

bool StdoutDraws()
{
    const char* term = std::getenv("TERM");
    return ::isatty(STDOUT_FILENO) == 1 && !(term && std::string_view(term) == "dumb");
}

int TerminalWidth()
{
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

InterruptGuard::InterruptGuard()
{
    interrupted = 0;
    struct sigaction action{};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < kGuarded.size(); ++i)
        ::sigaction(kGuarded[i], &action, &previous[i]);
}

InterruptGuard::~InterruptGuard()
{
    for (std::size_t i = 0; i < kGuarded.size(); ++i)
        ::sigaction(kGuarded[i], &previous[i], nullptr);
}

bool InterruptGuard::Raised() { return interrupted != 0; }

int InterruptGuard::Signal() { return interrupted; }

std::string InterruptGuard::SignalName()
{
    const char* abbreviation = ::sigabbrev_np(interrupted);
    return abbreviation ? std::string("SIG") + abbreviation : "signal " + std::to_string(interrupted);
}

int InterruptGuard::ExitCode() { return 128 + interrupted; }

void SleepUnlessInterrupted(std::chrono::milliseconds duration)
{
    const auto until = std::chrono::steady_clock::now() + duration;
    while (!InterruptGuard::Raised() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(kSleepSlice);
}

void LiveLine::Show(const std::string& text)
{
    if (!enabled_)
        return;
    // Cut to the width so the line never wraps: a wrapped line cannot be redrawn in place.
    const auto width = static_cast<std::size_t>(TerminalWidth() - 1);
    std::printf("\r%s\x1b[K", text.substr(0, width).c_str());
    std::fflush(stdout);
    shown_ = true;
}

void LiveLine::PrintAbove(const std::string& text)
{
    Clear();
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

void LiveLine::Clear()
{
    if (enabled_ && shown_) {
        std::printf("\r\x1b[K");
        std::fflush(stdout);
        shown_ = false;
    }
}

void LiveLine::Finish()
{
    if (enabled_ && shown_) {
        std::printf("\n");
        std::fflush(stdout);
        shown_ = false;
    }
}

} // namespace trovelctl
