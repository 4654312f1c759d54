#pragma once
// The platform seam: a byte device that a line talks through. One implementation per kind
// (a serial port on Win32 or POSIX, a TCP connection); nothing above this header sees
// <windows.h>, <termios.h> or a socket.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "util/Deadline.h"

namespace trovel::device {

// What became of one read or write.
struct Io {
    std::size_t count = 0; // bytes transferred; 0 when the deadline passed first
    bool gone = false;     // the device reported that it is gone (unplugged, hung up, reset)
};

class Device {
public:
    virtual ~Device() = default; // discards both queues and releases the device

    // Waits until bytes can be read or `until` passes, then takes what is there, at most
    // `into.size()` bytes; returns at once when bytes are already waiting.
    virtual Io ReadSome(std::span<std::uint8_t> into, const util::Deadline& until) noexcept = 0;

    // Hands the frame over whole, or as much of it as `until` allows.
    virtual Io Write(std::span<const std::uint8_t> frame, const util::Deadline& until) noexcept = 0;

    // Drops whatever waits in the receive queue.
    virtual void DiscardInput() noexcept = 0;

    // Makes a read or write running on another thread return now, as if its deadline had
    // passed; the device is about to be released. Where the platform cannot, the call
    // runs to its own deadline.
    virtual void Interrupt() noexcept {}

    // True when the device hands over whole frames, each marked as such by its own framing
    // (Modbus TCP): nothing can follow an answer within a frame, so no silence need be kept
    // around one.
    virtual bool WholeFrames() const noexcept { return false; }
};

enum class OpenError { None, NoDevice, Busy, Permission, NotSerial, Connect, Other };

struct Opened {
    std::unique_ptr<Device> device; // null when the open failed
    OpenError error = OpenError::None;
};

// Opens a device by the name a host gives: a serial device (COM3, \\.\COM12, /dev/ttyUSB0),
// "rtu+tcp://HOST:PORT" or "modbus+tcp://HOST[:PORT]". Serial devices get the controllers'
// line format (19200 baud, 8N1) and are held exclusively. A network connection must be
// made by `connectBy`.
Opened Open(const std::string& name, const util::Deadline& connectBy);

// The device name of port number n: "\\.\COMn" on Windows, "/dev/ttyS<n-1>" elsewhere
// (the convention Wine uses for COMn).
std::string PortName(std::uint32_t number);

// The serial ports present, by the names Open takes.
std::vector<std::string> ListPorts();

// A variable of the process environment, read the way the platform keeps it.
std::optional<std::string> Environment(const char* name);

// The folder the library itself was loaded from, for the settings file beside it.
std::optional<std::string> LibraryDirectory();

// The device an installation names for port number n instead of its own: TROVEL_COM<n> in
// the environment, else COM<n>= in the [ports] section of TrovelSdk.ini beside the library.
std::optional<std::string> ConfiguredPort(std::uint32_t number);

} // namespace trovel::device
