#pragma once
// A point on the monotonic clock that a wait must not pass. Every time-out of the line (the
// reply's total time, the gap after its last byte, the write limit, a settle) is one of
// these, so that the backends and the simulator do the arithmetic in one place.

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace trovel::util {

using MonoClock = std::chrono::steady_clock;
using Nanoseconds = std::chrono::nanoseconds;

class Deadline {
public:
    explicit constexpr Deadline(MonoClock::time_point when) noexcept : when_(when) {}

    static Deadline After(Nanoseconds span) noexcept { return Deadline(MonoClock::now() + span); }
    // A deadline that has already passed: look, but do not wait.
    static Deadline Now() noexcept { return Deadline(MonoClock::now()); }

    MonoClock::time_point When() const noexcept { return when_; }
    bool Passed() const noexcept { return MonoClock::now() >= when_; }

    // Time left, never negative.
    Nanoseconds Remaining() const noexcept
    {
        return std::max(Nanoseconds::zero(), std::chrono::duration_cast<Nanoseconds>(when_ - MonoClock::now()));
    }

    // Whole milliseconds left, rounded up, for interfaces that count in milliseconds: a wait
    // never ends before the deadline.
    std::uint32_t RemainingMsCeil() const noexcept
    {
        const auto ns = Remaining().count();
        return static_cast<std::uint32_t>((ns + 999'999) / 1'000'000);
    }

    Deadline EarlierOf(const Deadline& other) const noexcept { return Deadline(std::min(when_, other.when_)); }
    Deadline LaterOf(const Deadline& other) const noexcept { return Deadline(std::max(when_, other.when_)); }

private:
    MonoClock::time_point when_;
};

} // namespace trovel::util
