#pragma once
// Where the simulator's time comes from: the steady clock when it serves a real master, a
// clock moved by hand when tests check motion without sleeping.

#include <atomic>
#include <chrono>

namespace trovel::sim {

using Duration = std::chrono::nanoseconds;
using Seconds = std::chrono::duration<double>;

class Clock {
public:
    virtual ~Clock() = default;
    // Time since an arbitrary origin; never goes backwards.
    virtual Duration Now() const = 0;
};

class SteadyClock final : public Clock {
public:
    Duration Now() const override
    {
        return std::chrono::duration_cast<Duration>(std::chrono::steady_clock::now().time_since_epoch());
    }
};

// Safe to advance from a test thread while a server thread reads it.
class ManualClock final : public Clock {
public:
    Duration Now() const override { return Duration(now_.load()); }
    void Advance(Duration step) { now_ += step.count(); }

private:
    std::atomic<Duration::rep> now_{0};
};

} // namespace trovel::sim
