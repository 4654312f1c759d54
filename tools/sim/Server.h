#pragma once
// Serves a Line on the master side of a pseudo-terminal: a Modbus master (the library,
// mbpoll, a Windows host under wine) opens the slave side by its path. Replies leave after
// the turnaround delay and at the line's speed, shaped by the fault plan. Each reply is
// scheduled when its request has been heard, so a controller that answers late holds up
// no other controller's answer, as on a real line.

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "sim/Clock.h"
#include "sim/Fault.h"
#include "sim/Framer.h"
#include "sim/Line.h"

namespace trovel::sim {

// 10 bits (start, 8 data, stop) at 19200 baud.
inline constexpr Duration kByteTime = std::chrono::microseconds(521);

// What the server saw and did, for logging; `at` counts from Start().
struct Traffic {
    enum class Kind { Request, Reply, Ignored } kind;
    Duration at;
    Bytes bytes;
    std::string note; // why a request went unanswered, or the fault that shaped a reply
};

struct ServerOptions {
    Duration turnaround = std::chrono::milliseconds(5);
    bool paced = true; // false sends each reply piece at once
    Duration silence = kInterFrameSilence;
    std::uint64_t faultSeed = 1; // fault rates draw from a generator seeded with this
    std::function<void(const Traffic&)> onTraffic; // called on the server's thread
};

class Server {
public:
    // Opens a new pseudo-terminal; DevicePath() names its slave side.
    explicit Server(Line& line, ServerOptions options = {});
    // Serves a master descriptor opened elsewhere; the caller keeps it and closes it after
    // the server has stopped.
    Server(Line& line, int masterFd, ServerOptions options = {});
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    const std::string& DevicePath() const noexcept { return path_; }
    FaultPlan& Faults() noexcept { return faults_; }
    Line& Controllers() noexcept { return line_; }

    // Serving runs on a thread of the server's own; Stop() wakes it and waits for it.
    void Start();
    void Stop();

    // Takes effect from the next reply on; safe while serving.
    void SetTurnaround(Duration turnaround) noexcept { turnaround_ = turnaround; }
    Duration Turnaround() const noexcept { return turnaround_; }

    // A server with a pseudo-terminal of its own can be unplugged like a USB adapter: the
    // terminal goes, so the host's reads and writes fail (hang-up, EIO). Replug() serves a
    // new terminal (DevicePath() names it) and starts serving again; the controllers keep
    // their state throughout. Both throw std::logic_error on a server of a caller's descriptor.
    void Unplug();
    void Replug();
    bool Plugged() const noexcept { return master_ >= 0; }

private:
    void OpenTerminal();
    // A piece of a reply, due to start leaving at its key's time.
    struct Outgoing {
        Bytes bytes;
        bool paced;
        std::string note;
    };
    using SteadyTime = std::chrono::steady_clock::time_point;

    void Run();
    void Handle(const RtuFramer::Frame& frame);
    // False when Stop() came first.
    bool Send(SteadyTime due, const Outgoing& piece);
    // False when Stop() came first.
    bool SleepUntil(std::chrono::steady_clock::time_point deadline);
    bool SendAll(std::span<const std::uint8_t> bytes);
    void Report(Traffic::Kind kind, Bytes bytes, std::string note = {});

    Line& line_;
    ServerOptions options_;
    std::atomic<Duration> turnaround_;
    FaultPlan faults_;
    RtuFramer framer_;
    int master_ = -1;
    bool ownsMaster_ = false;
    int wake_ = -1; // eventfd that Stop() signals
    std::string path_;
    std::multimap<SteadyTime, Outgoing> outgoing_; // the server thread's own
    std::thread thread_;
    std::chrono::steady_clock::time_point started_;
};

} // namespace trovel::sim
