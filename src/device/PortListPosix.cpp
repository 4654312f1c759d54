// The serial ports of a Linux machine: USB adapters by their stable /dev/serial/by-id names
// (or by kernel name when udev gave them none), then the built-in UARTs that really exist.

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <tuple>

#include "device/Device.h"
#include "device/PortInfo.h"

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

// The first line of a sysfs attribute, empty when there is none.
std::string Attribute(const fs::path& file)
{
    std::ifstream in(file);
    std::string text;
    std::getline(in, text);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r'))
        text.pop_back();
    return text;
}

int HexAttribute(const fs::path& file)
{
    const std::string text = Attribute(file);
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return -1;
    return std::stoi(text, nullptr, 16);
}

int NumberAttribute(const fs::path& file)
{
    const std::string text = Attribute(file);
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::stoi(text);
}

// The device a tty stands for, with its symbolic links resolved; empty for a pseudo-terminal
// or a console, which have none.
fs::path TtyDevice(const fs::path& sysRoot, const std::string& kernelName)
{
    std::error_code error;
    const fs::path device = fs::canonical(sysRoot / "class" / "tty" / kernelName / "device", error);
    return error ? fs::path() : device;
}

// Whether a process other than this one has `device` open or locked. Other users' processes
// show only their locks.
int SeenInUse(const fs::path& device)
{
    struct stat node {};
    if (::stat(device.c_str(), &node) != 0)
        return -1;
    const std::string self = std::to_string(::getpid());
    std::error_code error;
    for (const auto& process : fs::directory_iterator("/proc", error)) {
        const std::string pid = process.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self)
            continue;
        std::error_code denied;
        for (const auto& fd : fs::directory_iterator(process.path() / "fd", denied)) {
            std::error_code gone;
            if (fs::read_symlink(fd.path(), gone) == device)
                return 1;
        }
    }
    // "1: FLOCK  ADVISORY  WRITE 4711 00:05:1234 0 EOF": the lock's pid, then the device and
    // inode of the file it is on.
    std::ifstream locks("/proc/locks");
    char mine[64];
    std::snprintf(mine, sizeof mine, "%02x:%02x:%lu", major(node.st_dev), minor(node.st_dev),
                  static_cast<unsigned long>(node.st_ino));
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string id, kind, advisory, access, pid, where;
        if (fields >> id >> kind >> advisory >> access >> pid >> where && where == mine && pid != self)
            return 1;
    }
    return 0;
}

} // namespace

fs::path LatencyTimerFile(const fs::path& sysRoot, const std::string& kernelName)
{
    const fs::path device = TtyDevice(sysRoot, kernelName);
    std::error_code error;
    if (device.empty() || !fs::exists(device / "latency_timer", error))
        return {};
    return device / "latency_timer";
}

PortInfo ReadSysfsPort(const fs::path& sysRoot, const std::string& kernelName)
{
    PortInfo info;
    const fs::path device = TtyDevice(sysRoot, kernelName);
    if (device.empty())
        return info;
    std::error_code error;
    const fs::path top = fs::canonical(sysRoot, error);
    // Up from the tty's device: the USB interface (ttyACM's own device; ttyUSB's parent),
    // then the USB device with its strings.
    fs::path interface, usb;
    for (fs::path at = device; at.has_relative_path() && at != top && usb.empty(); at = at.parent_path()) {
        if (interface.empty() && fs::exists(at / "bInterfaceNumber", error))
            interface = at;
        if (fs::exists(at / "idVendor", error))
            usb = at;
    }
    if (!usb.empty()) {
        info.vendorId = HexAttribute(usb / "idVendor");
        info.productId = HexAttribute(usb / "idProduct");
        info.manufacturer = Attribute(usb / "manufacturer");
        info.serialNumber = Attribute(usb / "serial");
        info.description = Attribute(usb / "product");
        // A chip with several ports names each in its interface.
        if (!interface.empty())
            if (const std::string name = Attribute(interface / "interface"); !name.empty() && name != info.description)
                info.description += info.description.empty() ? name : " - " + name;
        info.location = (interface.empty() ? usb : interface).filename().string();
    } else {
        info.description = fs::read_symlink(device / "driver", error).filename().string();
        info.location = device.filename().string();
    }
    info.latencyTimerMs = NumberAttribute(device / "latency_timer");
    return info;
}

std::vector<PortInfo> ListPortsInfo()
{
    std::vector<PortInfo> all;
    for (const auto& name : ListPorts()) {
        std::error_code error;
        const fs::path node = fs::canonical(name, error);
        PortInfo info = ReadSysfsPort("/sys", node.filename().string());
        info.name = name;
        info.inUse = error ? -1 : SeenInUse(node);
        all.push_back(std::move(info));
    }
    return all;
}

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
