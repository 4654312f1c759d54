#include "support/PtyPeer.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace trovel::test {

PtyPeer::PtyPeer()
{
    int slave = -1;
    char name[256] = {};
    termios raw{};
    ::cfmakeraw(&raw);
    if (::openpty(&master_, &slave, name, &raw, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    // The library opens the slave by path; keeping our own slave descriptor would hide
    // a close by the library.
    ::close(slave);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    path_ = name;
}

PtyPeer::~PtyPeer()
{
    Stop();
    if (thread_.joinable())
        thread_.join();
    ::close(master_);
}

PtyPeer& PtyPeer::Expect(Bytes request, Millis timeout)
{
    steps_.emplace_back(ExpectStep{std::move(request), timeout});
    return *this;
}

PtyPeer& PtyPeer::Pause(Millis duration)
{
    steps_.emplace_back(PauseStep{duration});
    return *this;
}

PtyPeer& PtyPeer::Send(Bytes reply)
{
    steps_.emplace_back(SendStep{std::move(reply), false});
    return *this;
}

PtyPeer& PtyPeer::SendAtLineSpeed(Bytes reply)
{
    steps_.emplace_back(SendStep{std::move(reply), true});
    return *this;
}

void PtyPeer::Start()
{
    thread_ = std::thread([this, steps = std::move(steps_)] { RunScript(steps); });
    steps_.clear();
}

bool PtyPeer::Finish()
{
    if (thread_.joinable())
        thread_.join();
    const std::lock_guard lock(mutex_);
    return failure_.empty();
}

std::string PtyPeer::Failure() const
{
    const std::lock_guard lock(mutex_);
    return failure_;
}

void PtyPeer::Fail(std::string message)
{
    const std::lock_guard lock(mutex_);
    if (failure_.empty())
        failure_ = std::move(message);
}

void PtyPeer::Collect(Millis wait)
{
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0 || (p.revents & POLLIN) == 0) {
        // A closed slave shows as a hang-up; do not spin on it.
        if ((p.revents & POLLHUP) != 0)
            std::this_thread::sleep_for(wait);
        return;
    }
    std::uint8_t buf[4096];
    const ssize_t n = ::read(master_, buf, sizeof buf);
    if (n > 0) {
        const std::lock_guard lock(mutex_);
        received_.insert(received_.end(), buf, buf + n);
    }
}

void PtyPeer::WriteAll(std::span<const std::uint8_t> bytes, bool paced)
{
    constexpr auto kByteTime = std::chrono::microseconds(521); // 10 bits at 19200 baud
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t chunk = paced ? 1 : bytes.size() - i;
        if (paced)
            std::this_thread::sleep_until(start + kByteTime * static_cast<int>(i + 1));
        const ssize_t n = ::write(master_, bytes.data() + i, chunk);
        if (n > 0) {
            i += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            Fail("write to the line failed");
            return;
        } else {
            pollfd p{master_, POLLOUT, 0};
            ::poll(&p, 1, 10);
        }
    }
}

void PtyPeer::Inject(std::span<const std::uint8_t> bytes)
{
    WriteAll(bytes, false);
}

void PtyPeer::RunScript(const std::vector<Step>& steps)
{
    for (const Step& step : steps) {
        if (const auto* expect = std::get_if<ExpectStep>(&step)) {
            const auto deadline = std::chrono::steady_clock::now() + expect->timeout;
            for (;;) {
                {
                    const std::lock_guard lock(mutex_);
                    if (received_.size() - consumed_ >= expect->bytes.size())
                        break;
                }
                if (std::chrono::steady_clock::now() >= deadline) {
                    Fail("timed out waiting for " + ToHex(expect->bytes));
                    return;
                }
                Collect(Millis(5));
            }
            const std::lock_guard lock(mutex_);
            const Bytes got(received_.begin() + static_cast<std::ptrdiff_t>(consumed_),
                            received_.begin() + static_cast<std::ptrdiff_t>(consumed_ + expect->bytes.size()));
            consumed_ += expect->bytes.size();
            if (got != expect->bytes) {
                if (failure_.empty())
                    failure_ = "expected " + ToHex(expect->bytes) + " but got " + ToHex(got);
                return;
            }
        } else if (const auto* pause = std::get_if<PauseStep>(&step)) {
            std::this_thread::sleep_for(pause->duration);
        } else if (const auto* send = std::get_if<SendStep>(&step)) {
            WriteAll(send->bytes, send->paced);
            const std::lock_guard lock(mutex_);
            sendTimes_.push_back(std::chrono::steady_clock::now());
        }
    }
}

void PtyPeer::Serve(Handler handler)
{
    thread_ = std::thread([this, handler = std::move(handler)] { RunServer(handler); });
}

void PtyPeer::Stop()
{
    const std::lock_guard lock(mutex_);
    stopping_ = true;
}

void PtyPeer::RunServer(Handler handler)
{
    for (;;) {
        Bytes request;
        {
            const std::lock_guard lock(mutex_);
            if (stopping_)
                return;
            const std::size_t pending = received_.size() - consumed_;
            if (pending >= 2) {
                const std::uint8_t function = received_[consumed_ + 1];
                const std::size_t length = function == 0x10 ? 13 : 8;
                if (pending >= length) {
                    const auto first = received_.begin() + static_cast<std::ptrdiff_t>(consumed_);
                    request.assign(first, first + static_cast<std::ptrdiff_t>(length));
                    consumed_ += length;
                    log_.push_back({true, request});
                }
            }
        }
        if (request.empty()) {
            Collect(Millis(5));
            continue;
        }
        const Bytes answer = handler(request);
        if (!answer.empty()) {
            WriteAll(answer, false);
            const std::lock_guard lock(mutex_);
            log_.push_back({false, answer});
        }
    }
}

std::vector<std::chrono::steady_clock::time_point> PtyPeer::SendTimes() const
{
    const std::lock_guard lock(mutex_);
    return sendTimes_;
}

std::vector<PtyPeer::Event> PtyPeer::Log() const
{
    const std::lock_guard lock(mutex_);
    return log_;
}

Bytes PtyPeer::Unexpected(Millis settle)
{
    Received(settle);
    const std::lock_guard lock(mutex_);
    Bytes extra(received_.begin() + static_cast<std::ptrdiff_t>(consumed_), received_.end());
    consumed_ = received_.size();
    return extra;
}

Bytes PtyPeer::Received(Millis settle)
{
    const auto deadline = std::chrono::steady_clock::now() + settle;
    do {
        Collect(Millis(5));
    } while (std::chrono::steady_clock::now() < deadline);
    const std::lock_guard lock(mutex_);
    return received_;
}

} // namespace trovel::test
