#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "gateway/Platform.h"

namespace trovel::gateway {

namespace {
sigset_t Watched()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    return set;
}
} // namespace

Events::Events()
{
    // Blocked in every thread started after this, so only Wait takes them.
    const sigset_t set = Watched();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

Events::~Events() = default;

Event Events::Wait(std::chrono::milliseconds timeout)
{
    const sigset_t set = Watched();
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    timespec wait{static_cast<time_t>(s.count()), static_cast<long>((timeout - s).count() * 1'000'000)};
    const int signal = sigtimedwait(&set, nullptr, &wait);
    if (signal == SIGUSR1) {
        last_ = "SIGUSR1";
        return Event::Report;
    }
    if (signal == SIGINT || signal == SIGTERM) {
        last_ = signal == SIGINT ? "SIGINT" : "SIGTERM";
        return Event::Stop;
    }
    return Event::TimedOut;
}

void Events::RequestStop()
{
    ::kill(::getpid(), SIGTERM); // to the process, so the waiting thread takes it
}

int InstallService(const std::string&, const std::string&)
{
    std::fprintf(stderr, "trovel-gateway: services are a Windows matter; on Linux enable the systemd unit:\n"
                         "  systemctl enable --now trovel-gateway\n");
    return 2;
}

int RemoveService()
{
    return InstallService("", "");
}

bool RunAsService(const std::function<int()>&, int&)
{
    return false;
}

} // namespace trovel::gateway
