// POSIX serial backend: termios raw 8N1 at 19200 baud, non-blocking descriptor, and the
// read rule realised with ppoll on the monotonic clock so that a waiting thread uses no CPU.

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "serial/PortDevice.h"

namespace trovel::serial::device {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int Fd(NativeHandle handle) noexcept { return static_cast<int>(handle); }

enum class Ready { Yes, TimedOut, Failed };

// Waits until the descriptor is ready for `events` or the deadline passes.
Ready WaitUntil(int fd, short events, Clock::time_point deadline) noexcept
{
    for (;;) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero())
            return Ready::TimedOut;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec timeout{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
        pollfd p{fd, events, 0};
        const int rc = ::ppoll(&p, 1, &timeout, nullptr);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            return Ready::Failed;
        }
        if (rc == 0)
            continue; // the loop re-reads the clock and ends at the deadline
        if ((p.revents & events) != 0)
            return Ready::Yes;
        return Ready::Failed; // hang-up or error without data: nothing more will come
    }
}

} // namespace

std::string PortName(std::uint32_t number)
{
    char name[32];
    std::snprintf(name, sizeof name, "/dev/ttyS%u", number - 1);
    return name;
}

NativeHandle Create(const std::string& name) noexcept
{
    const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return kInvalidHandle;
    // Exclusive like a Windows COM port: TIOCEXCL keeps out other openers (but not root),
    // the advisory lock keeps out every opener that asks for it, ourselves included.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return kInvalidHandle;
    }
    static_cast<void>(::ioctl(fd, TIOCEXCL));
    return fd;
}

bool ApplyLineFormat(NativeHandle handle) noexcept
{
    termios tio{};
    if (::tcgetattr(Fd(handle), &tio) != 0)
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
    return ::tcsetattr(Fd(handle), TCSANOW, &tio) == 0;
}

bool Configure(NativeHandle handle) noexcept
{
    // The kernel sizes its own queues and the time-outs live in Read and Write.
    return ::tcflush(Fd(handle), TCIOFLUSH) == 0;
}

std::uint32_t Read(NativeHandle handle, std::span<std::uint8_t> buffer) noexcept
{
    const int fd = Fd(handle);
    const auto totalDeadline = Clock::now() + milliseconds(kReadTotalTimeoutMs);
    auto deadline = totalDeadline;
    std::size_t got = 0;
    while (got < buffer.size()) {
        const ssize_t n = ::read(fd, buffer.data() + got, buffer.size() - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            const auto intervalDeadline = Clock::now() + milliseconds(kInterByteTimeoutMs);
            deadline = intervalDeadline < totalDeadline ? intervalDeadline : totalDeadline;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            break; // end of file or a device error: the read ends with what it has
        if (WaitUntil(fd, POLLIN, deadline) != Ready::Yes)
            break;
    }
    return static_cast<std::uint32_t>(got);
}

std::uint32_t Write(NativeHandle handle, std::span<const std::uint8_t> data) noexcept
{
    const int fd = Fd(handle);
    const auto deadline = Clock::now() + milliseconds(kWriteTotalTimeoutMs);
    std::size_t put = 0;
    while (put < data.size()) {
        const ssize_t n = ::write(fd, data.data() + put, data.size() - put);
        if (n > 0) {
            put += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            break;
        if (WaitUntil(fd, POLLOUT, deadline) != Ready::Yes)
            break;
    }
    return static_cast<std::uint32_t>(put);
}

void DiscardInput(NativeHandle handle) noexcept
{
    static_cast<void>(::tcflush(Fd(handle), TCIFLUSH));
}

void Close(NativeHandle handle) noexcept
{
    const int fd = Fd(handle);
    static_cast<void>(::tcflush(fd, TCIOFLUSH));
    static_cast<void>(::ioctl(fd, TIOCNXCL));
    ::close(fd);
}

} // namespace trovel::serial::device
