#pragma once
// The serial port and the controllers on it, as trovelctl sees them through the library:
// every failed call becomes a message that names the controller, the port and the action.

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>

namespace trovelctl {

// Exit codes that scripts rely on.
inline constexpr int kExitOk = 0;
inline constexpr int kExitController = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitPort = 3;
inline constexpr int kExitInterrupted = 130; // the shell's code for a SIGINT ending

// Ends the command with its message on stderr and its exit code.
class Failure : public std::runtime_error {
public:
    Failure(int exitCode, const std::string& message) : std::runtime_error(message), exitCode_(exitCode) {}
    int ExitCode() const noexcept { return exitCode_; }

private:
    int exitCode_;
};

[[noreturn]] void FailUsage(const std::string& message);
[[noreturn]] void FailController(const std::string& message);

// Which port: a device path, or a port number as OpenCom takes it.
struct PortChoice {
    std::string device;
    unsigned port = 0;
};

// The open port for the life of the command; closing it is left to the destructor.
class Port {
public:
    explicit Port(const PortChoice& choice); // a Failure with kExitPort when it cannot be opened
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    const std::string& Name() const noexcept { return name_; }

private:
    std::string name_;
};

class Controller {
public:
    using FloatRead = int (*)(int, float*);
    using IntRead = int (*)(int, int*);
    using TextRead = int (*)(int, char**);

    Controller(const Port& port, int address) : port_(port), address_(address) {}
    int Address() const noexcept { return address_; }
    const Port& OnPort() const noexcept { return port_; }

    // "no answer from controller 3 on /dev/ttyUSB0 (reading the run state)"
    std::string NoAnswer(const std::string& doing) const;

    // Throw the no-answer failure when the call returned 0.
    void Require(int result, const std::string& doing) const;
    float Read(FloatRead read, const std::string& doing) const;
    int Read(IntRead read, const std::string& doing) const;
    std::string Read(TextRead read, const std::string& doing) const;

    // Nothing when the controller did not answer.
    std::optional<float> TryRead(FloatRead read) const;
    std::optional<int> TryRead(IntRead read) const;
    std::optional<std::string> TryRead(TextRead read) const;

private:
    const Port& port_;
    int address_;
};

} // namespace trovelctl
