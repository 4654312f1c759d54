#pragma once
// Serves a Line to Modbus masters: on the master side of a pseudo-terminal (the library,
// mbpoll, a Windows host under wine open the slave side by its path), or on a TCP port, as
// a serial device server (RTU bytes through the connection) or a Modbus TCP gateway would.
// Replies leave after the turnaround delay and at the line's speed, shaped by the fault
// plan. Each reply is scheduled when its request has been heard, so a controller that
// answers late holds up no other controller's answer, as on a real line; the serving
// thread only ever waits in one poll, for input, the end of a frame or a reply byte due.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "modbus/Frame.h"
#include "sim/Clock.h"
#include "sim/Fault.h"
#include "sim/Framer.h"
#include "sim/Line.h"

namespace trovel::sim {

// What the server saw and did, for logging; `at` counts from Start().
struct Traffic {
    enum class Kind { Request, Reply, Ignored, Connected, Disconnected } kind;
    Duration at;
    Bytes bytes; // as on the wire: RTU frames, or Modbus TCP frames with their header
    std::string note; // why a request went unanswered, the fault that shaped a reply, a peer's address
};

struct ServerOptions {
    Duration turnaround = std::chrono::milliseconds(5);
    bool paced = true; // false sends each reply piece at once
    Duration silence = modbus::kInterFrameSilence;
    std::uint64_t faultSeed = 1; // fault rates draw from a generator seeded with this
    // A USB adapter's latency timer between the line and the host (0: none). Reply bytes on
    // a pseudo-terminal are held as an FTDI chip holds them: until this long after the first
    // byte it has buffered, or until a USB packet's worth has come.
    Duration adapterLatency = Duration::zero();
    std::function<void(const Traffic&)> onTraffic; // called on the server's thread
};

// A TCP port to serve the line on.
struct Listen {
    enum class Framing {
        Rtu,       // the RTU bytes as on the serial line: a serial device server
        ModbusTcp, // a 7-byte header with the transaction number, no CRC: a Modbus TCP gateway
    };
    Framing framing = Framing::Rtu;
    std::string host = "127.0.0.1"; // a numeric address or a name
    std::uint16_t port = 0;         // 0: a free port, which Port() then tells
};

// Reads HOST:PORT, [IPV6]:PORT, :PORT or PORT; without a host, 127.0.0.1.
std::optional<Listen> ParseListen(std::string_view text, Listen::Framing framing);

class Server {
public:
    // Opens a new pseudo-terminal; DevicePath() names its slave side.
    explicit Server(Line& line, ServerOptions options = {});
    // Serves a master descriptor opened elsewhere; the caller keeps it and closes it after
    // the server has stopped.
    Server(Line& line, int masterFd, ServerOptions options = {});
    // Listens on a TCP port; DevicePath() is the URL a host opens, such as
    // "modbus+tcp://127.0.0.1:40123". Every connection is served, several at once, each
    // reply on the connection its request came by. Throws std::system_error when the port
    // cannot be had.
    Server(Line& line, const Listen& listen, ServerOptions options = {});
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    const std::string& DevicePath() const noexcept { return path_; }
    // The TCP port listened on; 0 for a pseudo-terminal.
    std::uint16_t Port() const noexcept { return port_; }
    FaultPlan& Faults() noexcept { return faults_; }
    Line& Controllers() noexcept { return line_; }

    // Serving runs on a thread of the server's own; Stop() wakes it and waits for it.
    // Connections and the terminal stay open while stopped; replies not yet sent are lost.
    void Start();
    void Stop();

    // Takes effect from the next reply on; safe while serving.
    void SetTurnaround(Duration turnaround) noexcept { turnaround_ = turnaround; }
    Duration Turnaround() const noexcept { return turnaround_; }

    // Unplug() pulls the server off its medium as a USB adapter is pulled or a gateway
    // restarts: a pseudo-terminal of its own goes, so the host's reads and writes fail
    // (hang-up, EIO); a TCP server closes its listener and every connection, so connecting
    // is refused. Replug() comes back: a new terminal (DevicePath() names it), or the same
    // TCP port, and serves again; the controllers keep their state throughout. A server of
    // a caller's descriptor cannot (std::logic_error).
    void Unplug();
    void Replug();
    bool Plugged() const noexcept { return master_ >= 0 || listener_ >= 0; }

private:
    using SteadyTime = std::chrono::steady_clock::time_point;

    // One master: the terminal, or a TCP connection.
    struct Peer {
        int fd;
        std::uint64_t id;
        RtuFramer framer;
        Bytes held; // Modbus TCP: the start of a frame still arriving
        std::string name = {}; // a TCP peer's address, for the log
        bool closed = false;
    };
    // A Modbus TCP request's header fields that its reply carries back.
    struct Mbap {
        std::uint16_t transaction;
        std::uint8_t unit;
    };
    // Bytes due to leave for one peer at their key's time; the last piece of a reply also
    // carries the whole reply, to report it once it is out.
    struct Outgoing {
        std::uint64_t peer;
        Bytes bytes;
        Bytes reply;
        std::string note;
    };

    void OpenTerminal();
    void OpenListener();
    void CloseNetwork() noexcept;
    void Run();
    void Accept();
    void ReadFrom(Peer& peer);
    void Lost(Peer& peer);
    void TakeModbusTcp(Peer& peer);
    void HandleRtu(Peer& peer, const RtuFramer::Frame& frame);
    void Answer(Peer& peer, const Bytes& request, const std::optional<Mbap>& mbap, std::span<const std::uint8_t> wire);
    void Schedule(std::uint64_t peer, SteadyTime at, std::vector<Burst> bursts, const std::string& note);
    void HoldInAdapter(std::vector<std::pair<SteadyTime, Outgoing>>& pieces) const;
    // False when Stop() came first.
    bool SendDue();
    bool SendAll(int fd, std::span<const std::uint8_t> bytes);
    void Report(Traffic::Kind kind, Bytes bytes, std::string note = {});
    void ResetPeers();

    Line& line_;
    ServerOptions options_;
    std::atomic<Duration> turnaround_;
    FaultPlan faults_;
    int master_ = -1;
    bool ownsMaster_ = false;
    std::optional<Listen> listen_; // set for a TCP server
    int listener_ = -1;
    std::uint16_t port_ = 0;
    int wake_ = -1; // eventfd that Stop() signals
    std::string path_;
    // The serving thread's own, and the caller's while it is stopped.
    std::vector<Peer> peers_;
    std::uint64_t nextPeer_ = 0;
    SteadyTime terminalRestsUntil_{};
    std::multimap<SteadyTime, Outgoing> outgoing_;
    std::thread thread_;
    SteadyTime started_;
};

} // namespace trovel::sim
