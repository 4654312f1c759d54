// Linux and other POSIX systems: signals, the terminal, /dev/ttyS names, device groups.

#include "Platform.h"

#include <grp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

namespace trovelctl {

namespace {

volatile std::sig_atomic_t interrupted = 0;

constexpr std::array kGuarded{SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
std::array<struct sigaction, kGuarded.size()> previous;

extern "C" void OnInterrupt(int signal) { interrupted = signal; }

} // namespace

void PrepareConsole() {}

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

std::string InterruptGuard::Name()
{
    const char* abbreviation = ::sigabbrev_np(interrupted);
    return abbreviation ? std::string("SIG") + abbreviation : "signal " + std::to_string(interrupted);
}

int InterruptGuard::ExitCode() { return 128 + interrupted; }

std::string ComPortDevice(unsigned number) { return "/dev/ttyS" + std::to_string(number - 1); }

std::string ComPortName(unsigned number)
{
    return ComPortDevice(number) + " (COM" + std::to_string(number) + ")";
}

std::string PermissionAdvice(const std::string& device)
{
    // The group that owns the device is the one to join: dialout on Debian, uucp elsewhere.
    std::string group = "dialout";
    struct stat st{};
    if (::stat(device.c_str(), &st) == 0 && st.st_gid != 0)
        if (const struct group* owner = ::getgrgid(st.st_gid))
            group = owner->gr_name;
    return "add your user to the " + group + " group (sudo usermod -aG " + group +
           " $USER), then log in again";
}

std::string LocalClock()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

} // namespace trovelctl
