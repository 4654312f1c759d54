#pragma once
// The poller of one line: it keeps the state store up to date for every controller of the
// line, through the line's queue at Background priority, so clients' requests and commands
// always go first. It also carries out the commands that front ends give a controller
// (open, close, stop, automatic run, init, an output, a position to go to), at Interactive
// priority and within their deadline.
//
// Which controllers: those listed in the settings, or, with none listed, those of the
// line's addresses that answer a scan at start and again every few minutes.

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/Log.h"
#include "gateway/Probe.h"
#include "gateway/Service.h"
#include "gateway/State.h"

namespace trovel::gateway {

struct ControllerSettings {
    std::string line;          // the line's name
    std::uint8_t address = 1;
    bool opensLeft = false;    // the screen opens towards the begin point (moving left)
    double tolerance = 2.0;    // a position to go to is reached within this many percent
};

struct PollSettings {
    std::chrono::milliseconds interval{1000};      // each controller at most this often
    std::chrono::milliseconds movingInterval{200}; // while its screen moves
    std::chrono::minutes scanInterval{10};         // 0: scan at start only
    int offlineAfter = 3;                          // failed polls in a row
    double tolerance = 2.0;                        // default of ControllerSettings
    std::vector<ControllerSettings> controllers;   // listed ones, for every line
};

enum class Action : std::uint8_t { Open, Close, Stop, Auto, Init };
bool ParseAction(const std::string& text, Action& out); // OPEN, CLOSE, STOP, AUTO, INIT

struct Outcome {
    bool ok = false;
    std::string text; // what was done, or why it failed
};
using Done = std::function<void(const Outcome&)>;

class Poller {
public:
    Poller(LineService& line, StateStore& store, const PollSettings& settings, Log& log);
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    void Start();
    void Stop(); // before the line stops; pending commands are answered

    const std::string& LineName() const noexcept { return line_.Settings().name; }
    bool Serves(std::uint8_t address) const noexcept { return line_.ServesUnit(address) && address != 0; }
    // How long a command may wait in the line's queue.
    std::chrono::milliseconds Deadline() const noexcept { return line_.Settings().deadline; }

    // Each is answered exactly once, on the line's or the poller's thread. A command that has
    // not gone to the line by its deadline is dropped and answered so. A motion command for a
    // controller ends a position move still running there.
    void Command(std::uint8_t address, Action action, Clock::time_point deadline, Done done);
    void SetOutput(std::uint8_t address, int output, bool on, Clock::time_point deadline, Done done); // output 1-6
    // Moves towards `percent` (0 closed, 100 open) and stops there; answered once it stands.
    void MoveTo(std::uint8_t address, double percent, Clock::time_point deadline, Done done);

private:
    struct Job {
        std::uint8_t address = 0;
        double percent = 0;
        Clock::time_point deadline;
        Done done;
    };
    struct Target {
        bool active = false;
        double percent = 0;
        int attempts = 0;
        bool stopping = false;
        bool headingRight = false;
        float lastPosition = 0;
        Clock::time_point lastAt{};
        Clock::time_point movedAt{};
        Clock::time_point giveUp{};
        Done done;
    };
    struct Polled {
        std::uint8_t address = 0;
        ControllerSettings settings;
        Clock::time_point due{};
        Clock::time_point pointsDue{};
        bool identityDue = true;
        Target target;
    };

    void Run();
    void WriteThen(std::uint8_t unit, std::uint16_t reg, std::uint16_t value, Clock::time_point deadline, Done done);
    void Interrupt(std::uint8_t address); // a motion command came: ends its position move
    bool Interrupted(std::uint8_t address);
    void PollSoon(std::uint8_t address);
    bool ScanOne(); // true when a scan has been through every address
    void ProbeAll();
    void Post(Job job);
    void RunJob(Job& job);
    bool Poll(Polled& c);       // false when the controller did not answer
    void Steer(Polled& c);      // one step of a position move
    void EndTarget(Polled& c, bool ok, const std::string& text);
    Polled* Find(std::uint8_t address);
    Polled& Track(std::uint8_t address);
    ControllerSettings SettingsFor(std::uint8_t address) const;

    // One exchange through the queue, waited for on this thread.
    Answer Exchange(const Request& request, Priority priority, Clock::time_point deadline);
    bool Read(std::uint8_t unit, std::uint16_t first, std::uint16_t count, Answer& answer);
    bool Write(std::uint8_t unit, std::uint16_t reg, std::uint16_t value, Clock::time_point deadline, Outcome& outcome);

    LineService& line_;
    StateStore& store_;
    PollSettings settings_;
    Log& log_;
    std::uint64_t source_;
    std::deque<Polled> polled_; // a deque: Track never moves the ones being polled
    Clock::time_point nextScan_{};
    std::uint8_t scanAt_ = 0; // the address scanned last, 0 between scans
    int scanFound_ = 0;

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::vector<Job> jobs_;
    std::vector<std::uint8_t> interrupts_, soon_;
    std::thread thread_;
};

} // namespace trovel::gateway
