#include "sim/Server.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "device/PosixWait.h"
#include "util/Deadline.h"

namespace trovel::sim {

namespace {

using SteadyTime = std::chrono::steady_clock::time_point;

// With no slave open the master reports a hang-up at once, again and again; look again
// this much later instead of spinning.
constexpr auto kNoPeerRetry = std::chrono::milliseconds(5);

// Modbus TCP: transaction, protocol, length, unit identifier; the length counts the unit
// identifier and the PDU, at most 253 bytes of it.
constexpr std::size_t kMbapSize = 7;
constexpr std::size_t kMaxUnitAndPdu = 254;
// What a gateway answers when the controller's reply never arrived whole.
constexpr auto kGatewayTargetFailed = static_cast<Exception>(0x0B);

Duration SteadyNow() { return std::chrono::steady_clock::now().time_since_epoch(); }

std::string NumericName(const sockaddr* address, socklen_t length, bool withPort)
{
    char host[NI_MAXHOST] = {};
    char port[NI_MAXSERV] = {};
    if (::getnameinfo(address, length, host, sizeof host, port, sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "?";
    const std::string h = address->sa_family == AF_INET6 ? "[" + std::string(host) + "]" : std::string(host);
    return withPort ? h + ":" + port : h;
}

} // namespace

std::optional<Listen> ParseListen(std::string_view text, Listen::Framing framing)
{
    Listen listen;
    listen.framing = framing;
    std::string_view port = text;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find("]:");
        if (close == std::string_view::npos)
            return std::nullopt;
        listen.host = std::string(text.substr(1, close - 1));
        port = text.substr(close + 2);
    } else if (const auto colon = text.rfind(':'); colon != std::string_view::npos) {
        if (colon > 0)
            listen.host = std::string(text.substr(0, colon));
        port = text.substr(colon + 1);
    }
    if (listen.host.empty() || port.empty() || port.size() > 5 ||
        !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const unsigned long number = std::stoul(std::string(port));
    if (number > 65535)
        return std::nullopt;
    listen.port = static_cast<std::uint16_t>(number);
    return listen;
}

Server::Server(Line& line, ServerOptions options)
    : line_(line), options_(std::move(options)), turnaround_(options_.turnaround), faults_(options_.faultSeed)
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

Server::Server(Line& line, int masterFd, ServerOptions options)
    : line_(line), options_(std::move(options)), turnaround_(options_.turnaround), faults_(options_.faultSeed),
      master_(masterFd)
{
    char name[256] = {};
    if (::ptsname_r(master_, name, sizeof name) == 0)
        path_ = name;
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    peers_.push_back({master_, nextPeer_++, RtuFramer(options_.silence), {}});
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

Server::Server(Line& line, const Listen& listen, ServerOptions options)
    : line_(line), options_(std::move(options)), turnaround_(options_.turnaround), faults_(options_.faultSeed),
      listen_(listen)
{
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
    try {
        OpenListener();
    } catch (...) {
        ::close(wake_);
        throw;
    }
}

Server::~Server()
{
    Stop();
    ::close(wake_);
    if (ownsMaster_ && master_ >= 0)
        ::close(master_);
    CloseNetwork();
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
    peers_.assign(1, Peer{master_, nextPeer_++, RtuFramer(options_.silence), {}});
}

// Binds the port asked for, or after a Replug the one it had, so a host finds it again.
void Server::OpenListener()
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    const std::string port = std::to_string(port_ != 0 ? port_ : listen_->port);
    const std::string where = listen_->host + " port " + port;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(listen_->host.c_str(), port.c_str(), &hints, &found); rc != 0 || !found)
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                "cannot resolve " + listen_->host + ": " + ::gai_strerror(rc));
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    // A restart finds the port's old connections waiting out their close; they must not block it.
    if (fd >= 0)
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (fd < 0 || ::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, 16) != 0) {
        const int error = errno;
        ::freeaddrinfo(found);
        if (fd >= 0)
            ::close(fd);
        throw std::system_error(error, std::generic_category(), "cannot listen on " + where);
    }
    ::freeaddrinfo(found);
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    // A host reaches a server on every interface through loopback.
    std::string host = NumericName(reinterpret_cast<sockaddr*>(&bound), length, false);
    if (host == "0.0.0.0")
        host = "127.0.0.1";
    else if (host == "[::]")
        host = "[::1]";
    const bool rtu = listen_->framing == Listen::Framing::Rtu;
    path_ = std::string(rtu ? "rtu+tcp://" : "modbus+tcp://") + host + ":" + std::to_string(port_);
    listener_ = fd;
}

void Server::CloseNetwork() noexcept
{
    if (!listen_)
        return;
    for (const Peer& peer : peers_)
        ::close(peer.fd);
    peers_.clear();
    if (listener_ >= 0)
        ::close(listener_);
    listener_ = -1;
}

void Server::Start()
{
    if (thread_.joinable() || !Plugged())
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
    ResetPeers();
    outgoing_.clear(); // replies not yet sent are lost, as with a controller switched off
}

void Server::ResetPeers()
{
    for (Peer& peer : peers_) {
        peer.framer = RtuFramer(options_.silence);
        peer.held.clear();
    }
}

void Server::Unplug()
{
    if (!ownsMaster_ && !listen_)
        throw std::logic_error("Server::Unplug: the terminal belongs to the caller");
    Stop();
    if (listen_) {
        CloseNetwork();
        return;
    }
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
    peers_.clear();
}

void Server::Replug()
{
    Unplug();
    if (listen_)
        OpenListener();
    else
        OpenTerminal();
    Start();
}

void Server::Run()
{
    std::vector<pollfd> watched;
    for (;;) {
        // Wake for whichever comes first: input, the end of a frame, a reply byte due to
        // leave, or the next look at a terminal that nobody has open.
        const auto now = std::chrono::steady_clock::now();
        std::optional<SteadyTime> wakeAt;
        const auto earliest = [&](SteadyTime t) {
            if (!wakeAt || t < *wakeAt)
                wakeAt = t;
        };
        if (!outgoing_.empty())
            earliest(outgoing_.begin()->first);
        watched.assign(1, {wake_, POLLIN, 0});
        if (listener_ >= 0)
            watched.push_back({listener_, POLLIN, 0});
        const std::size_t firstPeer = watched.size();
        for (const Peer& peer : peers_) {
            if (const auto end = peer.framer.Deadline())
                earliest(SteadyTime(*end));
            const bool resting = peer.fd == master_ && now < terminalRestsUntil_;
            if (resting)
                earliest(terminalRestsUntil_);
            watched.push_back({resting ? -1 : peer.fd, POLLIN, 0});
        }
        const timespec timeout = wakeAt ? device::RemainingTimespec(util::Deadline(*wakeAt)) : timespec{};
        if (::ppoll(watched.data(), watched.size(), wakeAt ? &timeout : nullptr, nullptr) < 0 && errno != EINTR)
            return;
        if ((watched[0].revents & POLLIN) != 0)
            return;
        for (std::size_t i = 0; i < peers_.size(); ++i) {
            const short events = watched[firstPeer + i].revents;
            if ((events & POLLIN) != 0)
                ReadFrom(peers_[i]);
            else if ((events & (POLLHUP | POLLERR)) != 0)
                Lost(peers_[i]);
        }
        for (Peer& peer : peers_)
            while (auto frame = peer.framer.Next(SteadyNow()))
                HandleRtu(peer, *frame);
        std::erase_if(peers_, [this](const Peer& peer) {
            if (!peer.closed)
                return false;
            ::close(peer.fd);
            Report(Traffic::Kind::Disconnected, {}, peer.name);
            return true;
        });
        if (listener_ >= 0 && (watched[1].revents & POLLIN) != 0)
            Accept();
        if (!SendDue())
            return;
    }
}

void Server::Lost(Peer& peer)
{
    if (peer.fd != master_) {
        peer.closed = true; // the client closed the connection or it broke
        return;
    }
    // No master has the slave open; whatever was half received is gone with it. Replies
    // already due still go out (and are lost), as on a line nobody listens to.
    peer.framer = RtuFramer(options_.silence);
    terminalRestsUntil_ = std::chrono::steady_clock::now() + kNoPeerRetry;
}

void Server::Accept()
{
    for (;;) {
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        const int fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&from), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return; // none waiting, or one that went again before it was taken
        // Replies go out a byte or a frame at a time and are wanted at once.
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        peers_.push_back({fd, nextPeer_++, RtuFramer(options_.silence), {},
                          NumericName(reinterpret_cast<sockaddr*>(&from), length, true)});
        Report(Traffic::Kind::Connected, {}, peers_.back().name);
    }
}

void Server::ReadFrom(Peer& peer)
{
    std::array<std::uint8_t, 4096> buffer{};
    const ssize_t n = ::read(peer.fd, buffer.data(), buffer.size());
    if (n <= 0) {
        if (n == 0 || (errno != EAGAIN && errno != EINTR))
            Lost(peer);
        return;
    }
    const auto bytes = std::span(buffer.data(), static_cast<std::size_t>(n));
    if (listen_ && listen_->framing == Listen::Framing::ModbusTcp) {
        peer.held.insert(peer.held.end(), bytes.begin(), bytes.end());
        TakeModbusTcp(peer);
    } else {
        peer.framer.Feed(bytes, SteadyNow());
    }
}

// Modbus TCP frames end where their header's length says, however TCP cut them.
void Server::TakeModbusTcp(Peer& peer)
{
    Bytes& held = peer.held;
    while (held.size() >= kMbapSize && !peer.closed) {
        const std::size_t length = (std::size_t{held[4]} << 8) | held[5];
        if (held[2] != 0 || held[3] != 0 || length < 2 || length > kMaxUnitAndPdu) {
            // No frame boundary in such a stream can be trusted: drop the connection, as a
            // gateway does.
            Report(Traffic::Kind::Ignored, held, "not Modbus TCP: connection closed");
            held.clear();
            peer.closed = true;
            return;
        }
        const std::size_t total = kMbapSize - 1 + length;
        if (held.size() < total)
            return;
        const Bytes wire(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(total));
        held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(total));
        // The controllers hear it as the RTU frame the gateway puts on the line.
        Bytes request(wire.begin() + kMbapSize - 1, wire.end());
        request.resize(request.size() + modbus::kCrcSize);
        modbus::AppendCrc(request);
        Answer(peer, request, Mbap{static_cast<std::uint16_t>((wire[0] << 8) | wire[1]), wire[6]}, wire);
    }
}

void Server::HandleRtu(Peer& peer, const RtuFramer::Frame& frame)
{
    const Bytes& request = frame.bytes;
    if (!frame.complete) {
        Report(Traffic::Kind::Ignored, request, "incomplete frame");
        return;
    }
    if (!FrameCrcValid(request)) {
        peer.framer.Resync();
        Report(Traffic::Kind::Ignored, request, "bad CRC");
        return;
    }
    Answer(peer, request, std::nullopt, request);
}

void Server::Answer(Peer& peer, const Bytes& request, const std::optional<Mbap>& mbap, std::span<const std::uint8_t> wire)
{
    const auto received = std::chrono::steady_clock::now();
    const Bytes heard(wire.begin(), wire.end());
    if (request[0] == modbus::kBroadcastAddress) {
        static_cast<void>(line_.Respond(request));
        Report(Traffic::Kind::Request, heard, "broadcast: executed, not answered");
        return;
    }
    if (!line_.Answers(request)) {
        Report(Traffic::Kind::Ignored, heard, "no controller at address " + std::to_string(request[0]));
        return;
    }

    std::optional<Fault> fault = faults_.Draw();
    const std::string note = fault ? "fault: " + Describe(*fault) : std::string();
    Report(Traffic::Kind::Request, heard, note);
    if (fault && fault->kind == FaultKind::NoAnswer)
        return;
    Bytes reply;
    if (fault && fault->kind == FaultKind::Exception)
        reply = ExceptionReply(request[0], request[1], static_cast<Exception>(fault->Effective()));
    else if (auto answer = line_.Respond(request))
        reply = std::move(*answer);
    if (reply.empty())
        return;
    if (!mbap) {
        Schedule(peer.id, received, ShapeReply(reply, fault, turnaround_, options_.paced), note);
        return;
    }

    // A gateway passes an answer on once its last byte has come off the serial line, and
    // never a damaged one: for that it answers that the controller failed to respond.
    if (fault && (fault->kind == FaultKind::BadCrc || fault->kind == FaultKind::Truncate)) {
        reply = ExceptionReply(request[0], request[1], kGatewayTargetFailed);
        fault.reset();
    }
    const Duration lineTime = options_.paced ? modbus::kCharacterTime * static_cast<int>(reply.size()) : Duration::zero();
    const std::size_t unitAndPdu = reply.size() - modbus::kCrcSize;
    Bytes adu(kMbapSize - 1 + unitAndPdu);
    adu[0] = static_cast<std::uint8_t>(mbap->transaction >> 8);
    adu[1] = static_cast<std::uint8_t>(mbap->transaction);
    adu[4] = static_cast<std::uint8_t>(unitAndPdu >> 8);
    adu[5] = static_cast<std::uint8_t>(unitAndPdu);
    adu[6] = mbap->unit;
    std::copy(reply.begin() + 1, reply.end() - modbus::kCrcSize, adu.begin() + kMbapSize);
    Schedule(peer.id, received, ShapeReply(adu, fault, turnaround_.load() + lineTime, false), note);
}

// Every piece is timed from the end of the one before it; a paced piece leaves a byte at a
// time, each when the line would have finished carrying it.
void Server::Schedule(std::uint64_t peer, SteadyTime at, std::vector<Burst> bursts, const std::string& note)
{
    std::vector<std::pair<SteadyTime, Outgoing>> pieces;
    for (Burst& burst : bursts) {
        at += burst.delay;
        if (!burst.paced || burst.bytes.empty()) {
            pieces.emplace_back(at, Outgoing{peer, burst.bytes, burst.bytes, note});
            continue;
        }
        for (std::size_t i = 0; i < burst.bytes.size(); ++i) {
            at += modbus::kCharacterTime;
            const bool last = i + 1 == burst.bytes.size();
            pieces.emplace_back(at, Outgoing{peer, Bytes{burst.bytes[i]}, last ? burst.bytes : Bytes{}, note});
        }
    }
    if (options_.adapterLatency > Duration::zero() && !listen_)
        HoldInAdapter(pieces);
    for (auto& [due, piece] : pieces)
        outgoing_.emplace(due, std::move(piece));
}

// The chip buffers what comes off the line and sends it to the host when its latency timer,
// started by the first byte buffered, runs out, or at once when a USB packet is full.
void Server::HoldInAdapter(std::vector<std::pair<SteadyTime, Outgoing>>& pieces) const
{
    constexpr std::size_t kUsbPacketPayload = 62; // 64 bytes less the two status bytes
    std::optional<SteadyTime> flushAt;
    std::size_t buffered = 0;
    std::size_t chunkBegin = 0;
    for (std::size_t i = 0; i <= pieces.size(); ++i) {
        const bool flushed = flushAt && (i == pieces.size() || pieces[i].first >= *flushAt);
        if (flushed) {
            for (std::size_t j = chunkBegin; j < i; ++j)
                pieces[j].first = *flushAt;
            flushAt.reset();
            buffered = 0;
            chunkBegin = i;
        }
        if (i == pieces.size())
            break;
        if (!flushAt)
            flushAt = pieces[i].first + options_.adapterLatency;
        buffered += pieces[i].second.bytes.size();
        if (buffered >= kUsbPacketPayload)
            flushAt = pieces[i].first; // a full packet leaves with this byte
    }
}

bool Server::SendDue()
{
    while (!outgoing_.empty() && outgoing_.begin()->first <= std::chrono::steady_clock::now()) {
        auto node = outgoing_.extract(outgoing_.begin());
        Outgoing& piece = node.mapped();
        // A connection that has gone takes its replies with it.
        const auto peer = std::find_if(peers_.begin(), peers_.end(), [&](const Peer& p) { return p.id == piece.peer; });
        if (peer == peers_.end())
            continue;
        if (!SendAll(peer->fd, piece.bytes))
            return false;
        if (!piece.reply.empty())
            Report(Traffic::Kind::Reply, std::move(piece.reply), piece.note);
    }
    return true;
}

bool Server::SendAll(int fd, std::span<const std::uint8_t> bytes)
{
    const bool socket = fd != master_;
    std::size_t put = 0;
    while (put < bytes.size()) {
        const std::size_t left = bytes.size() - put;
        const ssize_t n = socket ? ::send(fd, bytes.data() + put, left, MSG_NOSIGNAL) : ::write(fd, bytes.data() + put, left);
        if (n > 0) {
            put += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return true; // nobody on the other side: the bytes are lost, as on a real line
        std::array<pollfd, 2> p{{{fd, POLLOUT, 0}, {wake_, POLLIN, 0}}};
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

} // namespace trovel::sim
