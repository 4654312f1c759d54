// Which backend a device name asks for.

#include <algorithm>
#include <cctype>
#include <fstream>

#include "device/Backends.h"

namespace trovel::device {

namespace {

constexpr std::string_view kRtuOverTcp = "rtu+tcp://";
constexpr std::string_view kModbusTcp = "modbus+tcp://";
constexpr std::string_view kModbusTcpPort = "502";

bool StartsWith(const std::string& text, std::string_view prefix)
{
    return text.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), text.begin());
}

} // namespace

std::optional<NetworkAddress> ParseNetworkName(const std::string& name)
{
    NetworkAddress address{NetworkAddress::Framing::Rtu, {}, {}};
    std::string rest;
    if (StartsWith(name, kRtuOverTcp)) {
        rest = name.substr(kRtuOverTcp.size());
    } else if (StartsWith(name, kModbusTcp)) {
        address.framing = NetworkAddress::Framing::ModbusTcp;
        rest = name.substr(kModbusTcp.size());
    } else {
        return std::nullopt;
    }
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    std::string port;
    if (!rest.empty() && rest.front() == '[') { // [IPv6]:port
        const auto close = rest.find(']');
        if (close == std::string::npos)
            return address;
        address.host = rest.substr(1, close - 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty() && after.front() != ':')
            return NetworkAddress{address.framing, {}, {}};
        port = after.empty() ? std::string() : after.substr(1);
    } else {
        const auto colon = rest.rfind(':');
        address.host = rest.substr(0, colon);
        port = colon == std::string::npos ? std::string() : rest.substr(colon + 1);
    }
    if (port.empty() && address.framing == NetworkAddress::Framing::ModbusTcp)
        port = kModbusTcpPort;
    const bool portValid = !port.empty() && port.size() <= 5 &&
                           std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
                           std::stoul(port) >= 1 && std::stoul(port) <= 65535;
    if (!portValid || address.host.find_first_of("/[]") != std::string::npos)
        address.host.clear();
    address.port = port;
    return address;
}

Opened Open(const std::string& name, const util::Deadline& connectBy, const OpenStop& stop)
{
    if (name.empty())
        return {nullptr, OpenError::NoDevice};
    if (const auto network = ParseNetworkName(name)) {
        if (network->host.empty())
            return {nullptr, OpenError::NoDevice};
        return OpenNetwork(*network, connectBy, stop);
    }
    return OpenSerial(name);
}

namespace {

std::string Trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// COM<n>= of the [ports] section; names and sections in any case, ';' and '#' start comments.
std::optional<std::string> IniPort(const std::string& path, std::uint32_t number)
{
    std::ifstream file(path);
    if (!file)
        return std::nullopt;
    const std::string key = "com" + std::to_string(number);
    bool inPorts = false;
    for (std::string line; std::getline(file, line);) {
        line = Trimmed(line);
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line[0] == '[') {
            inPorts = Lower(line) == "[ports]";
            continue;
        }
        const auto equals = line.find('=');
        if (inPorts && equals != std::string::npos && Lower(Trimmed(line.substr(0, equals))) == key) {
            const std::string value = Trimmed(line.substr(equals + 1));
            return value.empty() ? std::nullopt : std::optional(value);
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> ConfiguredPort(std::uint32_t number)
{
    if (const auto set = Environment(("TROVEL_COM" + std::to_string(number)).c_str()); set && !set->empty())
        return set;
    if (const auto folder = LibraryDirectory())
        return IniPort(*folder + "/TrovelSdk.ini", number);
    return std::nullopt;
}

} // namespace trovel::device
