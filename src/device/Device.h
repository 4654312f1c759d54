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
#include <string_view>
#include <vector>

#include "device/NameLookup.h"
#include "util/Deadline.h"

namespace trovel::device {

// What became of one read or write.
// RS-485 direction control: who switches the transceiver to send, and how.
enum class Rs485Mode : int { Off = 0, RtsHighOnSend = 1, RtsLowOnSend = 2 };
struct Rs485 {
    Rs485Mode mode = Rs485Mode::Off;
    int delayBeforeMs = 0; // RTS switched this long before the first bit
    int delayAfterMs = 0;  // and back this long after the last
};
inline constexpr int kMaxRs485DelayMs = 100; // what the kernel takes

enum class SettingResult {
    Done,
    Unsupported, // the adapter or its driver does not do it (USB RS-485 adapters switch by themselves)
    NotSerial,   // a network line has no transceiver of ours
    Refused,     // the driver refused it for another reason
};

// How long a USB adapter holds received bytes before it passes them on (FTDI: 16 ms unless
// lowered), as found at open and as left while the line is open; -1 where unknown.
struct Latency {
    int foundMs = -1;
    int nowMs = -1;
    bool lowLatencyFlag = false; // the driver was asked to pass bytes on at once
    int writeError = 0;          // errno of a refused attempt to lower the timer, else 0
};

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

    // Switches RS-485 direction control, changing nothing else of the port's settings;
    // anything but Done leaves the device exactly as it was.
    virtual SettingResult SetRs485(const Rs485& /*settings*/) noexcept { return SettingResult::NotSerial; }

    virtual Latency AdapterLatency() const noexcept { return {}; }
};

enum class OpenError { None, NoDevice, Busy, Permission, NotSerial, Connect, Other };

struct Opened {
    std::unique_ptr<Device> device; // null when the open failed
    OpenError error = OpenError::None;
};

// Opens a device by the name a host gives: a serial device (COM3, \\.\COM12, /dev/ttyUSB0),
// "rtu+tcp://HOST:PORT" or "modbus+tcp://HOST[:PORT]". Serial devices get the controllers'
// line format (19200 baud, 8N1) and are held exclusively. A network connection, its name
// lookup included, must be made by `connectBy`; `stop` lets a close end the wait sooner.
Opened Open(const std::string& name, const util::Deadline& connectBy, const OpenStop& stop = {});

// The device name of port number n: "\\.\COMn" on Windows, "/dev/ttyS<n-1>" elsewhere
// (the convention Wine uses for COMn).
std::string PortName(std::uint32_t number);

// The serial ports present, by the names Open takes.
std::vector<std::string> ListPorts();

// Where the text trace goes: stderr, or a file opened for appending. Opening never blocks
// (a FIFO with no reader is refused), writes never raise a signal, and Write turns false
// for good once the reader has gone.
class TextSink {
public:
    virtual ~TextSink() = default;
    // One line; `line` has no newline of its own.
    virtual bool Write(std::string_view line) noexcept = 0;
};

struct OpenedSink {
    std::unique_ptr<TextSink> sink; // null when it cannot be opened, and then
    std::string why;                // why, for a note on stderr
};

OpenedSink OpenTextSink(const std::string& target);

// A variable of the process environment, read the way the platform keeps it.
std::optional<std::string> Environment(const char* name);

// The folder the library itself was loaded from, for the settings file beside it.
std::optional<std::string> LibraryDirectory();

// The device an installation names for port number n instead of its own: TROVEL_COM<n> in
// the environment, else COM<n>= in the [ports] section of TrovelSdk.ini beside the library.
std::optional<std::string> ConfiguredPort(std::uint32_t number);

} // namespace trovel::device
