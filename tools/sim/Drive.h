#pragma once
// The screen's carriage on its rail: a position and a signed velocity, moved with a
// trapezoidal speed profile. It accelerates at a constant rate up to the motor speed,
// cruises, and decelerates so that it comes to rest exactly on the target. Every phase is
// solved in closed form, so the result does not depend on how time is sliced.

namespace trovel::sim {

struct DriveLimits {
    double speed = 0;        // position units per second
    double acceleration = 0; // position units per second squared; not positive means instant

    // A carriage with no usable speed cannot run at all.
    bool CanRun() const noexcept;
    bool Instant() const noexcept;
};

class Drive {
public:
    double Position() const noexcept { return position_; }
    double Velocity() const noexcept { return velocity_; }
    bool Moving() const noexcept { return velocity_ != 0.0; }

    // The carriage stays where it is; only the controller's idea of where that is changes.
    void Recalibrate(double position) noexcept { position_ = position; }
    void Halt() noexcept { velocity_ = 0.0; }

    struct Step {
        double used;  // seconds of the slice that the run took
        bool arrived; // at rest on the target
    };

    // Runs towards `target` for at most `dt` seconds. A carriage moving away from the target
    // first brakes, then comes back.
    Step RunTowards(double target, const DriveLimits& limits, double dt) noexcept;

    // Brakes for at most `dt` seconds; returns the time used, less than dt once at rest.
    double Brake(const DriveLimits& limits, double dt) noexcept;

private:
    double position_ = 0.0;
    double velocity_ = 0.0;
};

} // namespace trovel::sim
