#include "sim/Server.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "modbus/Frame.h"

namespace trovel::sim {

namespace {

using SteadyTime = std::chrono::steady_clock::time_point;

// With no slave open the master reports a hang-up at once, again and again; look again
// this much later instead of spinning.
constexpr auto kNoPeerRetry = std::chrono::milliseconds(5);

Duration SteadyNow() { return std::chrono::steady_clock::now().time_since_epoch(); }

timespec ToTimespec(Duration d)
{
    if (d < Duration::zero())
        d = Duration::zero();
    const auto ns = d.count();
    return {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

} // namespace

Server::Server(Line& line, ServerOptions options)
    : line_(line), options_(std::move(options)), turnaround_(options_.turnaround), faults_(options_.faultSeed),
      framer_(options_.silence)
{
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
    ownsMaster_ = true;
    try {
        OpenTerminal();
    } catch (...) {
        ::close(wake_);
        throw;
    }
}

void Server::OpenTerminal()
{
    int slave = -1;
    char name[256] = {};
    termios raw{};
    ::cfmakeraw(&raw);
    ::cfsetspeed(&raw, B19200);
    if (::openpty(&master_, &slave, name, &raw, nullptr) != 0)
        throw std::system_error(errno, std::generic_category(), "openpty");
    // The slave side belongs to the master that opens it; with no descriptor of ours on it,
    // a hang-up on our side tells that no master has it open.
    ::close(slave);
    path_ = name;
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
}

Server::Server(Line& line, int masterFd, ServerOptions options)
    : line_(line), options_(std::move(options)), turnaround_(options_.turnaround), faults_(options_.faultSeed),
      framer_(options_.silence), master_(masterFd)
{
    char name[256] = {};
    if (::ptsname_r(master_, name, sizeof name) == 0)
        path_ = name;
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

Server::~Server()
{
    Stop();
    ::close(wake_);
    if (ownsMaster_ && master_ >= 0)
        ::close(master_);
}

void Server::Start()
{
    if (thread_.joinable() || master_ < 0)
        return;
    started_ = std::chrono::steady_clock::now();
    thread_ = std::thread([this] { Run(); });
}

void Server::Stop()
{
    if (!thread_.joinable())
        return;
    const std::uint64_t one = 1;
    static_cast<void>(::write(wake_, &one, sizeof one));
    thread_.join();
    std::uint64_t drained = 0;
    static_cast<void>(::read(wake_, &drained, sizeof drained));
    framer_ = RtuFramer(options_.silence);
    outgoing_.clear(); // replies not yet sent are lost, as with a controller switched off
}

void Server::Unplug()
{
    if (!ownsMaster_)
        throw std::logic_error("Server::Unplug: the terminal belongs to the caller");
    Stop();
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

void Server::Replug()
{
    Unplug();
    OpenTerminal();
    Start();
}

bool Server::SleepUntil(SteadyTime deadline)
{
    for (;;) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= SteadyTime::duration::zero())
            return true;
        const timespec timeout = ToTimespec(std::chrono::duration_cast<Duration>(left));
        pollfd p{wake_, POLLIN, 0};
        const int rc = ::ppoll(&p, 1, &timeout, nullptr);
        if (rc > 0)
            return false;
        if (rc < 0 && errno != EINTR)
            return true;
    }
}

bool Server::SendAll(std::span<const std::uint8_t> bytes)
{
    std::size_t put = 0;
    while (put < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + put, bytes.size() - put);
        if (n > 0) {
            put += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return true; // nobody on the other side: the bytes are lost, as on a real line
        std::array<pollfd, 2> p{{{master_, POLLOUT, 0}, {wake_, POLLIN, 0}}};
        if (::poll(p.data(), p.size(), -1) > 0 && (p[1].revents & POLLIN) != 0)
            return false;
    }
    return true;
}

void Server::Report(Traffic::Kind kind, Bytes bytes, std::string note)
{
    if (options_.onTraffic)
        options_.onTraffic({kind, std::chrono::steady_clock::now() - started_, std::move(bytes), std::move(note)});
}

void Server::Run()
{
    std::array<std::uint8_t, 4096> buffer{};
    for (;;) {
        // Wake for whichever comes first: the end of a frame, or a reply due to leave.
        auto deadline = framer_.Deadline();
        if (!outgoing_.empty()) {
            const Duration due = outgoing_.begin()->first.time_since_epoch();
            deadline = deadline ? std::min(*deadline, due) : due;
        }
        const timespec timeout = deadline ? ToTimespec(*deadline - SteadyNow()) : timespec{};
        std::array<pollfd, 2> p{{{master_, POLLIN, 0}, {wake_, POLLIN, 0}}};
        const int rc = ::ppoll(p.data(), p.size(), deadline ? &timeout : nullptr, nullptr);
        if (rc < 0 && errno != EINTR)
            return;
        if ((p[1].revents & POLLIN) != 0)
            return;
        if ((p[0].revents & POLLIN) != 0) {
            const ssize_t n = ::read(master_, buffer.data(), buffer.size());
            if (n > 0)
                framer_.Feed(std::span(buffer.data(), static_cast<std::size_t>(n)), SteadyNow());
        } else if ((p[0].revents & (POLLHUP | POLLERR)) != 0) {
            // No master has the slave open; whatever was half received is gone with it.
            // Replies already due still go out (and are lost), as on a line nobody listens to.
            framer_ = RtuFramer(options_.silence);
            auto retry = std::chrono::steady_clock::now() + kNoPeerRetry;
            if (!outgoing_.empty())
                retry = std::min(retry, outgoing_.begin()->first);
            if (!SleepUntil(retry))
                return;
        }
        while (auto frame = framer_.Next(SteadyNow()))
            Handle(*frame);
        while (!outgoing_.empty() && outgoing_.begin()->first <= std::chrono::steady_clock::now()) {
            const auto node = outgoing_.extract(outgoing_.begin());
            if (!Send(node.key(), node.mapped()))
                return;
        }
    }
}

bool Server::Send(SteadyTime due, const Outgoing& piece)
{
    if (piece.paced) {
        // Each byte leaves when the line would have finished carrying it.
        auto at = due;
        for (const std::uint8_t byte : piece.bytes) {
            at += kByteTime;
            if (!SleepUntil(at) || !SendAll(std::span(&byte, 1)))
                return false;
        }
    } else if (!SendAll(piece.bytes)) {
        return false;
    }
    Report(Traffic::Kind::Reply, piece.bytes, piece.note);
    return true;
}

void Server::Handle(const RtuFramer::Frame& frame)
{
    const auto received = std::chrono::steady_clock::now();
    const Bytes& request = frame.bytes;
    if (!frame.complete) {
        Report(Traffic::Kind::Ignored, request, "incomplete frame");
        return;
    }
    if (!FrameCrcValid(request)) {
        framer_.Resync();
        Report(Traffic::Kind::Ignored, request, "bad CRC");
        return;
    }
    if (request[0] == modbus::kBroadcastAddress) {
        static_cast<void>(line_.Respond(request));
        Report(Traffic::Kind::Request, request, "broadcast: executed, not answered");
        return;
    }
    if (!line_.Answers(request)) {
        Report(Traffic::Kind::Ignored, request, "no controller at address " + std::to_string(request[0]));
        return;
    }

    const std::optional<Fault> fault = faults_.Draw();
    const std::string note = fault ? "fault: " + Describe(*fault) : std::string();
    Report(Traffic::Kind::Request, request, note);
    if (fault && fault->kind == FaultKind::NoAnswer)
        return;
    Bytes reply;
    if (fault && fault->kind == FaultKind::Exception)
        reply = ExceptionReply(request[0], request[1], static_cast<Exception>(fault->Effective()));
    else if (auto answer = line_.Respond(request))
        reply = std::move(*answer);
    if (reply.empty())
        return;

    // Every piece is timed from the end of the one before it.
    auto at = received;
    for (Burst& burst : ShapeReply(reply, fault, turnaround_, options_.paced)) {
        at += burst.delay;
        const auto start = at;
        if (burst.paced)
            at += kByteTime * static_cast<int>(burst.bytes.size());
        outgoing_.emplace(start, Outgoing{std::move(burst.bytes), burst.paced, note});
    }
}

} // namespace trovel::sim
