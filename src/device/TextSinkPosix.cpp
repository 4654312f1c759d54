// The trace's text sink on POSIX. A FIFO opens only when a reader is there, and stays
// non-blocking, so a slow reader costs lines, never the host's time. A reader that went
// away gives EPIPE; the SIGPIPE that comes with it is blocked around the write and taken
// back, so the host's own handling of SIGPIPE never sees it.

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "device/Device.h"

namespace trovel::device {

namespace {

class DescriptorSink final : public TextSink {
public:
    DescriptorSink(int fd, bool owned) noexcept : fd_(fd), owned_(owned) {}
    ~DescriptorSink() override
    {
        if (owned_)
            ::close(fd_);
    }
    DescriptorSink(const DescriptorSink&) = delete;
    DescriptorSink& operator=(const DescriptorSink&) = delete;

    bool Write(std::string_view line) noexcept override
    {
        if (gone_)
            return false;
        char newline = '\n';
        iovec parts[2] = {{const_cast<char*>(line.data()), line.size()}, {&newline, 1}};
        sigset_t pipeSignal;
        sigset_t before;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal, &before);
        sigset_t pending;
        sigpending(&pending);
        const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;
        ssize_t n = 0;
        do {
            n = ::writev(fd_, parts, 2);
        } while (n < 0 && errno == EINTR);
        const int error = errno;
        if (n < 0 && error == EPIPE && !alreadyPending) {
            const timespec none{};
            static_cast<void>(sigtimedwait(&pipeSignal, nullptr, &none)); // ours, not the host's
        }
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        // A full pipe (EAGAIN) drops the line; any other failure ends the trace.
        if (n < 0 && error != EAGAIN && error != EWOULDBLOCK)
            gone_ = true;
        return !gone_;
    }

private:
    int fd_;
    bool owned_;
    bool gone_ = false;
};

} // namespace

OpenedSink OpenTextSink(const std::string& target)
{
    if (target == "stderr")
        return {std::make_unique<DescriptorSink>(STDERR_FILENO, false), {}};
    const int fd = ::open(target.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0)
        return {nullptr, errno == ENXIO ? "a FIFO with no reader" : std::strerror(errno)};
    return {std::make_unique<DescriptorSink>(fd, true), {}};
}

} // namespace trovel::device
