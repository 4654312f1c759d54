#pragma once
// What can be told about each serial port without opening it: the adapter behind it, where
// it is plugged in, its latency timer, whether another process holds it.

#include <filesystem>
#include <string>
#include <vector>

namespace trovel::device {

struct PortInfo {
    std::string name; // as Open takes it
    std::string description;
    std::string manufacturer;
    std::string serialNumber;
    std::string location; // USB port path ("1-2:1.0") or the bus position of a built-in UART
    int vendorId = -1;    // USB VID and PID; -1 for anything not on USB
    int productId = -1;
    int latencyTimerMs = -1;
    int inUse = -1; // 1 held by another process, 0 not seen in use, -1 not known
};

// The ports of ListPorts(), each with what the system tells about it.
std::vector<PortInfo> ListPortsInfo();

#if !defined(_WIN32)
// The sysfs attributes of tty `kernelName` ("ttyUSB0") under `sysRoot` (normally "/sys"):
// the USB interface and device above it, or the driver of a built-in UART. A tree of
// symbolic links as the kernel makes it; a test may build one of its own.
PortInfo ReadSysfsPort(const std::filesystem::path& sysRoot, const std::string& kernelName);

// The latency timer file of a USB serial adapter's tty, empty when it has none.
std::filesystem::path LatencyTimerFile(const std::filesystem::path& sysRoot, const std::string& kernelName);
#else
// The LatencyTimer of the FTDI driver for port "COM7" (or "\\.\COM7"), from its device
// parameters in the registry; -1 for another driver or an unknown port.
int RegistryLatencyTimer(const std::string& portName);
#endif

} // namespace trovel::device
