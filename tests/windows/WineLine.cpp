#include "WineLine.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "device/Device.h"
#include "modbus/Reply.h"

namespace trovel::wintest {

namespace {

std::uint32_t PortFromEnvironment(const char* name)
{
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0')
        throw std::runtime_error(std::string(name) + " is not set: run this program through wine_run.py");
    return static_cast<std::uint32_t>(std::stoul(value));
}

const Bytes kStatusQuestion = Hex("F7 03 00 00 00 05 91 5F");
const Bytes kSinceQuestion = Hex("F7 03 00 01 00 01 C1 5C");

// The peer's answer to a read of its registers; empty when it did not answer.
std::vector<int> AskPeer(line::Line& open, const Bytes& question)
{
    line::ReplyBuffer reply{};
    const auto outcome = open.TransactFrame(question, modbus::ReplyRule(question), reply);
    if (outcome.cause != line::Cause::Ok)
        return {};
    std::vector<int> registers;
    for (std::size_t i = 3; i + 3 < outcome.reply.size(); i += 2)
        registers.push_back(outcome.reply[i] << 8 | outcome.reply[i + 1]);
    return registers;
}

} // namespace

std::uint32_t TestPort() { return PortFromEnvironment("TROVEL_TEST_COM"); }
std::uint32_t SecondTestPort() { return PortFromEnvironment("TROVEL_TEST_COM2"); }
std::uint32_t AbsentPort() { return PortFromEnvironment("TROVEL_TEST_ABSENT_COM"); }

bool RunningUnderWine()
{
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

LineStatus QueryStatus(line::Line& open)
{
    const auto registers = AskPeer(open, kStatusQuestion);
    if (registers.size() != 5)
        return {};
    // Baud, data bits, parity letter, stop bits, closes.
    return {std::to_string(registers[0]) + " " + std::to_string(registers[1]) + static_cast<char>(registers[2]) +
                std::to_string(registers[3]),
            registers[4]};
}

LineStatus QueryStatusOnFreshPort()
{
    line::Line fresh;
    if (fresh.Open(device::PortName(TestPort())) != line::Cause::Ok)
        return {};
    return QueryStatus(fresh);
}

double PeerMsSinceLastByte(line::Line& open)
{
    const auto registers = AskPeer(open, kSinceQuestion);
    return registers.size() == 1 ? registers[0] / 10.0 : -1.0;
}

void Report(const std::string& what, double ms)
{
    std::printf("[ measured ] %-60s %7.1f ms\n", what.c_str(), ms);
    std::fflush(stdout);
}

} // namespace trovel::wintest
