#pragma once
// A line: one serial port (or network gateway) shared by up to sixteen controllers. It owns
// its device, the exchange lock that keeps requests and replies of concurrent callers
// apart, its settings and its statistics. The classic exports use one line, the default
// line; hosts may open more.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "TrovelSdk.h"
#include "device/Device.h"
#include "line/Cause.h"
#include "line/Receive.h"
#include "line/Trace.h"
#include "modbus/Reply.h"
#include "util/Mutex.h"

namespace trovel::line {

enum class ReplyMode : int { Silence = TROVEL_REPLY_SILENCE, Frame = TROVEL_REPLY_FRAME };

// The time-outs of a reply.
struct Timing {
    std::chrono::milliseconds total;
    std::chrono::milliseconds gap;
};

inline constexpr Timing kClassicTiming{std::chrono::milliseconds(250), std::chrono::milliseconds(100)};
inline constexpr int kMinTotalMs = 10;
inline constexpr int kMaxTotalMs = 10'000;
inline constexpr int kMinGapMs = 2;
inline constexpr int kMaxRetries = 5;

// A write must be handed to the device within this time, whatever the reply time-outs.
inline constexpr std::chrono::milliseconds kWriteLimit{250};
// A vanished device is tried again at most this often.
inline constexpr std::chrono::milliseconds kReopenInterval{250};
// After a failed exchange, replies up to this late are waited out before the same
// controller is asked again, but the wait never lasts beyond the bound.
inline constexpr std::chrono::milliseconds kSettleTime{1000};
inline constexpr std::chrono::milliseconds kSettleBound{2000};

class Line {
public:
    // `processTrace`: the trace file of the whole process, if any; it outlives every line.
    explicit Line(TraceFile* processTrace = nullptr) noexcept;
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    // Opens the device and publishes it only once it is ready. The name is kept, also when
    // the open fails, and used again to reopen a device that vanished.
    Cause Open(const std::string& device);
    // Reads as closed at once; the device is released as soon as no exchange uses it.
    void Close() noexcept;
    // True from a successful open until Close, also while a vanished device is away.
    bool IsOpen() const noexcept { return open_.load(std::memory_order_acquire); }
    std::string DeviceName() const;

    // The handle the host knows this line by, passed to its trace callback.
    void SetHandle(TrovelLine* handle) noexcept { handle_ = handle; }

    // Settings; each refuses a value out of range and keeps the old one.
    bool SetTimeouts(int totalMs, int gapMs) noexcept;
    bool SetRetries(int count) noexcept;
    void SetLocalEcho(bool on) noexcept { localEcho_.store(on, std::memory_order_relaxed); }
    bool SetReplyMode(int mode) noexcept;
    // Once it returns, the old callback is never entered again and no call of it runs,
    // except those the calling thread is itself inside (and those of other threads that
    // are inside SetTrace of this line too, which would otherwise wait for each other).
    void SetTrace(TrovelTraceFn fn, void* user) noexcept;
    Timing CurrentTiming() const noexcept;
    // Kept across close and reopen and applied at every open; on an open line applied now.
    // Whatever the adapter answers, the line goes on working as before.
    Cause SetRs485(const device::Rs485& settings);
    // The adapter's latency timer while the line is open; -1 where unknown or closed.
    device::Latency AdapterLatency() const;
    int Retries() const noexcept { return retries_.load(std::memory_order_relaxed); }

    // What one exchange came to. The reply sits at `reply` of the caller's buffer.
    struct Outcome {
        Cause cause;
        std::span<const std::uint8_t> reply; // the bytes after any local echo
        std::chrono::microseconds elapsed{}; // from the request to the end of the read
    };

    // One exchange: waits for the exchange lock, lets the line settle if this controller
    // failed to answer last time, discards stale input, sends the request, reads the reply
    // and judges it by `rule`. The trace, if any, sees it after the lock has been left.
    Outcome TransactFrame(std::span<const std::uint8_t> request, const modbus::ReplyRule& rule, ReplyBuffer& reply);

    // Counted by the caller, which decides whether a call is repeated.
    void CountRetry() noexcept { stats_.retries.fetch_add(1, std::memory_order_relaxed); }

    // The byte counts of the latest exchange, cleared when it began.
    std::uint32_t ReceivedCount() const noexcept { return receivedCount_.load(std::memory_order_relaxed); }
    std::uint32_t SentCount() const noexcept { return sentCount_.load(std::memory_order_relaxed); }

    void ReadStats(TrovelLineStats& out) const noexcept;

private:
    using Time = util::MonoClock::time_point;

    Outcome Attempt(std::span<const std::uint8_t> request, const modbus::ReplyRule& rule, ReplyBuffer& reply,
                    Time called, Received& received);
    std::shared_ptr<device::Device> AcquireDevice();
    std::shared_ptr<device::Device> Reopen(const Timing& timing);
    device::OpenStop StopOfOpen(std::uint64_t& generation);
    void WaitUnlessClosed(Time until);
    void Forget(const std::shared_ptr<device::Device>& gone) noexcept;
    std::optional<Time> FailedAt(std::uint8_t address) const noexcept;
    void WaitOutLateReplies(std::uint8_t address) const;
    void Settle(device::Device& device, std::uint8_t address, const Timing& timing);
    void Count(Cause cause, std::size_t sent, std::size_t received) noexcept;
    void Trace(const ExchangeRecord& record) noexcept;
    void UpdateTracing() noexcept;
    void Prepare(device::Device& device, const std::string& name);

    TraceFile* processTrace_;
    TrovelLine* handle_ = nullptr;

    // Opening and closing: `openMutex_` lets one open run at a time; `control_` guards the
    // name, the device and the generation (counted up by every close) and is held only
    // briefly, so Close never waits for an open or an exchange.
    util::Mutex openMutex_;
    mutable util::Mutex control_;
    std::string name_;
    std::shared_ptr<device::Device> device_;
    std::uint64_t generation_ = 0;
    std::atomic<bool> open_{false};
    std::optional<device::Rs485> rs485_; // as the host asked; nothing asked: the driver's own
    util::ConditionVariable closed_; // with `control_`: notified by Close
    // Host name lookups of this line's opens; Close stops a wait on one.
    device::NameLookups lookups_;

    // One reopen at a time, outside the exchange lock: a lookup or a connect never holds up
    // the exchanges of the line, and a caller that finds a reopen running fails at once.
    std::atomic<bool> reopening_{false}; // guards lastReopenTry_
    Time lastReopenTry_{};

    // Held for one exchange; guards everything below it up to the settings.
    util::Mutex exchangeLock_;
    Time lastByteAt_{};                              // when the line last carried a byte to us

    // When a request to each address last went unanswered (0: it was answered); read
    // outside the lock by callers that wait before they queue for it.
    std::array<std::atomic<std::int64_t>, 256> failedAt_{};

    // Settings: read by exchanges without the lock.
    std::atomic<std::uint32_t> timing_; // total ms << 16 | gap ms
    std::atomic<int> retries_{0};
    std::atomic<bool> localEcho_{false};
    std::atomic<int> replyMode_{static_cast<int>(ReplyMode::Silence)};
    std::atomic<bool> tracing_{false}; // a callback is set or the process has a trace file
    // The callback and its calls in progress: those that began before the latest SetTrace
    // (`retiredCalls_`) are waited for by it; those after are not, so callers that keep
    // tracing cannot hold it up.
    util::Mutex traceMutex_;
    util::ConditionVariable traceIdle_;
    TrovelTraceFn traceFn_ = nullptr;
    void* traceUser_ = nullptr;
    std::uint64_t traceVersion_ = 0;
    int currentCalls_ = 0;
    int retiredCalls_ = 0;
    int retiredHeldBySetters_ = 0; // retired calls whose thread waits in SetTrace itself

    std::atomic<std::uint32_t> receivedCount_{0};
    std::atomic<std::uint32_t> sentCount_{0};

    struct Stats {
        std::atomic<std::uint32_t> exchanges{0}, successes{0}, failures{0}, noReply{0}, shortReplies{0},
            crcErrors{0}, mismatches{0}, twoFrames{0}, exceptions{0}, echoErrors{0}, deviceGone{0}, retries{0},
            settles{0}, reopens{0}, bytesSent{0}, bytesReceived{0};
    } stats_;
};

} // namespace trovel::line
