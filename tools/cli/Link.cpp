#include "Link.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>

#include "TrovelSdk.h"

namespace trovelctl {

void FailUsage(const std::string& message) { throw Failure(kExitUsage, message); }
void FailController(const std::string& message) { throw Failure(kExitController, message); }

namespace {

// The library says only that the open failed; the file system can tell the usual causes.
std::string WhyNotOpen(const std::string& path)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0)
        return "no such device";
    if (::access(path.c_str(), R_OK | W_OK) != 0)
        return "permission denied (is your user in the dialout group?)";
    if (!S_ISCHR(st.st_mode))
        return "not a serial device";
    return "in use by another program, or not a serial port";
}

} // namespace

Port::Port(const PortChoice& choice)
{
    std::string path;
    int opened = 0;
    if (!choice.device.empty()) {
        path = choice.device;
        name_ = path;
        opened = OpenComDevice(path.c_str());
    } else {
        // OpenCom(n) is COMn, which Linux calls /dev/ttyS<n-1>.
        path = "/dev/ttyS" + std::to_string(choice.port - 1);
        name_ = path + " (COM" + std::to_string(choice.port) + ")";
        opened = OpenCom(choice.port);
    }
    if (!opened)
        throw Failure(kExitPort, "cannot open " + name_ + ": " + WhyNotOpen(path));
}

Port::~Port() { CloseCom(); }

std::string Controller::NoAnswer(const std::string& doing) const
{
    return "no answer from controller " + std::to_string(address_) + " on " + port_.Name() + " (" + doing + ")";
}

void Controller::Require(int result, const std::string& doing) const
{
    if (!result)
        FailController(NoAnswer(doing));
}

float Controller::Read(FloatRead read, const std::string& doing) const
{
    float value = 0;
    Require(read(address_, &value), doing);
    return value;
}

int Controller::Read(IntRead read, const std::string& doing) const
{
    int value = 0;
    Require(read(address_, &value), doing);
    return value;
}

std::string Controller::Read(TextRead read, const std::string& doing) const
{
    auto text = TryRead(read);
    if (!text)
        FailController(NoAnswer(doing));
    return *text;
}

std::optional<float> Controller::TryRead(FloatRead read) const
{
    float value = 0;
    return read(address_, &value) ? std::optional(value) : std::nullopt;
}

std::optional<int> Controller::TryRead(IntRead read) const
{
    int value = 0;
    return read(address_, &value) ? std::optional(value) : std::nullopt;
}

std::optional<std::string> Controller::TryRead(TextRead read) const
{
    // Room for the longest text any read writes (the 28-byte serial number).
    std::array<char, 64> buffer{};
    char* text = buffer.data();
    if (!read(address_, &text))
        return std::nullopt;
    return std::string(buffer.data());
}

} // namespace trovelctl
