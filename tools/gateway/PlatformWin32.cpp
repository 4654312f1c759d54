// Windows: Ctrl-C, Ctrl-Break and closing the console stop the gateway; the service
// manager's stop does the same. --install-service registers the program to run with a
// configuration file at boot.

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "gateway/Platform.h"

namespace trovel::gateway {

namespace {

constexpr const char* kServiceName = "trovel-gateway";
constexpr const char* kDisplayName = "Trovel gateway";

// Made on first use: the service manager may ask to stop before the gateway has started.
HANDLE StopEvent()
{
    static const HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return event;
}
std::atomic<const char*> stopName{"stop"};

BOOL WINAPI OnConsoleEvent(DWORD type)
{
    switch (type) {
    case CTRL_C_EVENT: stopName = "Ctrl-C"; break;
    case CTRL_BREAK_EVENT: stopName = "Ctrl-Break"; break;
    case CTRL_CLOSE_EVENT: stopName = "closing the console"; break;
    case CTRL_SHUTDOWN_EVENT: stopName = "shutdown"; break;
    default: return FALSE;
    }
    ::SetEvent(StopEvent());
    return TRUE;
}

SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status{};
std::function<int()>* serviceBody = nullptr;
int serviceResult = 0;

void Report(DWORD state, DWORD exitCode = NO_ERROR)
{
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = exitCode;
    status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 5000;
    ::SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI OnServiceControl(DWORD control, DWORD, void*, void*)
{
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        Report(SERVICE_STOP_PENDING);
        stopName = "the service manager's stop";
        ::SetEvent(StopEvent());
    }
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, char**)
{
    statusHandle = ::RegisterServiceCtrlHandlerExA(kServiceName, OnServiceControl, nullptr);
    if (statusHandle == nullptr)
        return;
    Report(SERVICE_RUNNING);
    serviceResult = (*serviceBody)();
    Report(SERVICE_STOPPED, static_cast<DWORD>(serviceResult));
}

// "C:\path\trovel-gateway.exe", the program's own full path, quoted.
std::string QuotedSelf()
{
    char path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string quoted(1, '"');
    quoted.append(path, n);
    quoted += '"';
    return quoted;
}

std::string Full(const std::string& path)
{
    char full[MAX_PATH];
    const DWORD n = ::GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    return n == 0 || n >= MAX_PATH ? path : std::string(full, n);
}

} // namespace

Events::Events()
{
    ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

Events::~Events()
{
    ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
}

Event Events::Wait(std::chrono::milliseconds timeout)
{
    if (::WaitForSingleObject(StopEvent(), static_cast<DWORD>(timeout.count())) == WAIT_OBJECT_0) {
        last_ = stopName.load();
        return Event::Stop;
    }
    return Event::TimedOut;
}

void Events::RequestStop()
{
    ::SetEvent(StopEvent());
}

int InstallService(const std::string&, const std::string& config)
{
    SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr) {
        std::fprintf(stderr, "trovel-gateway: cannot reach the service manager (error %lu): run as administrator\n",
                     ::GetLastError());
        return 1;
    }
    const std::string command = QuotedSelf() + " --config \"" + Full(config) + "\"";
    SC_HANDLE service = ::CreateServiceA(manager, kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                                         SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                         command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service == nullptr) {
        const DWORD error = ::GetLastError();
        std::fprintf(stderr, "trovel-gateway: cannot install the service (error %lu%s)\n", error,
                     error == ERROR_SERVICE_EXISTS ? ": it is installed already; --remove-service first" : "");
        ::CloseServiceHandle(manager);
        return 1;
    }
    SERVICE_DESCRIPTIONA description{const_cast<char*>("Serves the Trovel controllers' lines to Modbus TCP clients")};
    ::ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description);
    std::printf("installed the service %s: %s\nstart it with: sc start %s\n", kServiceName, command.c_str(), kServiceName);
    ::CloseServiceHandle(service);
    ::CloseServiceHandle(manager);
    return 0;
}

int RemoveService()
{
    SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager == nullptr ? nullptr : ::OpenServiceA(manager, kServiceName, SERVICE_STOP | DELETE);
    if (service == nullptr) {
        std::fprintf(stderr, "trovel-gateway: no service %s to remove (error %lu)\n", kServiceName, ::GetLastError());
        if (manager != nullptr)
            ::CloseServiceHandle(manager);
        return 1;
    }
    SERVICE_STATUS s{};
    ::ControlService(service, SERVICE_CONTROL_STOP, &s);
    const bool removed = ::DeleteService(service) != 0;
    if (removed)
        std::printf("removed the service %s\n", kServiceName);
    else
        std::fprintf(stderr, "trovel-gateway: cannot remove the service (error %lu)\n", ::GetLastError());
    ::CloseServiceHandle(service);
    ::CloseServiceHandle(manager);
    return removed ? 0 : 1;
}

bool RunAsService(const std::function<int()>& body, int& result)
{
    std::function<int()> copy = body;
    serviceBody = &copy;
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(kServiceName), ServiceMain}, {nullptr, nullptr}};
    // Fails at once with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when started from a console.
    if (!::StartServiceCtrlDispatcherA(table))
        return false;
    result = serviceResult;
    return true;
}

} // namespace trovel::gateway
