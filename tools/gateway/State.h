#pragma once
// What the gateway knows of each controller, as the poller last read it, for every front end
// that shows it (MQTT topics, the browser console). The poller writes; front ends take a
// snapshot, or subscribe and are called back whenever something of a controller changes.

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace trovel::gateway {

// The screen's motion as a user names it, from the run state and the limits, with the
// controller's opening direction applied.
enum class Motion : std::uint8_t { Unknown, Opening, Closing, Stopped, Open, Closed };
const char* MotionName(Motion motion) noexcept; // "opening", ... ; "unknown" before a read

struct Identity {
    bool known = false;
    std::string serial;      // 123456-789ABC-DEF000-112233
    std::string biosDate;    // YYYY-MM-DD, or the raw number when it is not a date
    std::string factoryDate; // likewise
};

struct ControllerState {
    std::string line;
    std::uint8_t address = 0;
    bool opensLeft = false; // the screen opens towards the begin point

    bool available = false;  // answered its last polls (false again after `offlineAfter` failures)
    bool answered = false;   // has answered at least once: the values below mean something
    int failedPolls = 0;     // in a row
    std::uint64_t failures = 0; // failed polls in all
    std::string lastError;   // why the last failed poll failed

    float position = 0;      // the controller's units
    bool pointsKnown = false;
    float beginPoint = 0, endPoint = 0, speed = 0, acceleration = 0;
    std::uint16_t runState = 0; // bit 0 moving left, bit 1 moving right, bit 2 automatic run
    std::uint16_t inputs = 0;   // bits 0-7: left limit, right limit, left extremity, right extremity, 4 more
    std::uint8_t outputs = 0;   // bits 0-5: output 1 to 6
    Identity identity;

    // Derived on every change.
    double percent = -1;     // 0 closed to 100 open between the points; -1 while unknown
    Motion motion = Motion::Unknown;

    std::chrono::system_clock::time_point updated{}; // last answer
    std::uint64_t version = 0; // rises with every change
};

// Which parts of a state a change touched.
namespace change {
inline constexpr unsigned Added = 1u << 0;
inline constexpr unsigned Availability = 1u << 1;
inline constexpr unsigned Position = 1u << 2; // position or percent
inline constexpr unsigned Motion = 1u << 3;   // run state or the derived motion
inline constexpr unsigned Inputs = 1u << 4;
inline constexpr unsigned Outputs = 1u << 5;
inline constexpr unsigned Identity = 1u << 6;
inline constexpr unsigned Points = 1u << 7;   // begin/end point, speed, acceleration
inline constexpr unsigned Failure = 1u << 8;  // the failure count or text
} // namespace change

class StateStore {
public:
    // Called after each change with the new state and what changed, on the poller's thread.
    // It must not block and must not subscribe or unsubscribe; calls come one at a time.
    using Listener = std::function<void(const ControllerState& state, unsigned changes)>;

    std::vector<ControllerState> Snapshot() const;
    bool Find(const std::string& line, std::uint8_t address, ControllerState& out) const;

    // After Unsubscribe returns the listener is never called again.
    std::uint64_t Subscribe(Listener listener);
    void Unsubscribe(std::uint64_t id);

    // The poller's side. Update applies `edit` to the controller's state (made on first use),
    // derives percent and motion, and tells the listeners what changed, if anything.
    void Update(const std::string& line, std::uint8_t address, const std::function<void(ControllerState&)>& edit);

private:
    mutable std::mutex mutex_;
    std::vector<ControllerState> states_;

    std::mutex listenersMutex_; // held while listeners run, so Unsubscribe waits for them
    std::vector<std::pair<std::uint64_t, Listener>> listeners_;
    std::uint64_t nextId_ = 1;
};

// The parts of `state` that are derived: percent and motion.
void Derive(ControllerState& state) noexcept;

} // namespace trovel::gateway
