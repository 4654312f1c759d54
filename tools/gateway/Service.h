#pragma once
// The gateway's core: one queue per line and one thread that owns the line's exchanges.
// Front ends (Modbus TCP, RTU over TCP, later MQTT and HTTP) never touch the line: they
// submit requests here and are called back with the answer. The thread picks the next
// request by priority (clients and commands before polling), then round-robin between
// sources, skipping controllers that are settling after a failure, so one silent
// controller holds up nobody else; a request older than its deadline is never sent.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TrovelSdk.h"
#include "gateway/Stats.h"

namespace trovel::gateway {

using Clock = std::chrono::steady_clock;

inline constexpr std::uint8_t kReadHolding = 3;
inline constexpr std::uint8_t kWriteSingle = 6;
inline constexpr std::uint8_t kWriteMultiple = 16;
inline constexpr std::size_t kMaxRegisters = 125;
// A library call of the front end's own (a validated twin such as TrovelSetMotorSpeed, or
// SetInit's two exchanges), run on the line's thread like any request.
inline constexpr std::uint8_t kLibraryCall = 0;

// One Modbus request to one controller (unit 0: a broadcast write).
struct Request {
    std::uint8_t unit = 1;
    std::uint8_t function = kReadHolding;
    std::uint16_t first = 0;
    std::uint16_t count = 1;
    std::array<std::uint16_t, kMaxRegisters> values{}; // what a write writes
    std::function<int(TrovelLine*)> call; // kLibraryCall: 1, 0 (cause from TrovelLastError)
};

enum class Priority : std::uint8_t { Interactive = 0, Background = 1 };

struct Answer {
    enum class Status : std::uint8_t { Done, Expired, QueueFull, Stopped };
    Status status = Status::Done;
    int cause = TROVEL_OK; // the library's cause when Done
    std::array<std::uint16_t, kMaxRegisters> values{}; // what a read got
    Clock::duration queued{};   // from submission until it went to the line
    Clock::duration onLine{};   // the exchanges themselves, repeats included
    int attempts = 0;
};

// The Modbus exception a client gets for an answer, 0 for a normal reply: a controller's
// own exception as it is, busy for a full queue, "target failed to respond" for everything
// that did not reach a controller or got no answer from it.
std::uint8_t ExceptionFor(const Answer& answer) noexcept;

// Called exactly once per request, on the line's thread (QueueFull: on the submitter's).
// It must not block: it hands the answer to its front end and returns.
using Completion = std::function<void(const Answer&)>;

struct LineSettings {
    std::string name = "line1";
    std::string device;
    int replyMode = -1;   // TROVEL_REPLY_FRAME or _SILENCE; -1 keeps the library's default
    int retries = 0;      // repeats of an exchange that got no (valid) answer
    int timeoutMs = 0;    // 0 keeps the library's time-outs
    int gapMs = 0;
    bool localEcho = false;
    std::size_t queueLimit = 64;
    std::chrono::milliseconds deadline{2000};
    std::uint32_t units = 0x1FFFE; // bit n: controller n is served (1..16)
};

// Sources: each connection (and later the poller) takes one, for round-robin and statistics.
std::uint64_t NewSource() noexcept;

class LineService {
public:
    explicit LineService(LineSettings settings);
    ~LineService();
    LineService(const LineService&) = delete;
    LineService& operator=(const LineService&) = delete;

    // Opens the line and starts its thread; false with the reason when the line cannot open.
    bool Start(std::string& error);
    // Lets the exchange in flight finish, answers everything still queued Stopped, closes
    // the line.
    void Stop();

    // Queues a request; the deadline is when it must have gone to the line.
    void Submit(const Request& request, Priority priority, std::uint64_t source, Clock::time_point deadline,
                Completion done);
    void Submit(const Request& request, Priority priority, std::uint64_t source, Completion done)
    {
        Submit(request, priority, source, Clock::now() + settings_.deadline, std::move(done));
    }

    // Drops the source's requests still queued (answered Stopped, never sent): a client
    // that went away must not have its commands run after it.
    void Cancel(std::uint64_t source);

    // Called after every request of every source is answered (an event stream of the
    // exchanges, for a console); on the line's thread, so it must not block. Add observers
    // before Start.
    using Observer = std::function<void(const Request&, const Answer&, std::uint64_t source)>;
    void AddObserver(Observer observer) { observers_.push_back(std::move(observer)); }

    const LineSettings& Settings() const noexcept { return settings_; }
    bool ServesUnit(std::uint8_t unit) const noexcept { return unit <= 16 && ((settings_.units >> unit) & 1u) != 0; }
    // The library's line, for its statistics only: exchanges are this thread's alone.
    TrovelLine* Handle() const noexcept { return line_; }

    struct Report {
        Counts counts;
        Percentiles wait;
        double busyShare = 0; // of the time since the last report
        std::size_t queued = 0;
        TrovelLineStats line{};
    };
    // The counts since the start; the wait and busy figures since the previous Take.
    Report TakeReport();

private:
    struct Entry {
        Request request;
        Priority priority;
        std::uint64_t source;
        Clock::time_point submitted;
        Clock::time_point deadline;
        Completion done;
        Answer answer;
        std::uint64_t order; // arrival, for ties
    };

    void Run();
    // Under the lock: the entry to serve next, or end() if none may go now; `wake` is set to
    // when that may change without a new submission (a settle ending, a deadline passing).
    std::deque<Entry>::iterator Pick(Clock::time_point now, Clock::time_point& wake);
    void Execute(Entry& entry);
    void Finish(Entry& entry, Answer::Status status);

    LineSettings settings_;
    TrovelLine* line_ = nullptr;
    std::thread thread_;

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::deque<Entry> queue_;
    std::uint64_t arrivals_ = 0;
    std::uint64_t lastSource_ = 0;
    std::array<Clock::time_point, 17> settleUntil_{};

    std::vector<Observer> observers_;

    std::mutex statsMutex_;
    Counts counts_;
    WaitSamples waits_;
    Clock::duration busy_{};
    Clock::time_point reportedAt_ = Clock::now();
};

} // namespace trovel::gateway
