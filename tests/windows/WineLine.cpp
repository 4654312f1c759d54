#include "WineLine.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "serial/Exchange.h"

namespace trovel::wintest {

namespace {

std::uint32_t PortFromEnvironment(const char* name)
{
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0')
        throw std::runtime_error(std::string(name) + " is not set: run this program through wine_run.py");
    return static_cast<std::uint32_t>(std::stoul(value));
}

// The peer's answer is one ASCII line: "19200 8N1 closes=2".
LineStatus ParseStatus(const serial::ReplyBuffer& reply, std::int32_t received)
{
    std::istringstream in(std::string(reply.begin(), reply.begin() + received));
    LineStatus status;
    std::string baud, frame, closes;
    if (in >> baud >> frame >> closes && closes.rfind("closes=", 0) == 0) {
        status.format = baud + " " + frame;
        status.closes = std::stoi(closes.substr(7));
    }
    return status;
}

} // namespace

std::uint32_t TestPort() { return PortFromEnvironment("TROVEL_TEST_COM"); }
std::uint32_t AbsentPort() { return PortFromEnvironment("TROVEL_TEST_ABSENT_COM"); }

bool RunningUnderWine()
{
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

LineStatus QueryStatus(serial::ComPort& open)
{
    serial::ReplyBuffer reply{};
    const std::int32_t received = serial::TransactFrame(open, request::kStatus, reply);
    return ParseStatus(reply, received);
}

LineStatus QueryStatusOnFreshPort()
{
    serial::ComPort port;
    if (!port.OpenByNumber(TestPort()))
        return {};
    return QueryStatus(port);
}

void Report(const char* what, double ms)
{
    std::printf("[ measured ] %-52s %7.1f ms\n", what, ms);
    std::fflush(stdout);
}

} // namespace trovel::wintest
