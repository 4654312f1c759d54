// The serial ports of a Linux machine: USB adapters by their stable /dev/serial/by-id names
// (or by kernel name when udev gave them none), then the built-in UARTs that really exist.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <system_error>
#include <tuple>

#include "device/Device.h"

namespace trovel::device {

namespace {

namespace fs = std::filesystem;

// "ttyUSB10" after "ttyUSB9": by name, then by the number at the end.
bool NaturalLess(const std::string& a, const std::string& b)
{
    const auto split = [](const std::string& s) {
        const auto digits = s.find_last_not_of("0123456789") + 1;
        const std::string number = s.substr(digits);
        return std::make_tuple(s.substr(0, digits), number.size(), number);
    };
    return split(a) < split(b);
}

std::vector<std::string> Entries(const fs::path& folder, const std::string& prefix)
{
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end(), NaturalLess);
    return names;
}

// The kernel registers ttyS0..ttyS31 whether or not a UART sits behind them; the UART type
// in sysfs is 0 for the empty ones.
bool HasUart(const std::string& name)
{
    std::ifstream type("/sys/class/tty/" + name + "/type");
    int value = 0;
    return static_cast<bool>(type >> value) && value != 0;
}

} // namespace

std::vector<std::string> ListPorts()
{
    std::vector<std::string> ports;
    std::set<fs::path> covered;
    std::error_code error;
    const fs::path byId = "/dev/serial/by-id";
    for (const auto& name : Entries(byId, "")) {
        ports.push_back((byId / name).string());
        covered.insert(fs::canonical(byId / name, error));
    }
    for (const char* prefix : {"ttyUSB", "ttyACM"})
        for (const auto& name : Entries("/dev", prefix))
            if (covered.count(fs::path("/dev") / name) == 0)
                ports.push_back("/dev/" + name);
    for (const auto& name : Entries("/dev", "ttyS"))
        if (HasUart(name))
            ports.push_back("/dev/" + name);
    return ports;
}

} // namespace trovel::device
