#include "gateway/Endpoint.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>

namespace trovel::gateway {

namespace {

inline constexpr std::size_t kMbapHeader = 7;     // transaction, protocol, length, unit
inline constexpr std::size_t kMaxMbapLength = 254; // unit and a PDU of at most 253 bytes
inline constexpr std::size_t kMinMbapLength = 2;   // unit and a function code
inline constexpr std::size_t kMaxRtuFrame = 256;
inline constexpr std::size_t kMaxFrame = 262;
// A frame of a function whose length cannot be told ends at a silence this long (RTU).
inline constexpr int kRtuUnknownGapMs = 20;
inline constexpr int kSendTimeoutMs = 5000;
// A client whose unread answers pile up this far beyond its pipeline is flooding.
inline constexpr std::size_t kFloodFactor = 4;
inline constexpr int kAcceptPollMs = 200;

std::uint16_t Word(std::span<const std::uint8_t> b, std::size_t at)
{
    return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}

void PutWord(std::span<std::uint8_t> b, std::size_t at, std::uint16_t v)
{
    b[at] = static_cast<std::uint8_t>(v >> 8);
    b[at + 1] = static_cast<std::uint8_t>(v);
}

bool RtuCrcValid(std::span<const std::uint8_t> frame)
{
    if (frame.size() < 4)
        return false;
    const int crc = CRC16(frame.data(), static_cast<int>(frame.size() - 2));
    return frame[frame.size() - 2] == static_cast<std::uint8_t>(crc >> 8) &&
           frame[frame.size() - 1] == static_cast<std::uint8_t>(crc);
}

std::string ValuesText(const Request& r)
{
    const std::size_t n = r.function == kWriteSingle ? 1 : r.count;
    std::string text;
    for (std::size_t i = 0; i < n && i < 16; ++i) {
        if (i > 0)
            text += ',';
        text += std::to_string(r.values[i]);
    }
    if (n > 16)
        text += ",...";
    return text;
}

} // namespace

std::uint8_t DecodePdu(std::uint8_t unit, std::span<const std::uint8_t> pdu, bool readOnly, const LineService& line,
                       Request& out)
{
    const std::uint8_t function = pdu.empty() ? 0 : pdu[0];
    if (function != kReadHolding && function != kWriteSingle && function != kWriteMultiple)
        return kIllegalFunction;
    // A read cannot be broadcast; unit 0 writes are.
    if (unit == 0 ? function == kReadHolding : !line.ServesUnit(unit))
        return kPathUnavailable;
    out.unit = unit;
    out.function = function;
    if (pdu.size() < 5)
        return kIllegalValue;
    out.first = Word(pdu, 1);
    switch (function) {
    case kReadHolding:
        out.count = Word(pdu, 3);
        if (pdu.size() != 5 || out.count < 1 || out.count > kMaxRegisters)
            return kIllegalValue;
        break;
    case kWriteSingle:
        out.count = 1;
        out.values[0] = Word(pdu, 3);
        if (pdu.size() != 5)
            return kIllegalValue;
        break;
    default:
        out.count = Word(pdu, 3);
        if (pdu.size() < 6 || out.count < 1 || out.count > 123 || pdu[5] != 2 * out.count ||
            pdu.size() != 6u + pdu[5])
            return kIllegalValue;
        for (std::size_t i = 0; i < out.count; ++i)
            out.values[i] = Word(pdu, 6 + 2 * i);
        break;
    }
    if (out.first + out.count - 1 > 0xFFFF)
        return kIllegalAddress;
    return readOnly && function != kReadHolding ? kIllegalFunction : 0;
}

std::size_t EncodePdu(const Request& request, std::uint8_t exception, const Answer& answer, std::span<std::uint8_t> out)
{
    if (exception != 0) {
        out[0] = static_cast<std::uint8_t>(request.function | 0x80);
        out[1] = exception;
        return 2;
    }
    out[0] = request.function;
    switch (request.function) {
    case kReadHolding:
        out[1] = static_cast<std::uint8_t>(2 * request.count);
        for (std::size_t i = 0; i < request.count; ++i)
            PutWord(out, 2 + 2 * i, answer.values[i]);
        return 2u + 2u * request.count;
    case kWriteSingle:
        PutWord(out, 1, request.first);
        PutWord(out, 3, request.values[0]);
        return 5;
    default:
        PutWord(out, 1, request.first);
        PutWord(out, 3, request.count);
        return 5;
    }
}

// One client: a thread reads and queues its requests, another writes the answers in order.
class Endpoint::Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(net::Socket socket, net::Peer peer, const EndpointSettings& settings, LineService& line, Log& log,
               std::string endpoint)
        : socket_(socket), peer_(peer.Text()), settings_(settings), line_(line), log_(log),
          endpoint_(std::move(endpoint)), source_(NewSource())
    {
    }
    ~Connection() { net::Close(socket_); }

    void Start()
    {
        auto self = shared_from_this();
        reader_ = std::thread([self] { self->ReadLoop(); });
        writer_ = std::thread([self] { self->WriteLoop(); });
    }

    void Close(const std::string& why)
    {
        {
            const std::lock_guard hold(mutex_);
            if (closed_)
                return;
            closed_ = true;
        }
        if (!why.empty())
            log_.Write(why.rfind("closed", 0) == 0 ? Level::Info : Level::Warning,
                       endpoint_ + ": client " + peer_ + " disconnected: " + why);
        net::Shutdown(socket_);
        changed_.notify_all();
        line_.Cancel(source_);
    }

    bool Finished() const { return readerDone_.load() && writerDone_.load(); }
    void Join()
    {
        if (reader_.joinable())
            reader_.join();
        if (writer_.joinable())
            writer_.join();
    }

    ClientReport TakeReport()
    {
        const std::lock_guard hold(mutex_);
        return {peer_, endpoint_, counts_, waits_.Take()};
    }

private:
    struct Slot {
        bool ready = false;
        std::array<std::uint8_t, kMaxFrame> bytes{};
        std::size_t length = 0;
    };

    void ReadLoop()
    {
        std::array<std::uint8_t, 1024> buffer{};
        std::size_t used = 0;
        auto frameBegan = Clock::now();
        bool unknownPending = false;
        for (;;) {
            int timeoutMs = static_cast<int>(std::chrono::milliseconds(settings_.idleTimeout).count());
            if (used > 0) {
                const auto left = settings_.frameTimeout - (Clock::now() - frameBegan);
                timeoutMs = static_cast<int>(std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(left).count()));
                if (unknownPending)
                    timeoutMs = std::min(timeoutMs, kRtuUnknownGapMs);
            }
            const net::Wait wait = net::WaitReadable(socket_, timeoutMs);
            if (IsClosed())
                break;
            if (wait == net::Wait::Failed) {
                Close("the connection failed");
                break;
            }
            if (wait == net::Wait::TimedOut) {
                if (unknownPending) {
                    // An RTU frame of another function has ended on silence: answer it 01.
                    unknownPending = false;
                    HandleRtu(std::span(buffer).first(used));
                    used = 0;
                    continue;
                }
                if (used > 0) {
                    Close("stalled mid-frame (" + std::to_string(used) + " bytes)");
                    break;
                }
                if (Outstanding() == 0) {
                    Close("idle for " + std::to_string(settings_.idleTimeout.count()) + " s");
                    break;
                }
                continue;
            }
            const long n = net::Receive(socket_, std::span(buffer).subspan(used));
            if (n <= 0) {
                Close(n == 0 ? "closed by the client" : "the connection failed");
                break;
            }
            if (used == 0)
                frameBegan = Clock::now();
            used += static_cast<std::size_t>(n);
            std::string fault;
            const std::size_t taken = settings_.protocol == Protocol::ModbusTcp ? TakeMbap(std::span(buffer).first(used), fault)
                                                                                : TakeRtu(std::span(buffer).first(used), fault, unknownPending);
            if (!fault.empty()) {
                Close(fault);
                break;
            }
            if (taken > 0) {
                std::copy(buffer.begin() + static_cast<std::ptrdiff_t>(taken), buffer.begin() + static_cast<std::ptrdiff_t>(used), buffer.begin());
                used -= taken;
                frameBegan = Clock::now();
            }
        }
        readerDone_ = true;
    }

    // Handles the whole MBAP frames at the start of `bytes`; how many bytes they took.
    std::size_t TakeMbap(std::span<const std::uint8_t> bytes, std::string& fault)
    {
        std::size_t taken = 0;
        while (bytes.size() - taken >= kMbapHeader - 1) {
            const auto frame = bytes.subspan(taken);
            const std::uint16_t protocol = Word(frame, 2);
            const std::uint16_t length = Word(frame, 4);
            if (protocol != 0) {
                fault = "protocol id " + std::to_string(protocol) + " is not Modbus (0)";
                return taken;
            }
            if (length < kMinMbapLength || length > kMaxMbapLength) {
                fault = "MBAP length " + std::to_string(length) + " outside 2-254";
                return taken;
            }
            if (frame.size() < 6u + length)
                break;
            std::array<std::uint8_t, kMbapHeader> header{};
            std::copy_n(frame.begin(), kMbapHeader, header.begin());
            if (!Handle(frame[6], frame.subspan(7, length - 1u), header, fault))
                return taken;
            taken += 6u + length;
        }
        return taken;
    }

    std::size_t TakeRtu(std::span<const std::uint8_t> bytes, std::string& fault, bool& unknownPending)
    {
        std::size_t taken = 0;
        unknownPending = false;
        while (bytes.size() - taken >= 2) {
            const auto frame = bytes.subspan(taken);
            std::size_t length = 0;
            if (frame[1] == kReadHolding || frame[1] == kWriteSingle)
                length = 8;
            else if (frame[1] == kWriteMultiple && frame.size() >= 7)
                length = 9u + frame[6];
            else if (frame[1] == kWriteMultiple)
                break;
            else {
                unknownPending = true; // its end is the silence after it
                break;
            }
            if (length > kMaxRtuFrame) {
                fault = "RTU frame of " + std::to_string(length) + " bytes";
                return taken;
            }
            if (frame.size() < length)
                break;
            if (!HandleRtu(frame.first(length)))
                return taken;
            taken += length;
        }
        if (bytes.size() - taken > kMaxRtuFrame)
            fault = "more than one frame's bytes that make no frame";
        return taken;
    }

    // One RTU frame; a frame with a wrong CRC is dropped, as a controller on the line would.
    bool HandleRtu(std::span<const std::uint8_t> frame)
    {
        if (!RtuCrcValid(frame)) {
            log_.Debug(endpoint_ + ": client " + peer_ + ": frame with a wrong CRC dropped");
            return true;
        }
        std::string fault;
        return Handle(frame[0], frame.subspan(1, frame.size() - 3), {}, fault);
    }

    // Queues one request (or answers it at once); false when the client must go.
    bool Handle(std::uint8_t unit, std::span<const std::uint8_t> pdu, const std::array<std::uint8_t, kMbapHeader>& header,
                std::string& fault)
    {
        Request request;
        std::uint8_t exception = DecodePdu(unit, pdu, settings_.readOnly, line_, request);
        if (exception != 0) {
            request.unit = unit;
            request.function = pdu.empty() ? 0 : pdu[0];
        }
        std::uint64_t seq = 0;
        {
            const std::lock_guard hold(mutex_);
            if (slots_.size() >= kFloodFactor * settings_.maxPipeline) {
                fault = "flooding (" + std::to_string(slots_.size()) + " answers unread)";
                return false;
            }
            if (exception == 0 && queued_ >= settings_.maxPipeline)
                exception = kServerBusy;
            seq = frontSeq_ + slots_.size();
            slots_.emplace_back();
            if (exception == 0)
                ++queued_;
        }
        if (exception != 0) {
            Complete(seq, request, header, exception, Answer{});
            return true;
        }
        auto self = shared_from_this();
        line_.Submit(request, Priority::Interactive, source_, [self, seq, request, header](const Answer& answer) {
            self->Complete(seq, request, header, ExceptionFor(answer), answer, true);
        });
        return true;
    }

    void Complete(std::uint64_t seq, const Request& request, const std::array<std::uint8_t, kMbapHeader>& header,
                  std::uint8_t exception, const Answer& answer, bool wasQueued = false)
    {
        std::array<std::uint8_t, kMaxFrame> frame{};
        std::size_t length = 0;
        if (settings_.protocol == Protocol::ModbusTcp) {
            const std::size_t pdu = EncodePdu(request, exception, answer, std::span(frame).subspan(kMbapHeader));
            std::copy(header.begin(), header.end(), frame.begin());
            PutWord(frame, 4, static_cast<std::uint16_t>(pdu + 1));
            length = kMbapHeader + pdu;
        } else if (request.unit == 0) {
            length = 0; // RTU masters expect no answer to a broadcast, as on the line itself
        } else {
            frame[0] = request.unit;
            const std::size_t pdu = EncodePdu(request, exception, answer, std::span(frame).subspan(1));
            const int crc = CRC16(frame.data(), static_cast<int>(pdu + 1));
            frame[pdu + 1] = static_cast<std::uint8_t>(crc >> 8);
            frame[pdu + 2] = static_cast<std::uint8_t>(crc);
            length = pdu + 3;
        }
        if (request.function == kWriteSingle || request.function == kWriteMultiple) {
            char result[96];
            if (exception == 0)
                std::snprintf(result, sizeof result, "ok");
            else
                std::snprintf(result, sizeof result, "exception %02X (%s)", exception,
                              answer.status == Answer::Status::Done && answer.cause != 0 ? TrovelErrorText(answer.cause)
                              : answer.status == Answer::Status::Expired                 ? "stale, never sent"
                              : answer.status == Answer::Status::QueueFull               ? "queue full"
                                                                                         : "refused");
            log_.Info(endpoint_ + ": write from " + peer_ + " unit " + std::to_string(request.unit) + " register " +
                      std::to_string(request.first) + " value " + ValuesText(request) + ": " + result);
        }
        {
            const std::lock_guard hold(mutex_);
            counts_.Add(exception);
            if (wasQueued) {
                --queued_;
                if (answer.status == Answer::Status::Done)
                    waits_.Add(answer.queued);
            }
            if (seq < frontSeq_ || seq - frontSeq_ >= slots_.size())
                return;
            Slot& slot = slots_[static_cast<std::size_t>(seq - frontSeq_)];
            slot.bytes = frame;
            slot.length = length;
            slot.ready = true;
        }
        changed_.notify_all();
    }

    void WriteLoop()
    {
        std::unique_lock hold(mutex_);
        for (;;) {
            changed_.wait(hold, [&] { return closed_ || (!slots_.empty() && slots_.front().ready); });
            if (closed_)
                break;
            const Slot slot = slots_.front();
            slots_.pop_front();
            ++frontSeq_;
            hold.unlock();
            const bool sent = slot.length == 0 || net::SendAll(socket_, std::span(slot.bytes).first(slot.length), kSendTimeoutMs);
            hold.lock();
            if (!sent) {
                hold.unlock();
                Close("does not take its answers");
                hold.lock();
            }
        }
        writerDone_ = true;
    }

    bool IsClosed()
    {
        const std::lock_guard hold(mutex_);
        return closed_;
    }
    std::size_t Outstanding()
    {
        const std::lock_guard hold(mutex_);
        return slots_.size();
    }

    net::Socket socket_;
    std::string peer_;
    const EndpointSettings settings_; // a copy: answers may come after the endpoint is gone
    LineService& line_;
    Log& log_;
    std::string endpoint_;
    std::uint64_t source_;
    std::thread reader_, writer_;
    std::atomic<bool> readerDone_{false}, writerDone_{false};

    std::mutex mutex_;
    std::condition_variable changed_;
    bool closed_ = false;
    std::deque<Slot> slots_;
    std::uint64_t frontSeq_ = 0;
    std::size_t queued_ = 0;
    Counts counts_;
    WaitSamples waits_;
};

Endpoint::Endpoint(EndpointSettings settings, LineService& line, Log& log)
    : settings_(std::move(settings)), line_(line), log_(log)
{
}

Endpoint::~Endpoint()
{
    Stop();
}

bool Endpoint::Start(std::string& error)
{
    if (!listener_.Listen(settings_.where, error))
        return false;
    stopping_ = false;
    acceptor_ = std::thread([this] { AcceptLoop(); });
    return true;
}

std::string Endpoint::Url() const
{
    const std::string host = settings_.where.host.find(':') != std::string::npos ? "[" + settings_.where.host + "]"
                                                                                  : settings_.where.host;
    return (settings_.protocol == Protocol::ModbusTcp ? "modbus+tcp://" : "rtu+tcp://") + host + ":" +
           std::to_string(listener_.Port());
}

bool Endpoint::Allowed(const net::Peer& peer) const
{
    if (settings_.allow.empty()) {
        net::Network v4, v6;
        net::ParseNetwork("127.0.0.0/8", v4);
        net::ParseNetwork("::1/128", v6);
        return v4.Contains(peer) || v6.Contains(peer);
    }
    return std::any_of(settings_.allow.begin(), settings_.allow.end(), [&](const auto& n) { return n.Contains(peer); });
}

void Endpoint::AcceptLoop()
{
    while (!stopping_) {
        net::Peer peer;
        const net::Socket socket = listener_.Accept(kAcceptPollMs, peer);
        Reap(false);
        if (socket == net::kNoSocket)
            continue;
        if (!Allowed(peer)) {
            log_.Warning(Url() + ": refused " + peer.Text() + ": not in the endpoint's allow-list");
            net::Close(socket);
            continue;
        }
        const std::lock_guard hold(mutex_);
        if (static_cast<int>(connections_.size()) >= settings_.maxConnections) {
            log_.Warning(Url() + ": refused " + peer.Text() + ": " + std::to_string(settings_.maxConnections) +
                         " connections already");
            net::Close(socket);
            continue;
        }
        auto connection = std::make_shared<Connection>(socket, peer, settings_, line_, log_, Url());
        log_.Info(Url() + ": client " + peer.Text() + " connected");
        connection->Start();
        connections_.push_back(std::move(connection));
    }
}

void Endpoint::Reap(bool all)
{
    std::list<std::shared_ptr<Connection>> done;
    {
        const std::lock_guard hold(mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if (all)
                (*it)->Close("");
            if (all || (*it)->Finished()) {
                done.push_back(std::move(*it));
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : done)
        c->Join();
}

void Endpoint::Stop()
{
    stopping_ = true;
    if (acceptor_.joinable())
        acceptor_.join();
    listener_.Close();
    Reap(true);
}

std::vector<ClientReport> Endpoint::TakeReports()
{
    const std::lock_guard hold(mutex_);
    std::vector<ClientReport> reports;
    for (auto& c : connections_)
        reports.push_back(c->TakeReport());
    return reports;
}

} // namespace trovel::gateway
