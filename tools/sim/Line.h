#pragma once
// The controllers that share one RS-485 line, answering Modbus RTU requests as the real
// ones do: functions 3, 6 and 16; silence for a corrupt frame, an address nobody has and
// a broadcast; an exception reply for anything else they cannot do.

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "sim/Clock.h"
#include "sim/Controller.h"

namespace trovel::sim {

using Bytes = std::vector<std::uint8_t>;

// True when the last two bytes carry the CRC of the bytes before them.
bool FrameCrcValid(std::span<const std::uint8_t> frame) noexcept;

// Address, function code with bit 7 set, exception code, CRC.
Bytes ExceptionReply(std::uint8_t address, std::uint8_t function, Exception code);

// Parses a list of device addresses such as "1-4" or "1,3,7-9": each 1 to 16, none twice.
std::optional<std::vector<std::uint8_t>> ParseAddresses(std::string_view text);

// The clock a line uses when none is given.
const Clock& DefaultClock();

class Line {
public:
    // One controller per address, in the order given. Addresses must be 1 to 16.
    explicit Line(const std::vector<std::uint8_t>& addresses, const Clock& clock = DefaultClock());

    // The reply the line gives to one complete request frame, or nothing when it stays
    // silent. The controllers' motion is brought up to the clock first.
    std::optional<Bytes> Respond(std::span<const std::uint8_t> frame);

    // True when some controller would answer the frame: its CRC holds and it is addressed
    // to a controller on the line (not broadcast).
    bool Answers(std::span<const std::uint8_t> frame) const;

    // Runs `action` on the controller that now answers `address`, under the line's lock and
    // after catching up with the clock. Throws std::out_of_range when none does.
    template <class Action>
    decltype(auto) With(std::uint8_t address, Action&& action)
    {
        const std::lock_guard lock(mutex_);
        CatchUp();
        return action(Find(address));
    }

    // One line of text per controller, in the order they were given.
    std::vector<std::string> Status();
    std::size_t Size() const noexcept { return controllers_.size(); }

private:
    Controller& Find(std::uint8_t address);
    Controller* Addressee(std::uint8_t address) noexcept;
    void CatchUp();
    std::optional<Bytes> Execute(Controller& controller, std::span<const std::uint8_t> frame);

    const Clock& clock_;
    mutable std::mutex mutex_;
    std::vector<Controller> controllers_;
    Duration lastUpdate_;
};

} // namespace trovel::sim
