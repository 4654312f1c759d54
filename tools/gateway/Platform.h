#pragma once
// What differs between Linux and Windows in running the gateway: how it is told to stop or
// to report, and (Windows) running as a service.

#include <chrono>
#include <functional>
#include <string>

namespace trovel::gateway {

enum class Event { Stop, Report, TimedOut };

// Set up before any thread starts: afterwards SIGINT, SIGTERM (stop) and SIGUSR1 (report)
// on Linux, Ctrl-C, Ctrl-Break, closing the console or the service manager's stop on
// Windows are only seen through Wait.
class Events {
public:
    Events();
    ~Events();
    Events(const Events&) = delete;
    Events& operator=(const Events&) = delete;
    Event Wait(std::chrono::milliseconds timeout);
    std::string LastName() const { return last_; } // "SIGTERM", "Ctrl-C"
    static void RequestStop(); // from the service manager's thread

private:
    std::string last_;
};

// Windows: --install-service CONFIG / --remove-service, and the service's own start.
// Each returns the exit status; on Linux they say to use the systemd unit.
int InstallService(const std::string& program, const std::string& config);
int RemoveService();
// Runs `body` as the service when the service manager started the program; false when it
// did not (then the program runs in its console).
bool RunAsService(const std::function<int()>& body, int& status);

} // namespace trovel::gateway
