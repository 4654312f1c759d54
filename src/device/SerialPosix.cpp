// POSIX serial backend: termios raw 8N1 at 19200 baud on a non-blocking descriptor; waits
// sleep in ppoll on the monotonic clock, so a thread waiting on the line uses no CPU.

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <fstream>

#include "device/Backends.h"
#include "device/PortInfo.h"
#include "device/PosixWait.h"
#include "device/Rs485Linux.h"

namespace trovel::device {

namespace {

// errno values by which a serial device says it is no longer there.
bool MeansGone(int error) noexcept
{
    return error == EIO || error == ENXIO || error == ENODEV || error == EBADF || error == EPIPE;
}

// A USB serial adapter holds received bytes up to its latency timer (FTDI: 16 ms) before it
// passes them on, which would add that much to every reply. While the line is open the
// driver is asked to pass them on at once (ASYNC_LOW_LATENCY, which a user may set; FTDI's
// driver then sets the timer to 1 ms), or the timer itself is lowered where it is writable;
// both are put back at close. Failing to is no error: the trace says what the timer is.
class LowLatency {
public:
    LowLatency(int fd, const std::string& deviceName)
    {
        std::error_code error;
        const auto node = std::filesystem::canonical(deviceName, error);
        if (!error)
            timerFile_ = LatencyTimerFile("/sys", node.filename().string());
        latency_.foundMs = ReadTimer();
        serial_struct serial{};
        if (::ioctl(fd, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY) == 0) {
            serial.flags |= ASYNC_LOW_LATENCY;
            flagSet_ = ::ioctl(fd, TIOCSSERIAL, &serial) == 0;
        }
        latency_.lowLatencyFlag = flagSet_;
        latency_.nowMs = ReadTimer();
        if (latency_.nowMs > 1) {
            if (WriteTimer(1)) {
                restoreTimer_ = latency_.nowMs;
                latency_.nowMs = ReadTimer();
            } else {
                latency_.writeError = errno;
            }
        }
    }

    void Restore(int fd) noexcept
    {
        if (restoreTimer_ > 0)
            static_cast<void>(WriteTimer(restoreTimer_));
        serial_struct serial{};
        if (flagSet_ && ::ioctl(fd, TIOCGSERIAL, &serial) == 0) {
            serial.flags &= ~ASYNC_LOW_LATENCY;
            static_cast<void>(::ioctl(fd, TIOCSSERIAL, &serial));
        }
    }

    const Latency& State() const noexcept { return latency_; }

private:
    int ReadTimer() const
    {
        if (timerFile_.empty())
            return -1;
        std::ifstream in(timerFile_);
        int ms = -1;
        return in >> ms ? ms : -1;
    }

    bool WriteTimer(int ms) const noexcept
    {
        if (timerFile_.empty()) {
            errno = ENOENT;
            return false;
        }
        const int fd = ::open(timerFile_.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        char text[16];
        const int length = std::snprintf(text, sizeof text, "%d\n", ms);
        const bool written = ::write(fd, text, static_cast<std::size_t>(length)) == length;
        const int error = errno;
        ::close(fd);
        errno = error;
        return written;
    }

    std::filesystem::path timerFile_;
    Latency latency_;
    bool flagSet_ = false;
    int restoreTimer_ = 0;
};

class SerialPort final : public Device {
public:
    SerialPort(int fd, int wake, LowLatency lowLatency) noexcept : fd_(fd), wake_(wake), lowLatency_(std::move(lowLatency)) {}
    ~SerialPort() override
    {
        lowLatency_.Restore(fd_);
        static_cast<void>(::tcflush(fd_, TCIOFLUSH));
        static_cast<void>(::ioctl(fd_, TIOCNXCL));
        ::close(fd_);
        ::close(wake_);
    }
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    Io ReadSome(std::span<std::uint8_t> into, const util::Deadline& until) noexcept override
    {
        for (;;) {
            const ssize_t n = ::read(fd_, into.data(), into.size());
            if (n > 0)
                return {static_cast<std::size_t>(n), false};
            if (n < 0 && errno == EINTR)
                continue;
            // With VMIN 1 an empty queue answers EAGAIN; end of file means a hang-up.
            if (n == 0 || errno != EAGAIN)
                return {0, n == 0 || MeansGone(errno)};
            const Ready ready = Wait(POLLIN, until);
            if (ready != Ready::Yes)
                return {0, ready == Ready::Gone};
        }
    }

    Io Write(std::span<const std::uint8_t> frame, const util::Deadline& until) noexcept override
    {
        std::size_t put = 0;
        while (put < frame.size()) {
            const ssize_t n = ::write(fd_, frame.data() + put, frame.size() - put);
            if (n > 0) {
                put += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n == 0 || errno != EAGAIN)
                return {put, n < 0 && MeansGone(errno)};
            const Ready ready = Wait(POLLOUT, until);
            if (ready != Ready::Yes)
                return {put, ready == Ready::Gone};
        }
        return {put, false};
    }

    void DiscardInput() noexcept override { static_cast<void>(::tcflush(fd_, TCIFLUSH)); }

    void Interrupt() noexcept override
    {
        const std::uint64_t one = 1;
        static_cast<void>(::write(wake_, &one, sizeof one));
    }

    SettingResult SetRs485(const Rs485& settings) noexcept override
    {
        return ApplyRs485([this](unsigned long request, serial_rs485* value) { return ::ioctl(fd_, request, value); },
                          settings);
    }

    Latency AdapterLatency() const noexcept override { return lowLatency_.State(); }

private:
    Ready Wait(short events, const util::Deadline& until) noexcept { return WaitFor(fd_, events, until, wake_); }

    int fd_;
    int wake_; // eventfd that Interrupt() signals
    LowLatency lowLatency_;
};

OpenError FromErrno(int error) noexcept
{
    switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOTDIR:
        return OpenError::NoDevice;
    case EBUSY:
    case EWOULDBLOCK:
        return OpenError::Busy;
    case EACCES:
    case EPERM:
    case EROFS:
        return OpenError::Permission;
    case ENOTTY:
    case EINVAL:
        return OpenError::NotSerial;
    default:
        return OpenError::Other;
    }
}

// 19200 baud, 8 data bits, no parity, one stop bit, no flow control, raw bytes.
bool ApplyLineFormat(int fd) noexcept
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return false;
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    // With VMIN 0 an empty non-blocking read answers 0 (end of file) instead of EAGAIN;
    // the time-outs are ours anyway.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, B19200) != 0 || ::cfsetospeed(&tio, B19200) != 0)
        return false;
    return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

} // namespace

std::string PortName(std::uint32_t number)
{
    char name[32];
    std::snprintf(name, sizeof name, "/dev/ttyS%u", number - 1);
    return name;
}

Opened OpenSerial(const std::string& name)
{
    const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {nullptr, FromErrno(errno)};
    // Exclusive like a Windows COM port: TIOCEXCL keeps out other openers (but not root),
    // the advisory lock keeps out every opener that asks for it, ourselves included.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        return {nullptr, error == EWOULDBLOCK ? OpenError::Busy : FromErrno(error)};
    }
    if (!::isatty(fd) || !ApplyLineFormat(fd) || ::tcflush(fd, TCIOFLUSH) != 0) {
        const int error = errno;
        ::close(fd);
        return {nullptr, error == ENOTTY || error == EINVAL ? OpenError::NotSerial : FromErrno(error)};
    }
    static_cast<void>(::ioctl(fd, TIOCEXCL));
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        ::close(fd);
        return {nullptr, OpenError::Other};
    }
    try {
        return {std::make_unique<SerialPort>(fd, wake, LowLatency(fd, name)), OpenError::None};
    } catch (...) {
        ::close(fd);
        ::close(wake);
        return {nullptr, OpenError::Other};
    }
}

std::optional<std::string> Environment(const char* name)
{
    const char* value = std::getenv(name);
    if (value == nullptr)
        return std::nullopt;
    return std::string(value);
}

std::optional<std::string> LibraryDirectory()
{
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&LibraryDirectory), &info) == 0 || info.dli_fname == nullptr)
        return std::nullopt;
    const std::string path = info.dli_fname;
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

} // namespace trovel::device
