#include "sim/Drive.h"

#include <algorithm>
#include <cmath>

namespace trovel::sim {

namespace {
// Each pass of RunTowards ends one phase (accelerate, cruise, decelerate, brake) or the
// slice; a move has at most five phases, so this bound is never reached in practice.
constexpr int kMaxPhases = 16;

double Sign(double v) noexcept { return v < 0 ? -1.0 : 1.0; }

// Rounding leaves the braking point a hair away from where the closed form puts it.
bool WithinBrakingDistance(double brakeDistance, double distance) noexcept
{
    return brakeDistance >= distance - 1e-9 * std::max(1.0, distance);
}
} // namespace

bool DriveLimits::CanRun() const noexcept { return std::isfinite(speed) && speed > 0.0; }

bool DriveLimits::Instant() const noexcept { return !(std::isfinite(acceleration) && acceleration > 0.0); }

double Drive::Brake(const DriveLimits& limits, double dt) noexcept
{
    if (velocity_ == 0.0)
        return 0.0;
    if (limits.Instant()) {
        velocity_ = 0.0;
        return 0.0;
    }
    const double a = limits.acceleration;
    const double toRest = std::abs(velocity_) / a;
    if (toRest <= dt) {
        position_ += velocity_ * toRest / 2.0;
        velocity_ = 0.0;
        return toRest;
    }
    position_ += velocity_ * dt - Sign(velocity_) * a * dt * dt / 2.0;
    velocity_ -= Sign(velocity_) * a * dt;
    return dt;
}

Drive::Step Drive::RunTowards(double target, const DriveLimits& limits, double dt) noexcept
{
    if (!limits.CanRun()) {
        velocity_ = 0.0;
        return {0.0, position_ == target};
    }
    const double s = limits.speed;
    const double a = limits.acceleration;
    double used = 0.0;
    for (int phase = 0; phase < kMaxPhases && used < dt; ++phase) {
        const double left = dt - used;
        const double offset = target - position_;
        if (offset == 0.0 && velocity_ == 0.0)
            return {used, true};
        const double dir = offset == 0.0 ? -Sign(velocity_) : Sign(offset);
        if (velocity_ != 0.0 && Sign(velocity_) != dir) {
            used += Brake(limits, left);
            continue;
        }
        const double u = std::abs(velocity_);
        const double distance = std::abs(offset);

        if (limits.Instant()) {
            const double toTarget = distance / s;
            if (toTarget <= left) {
                position_ = target;
                velocity_ = 0.0;
                return {used + toTarget, true};
            }
            position_ += dir * s * left;
            velocity_ = dir * s;
            return {dt, false};
        }

        const double brakeDistance = u * u / (2.0 * a);
        if (u > 0.0 && WithinBrakingDistance(brakeDistance, distance)) {
            // Final approach: the deceleration that ends exactly on the target, which is the
            // set acceleration unless the target moved closer during the run.
            const double toTarget = 2.0 * distance / u;
            if (toTarget <= left) {
                position_ = target;
                velocity_ = 0.0;
                return {used + toTarget, true};
            }
            const double decel = u * u / (2.0 * distance);
            position_ += dir * (u * left - decel * left * left / 2.0);
            velocity_ = dir * (u - decel * left);
            return {dt, false};
        }
        if (u < s) {
            // Accelerate until motor speed or until the braking point, whichever comes first.
            const double toTopSpeed = (s - u) / a;
            const double toBrakingPoint = (std::sqrt(u * u / 2.0 + a * distance) - u) / a;
            const double t = std::min({toTopSpeed, toBrakingPoint, left});
            position_ += dir * (u * t + a * t * t / 2.0);
            velocity_ = dir * (t == toTopSpeed ? s : u + a * t);
            used += t;
            continue;
        }
        if (u > s) {
            // The speed was lowered during the run: slow down to it.
            const double t = std::min((u - s) / a, left);
            position_ += dir * (u * t - a * t * t / 2.0);
            velocity_ = dir * (t == left ? u - a * t : s);
            used += t;
            continue;
        }
        const double t = std::min((distance - brakeDistance) / u, left);
        position_ += dir * u * t;
        used += t;
    }
    return {dt, false};
}

} // namespace trovel::sim
