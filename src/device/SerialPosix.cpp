// POSIX serial backend: termios raw 8N1 at 19200 baud on a non-blocking descriptor; waits
// sleep in ppoll on the monotonic clock, so a thread waiting on the line uses no CPU.

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "device/Backends.h"
#include "device/PosixWait.h"

namespace trovel::device {

namespace {

// errno values by which a serial device says it is no longer there.
bool MeansGone(int error) noexcept
{
    return error == EIO || error == ENXIO || error == ENODEV || error == EBADF || error == EPIPE;
}

class SerialPort final : public Device {
public:
    SerialPort(int fd, int wake) noexcept : fd_(fd), wake_(wake) {}
    ~SerialPort() override
    {
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

private:
    Ready Wait(short events, const util::Deadline& until) noexcept { return WaitFor(fd_, events, until, wake_); }

    int fd_;
    int wake_; // eventfd that Interrupt() signals
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
    return {std::make_unique<SerialPort>(fd, wake), OpenError::None};
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
