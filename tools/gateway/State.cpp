#include "gateway/State.h"

#include <algorithm>
#include <cmath>

namespace trovel::gateway {

namespace {

constexpr std::uint16_t kMovingLeft = 1u << 0;
constexpr std::uint16_t kMovingRight = 1u << 1;
constexpr std::uint16_t kLeftLimit = 1u << 0;
constexpr std::uint16_t kRightLimit = 1u << 1;

unsigned Changes(const ControllerState& a, const ControllerState& b)
{
    unsigned c = 0;
    if (a.answered != b.answered) // the first answer: everything is new
        c |= change::Position | change::Motion | change::Inputs | change::Outputs | change::Points;
    if (a.available != b.available)
        c |= change::Availability;
    if (a.position != b.position || a.percent != b.percent)
        c |= change::Position;
    if (a.runState != b.runState || a.motion != b.motion)
        c |= change::Motion;
    if (a.inputs != b.inputs)
        c |= change::Inputs;
    if (a.outputs != b.outputs)
        c |= change::Outputs;
    if (a.identity.known != b.identity.known || a.identity.serial != b.identity.serial ||
        a.identity.biosDate != b.identity.biosDate || a.identity.factoryDate != b.identity.factoryDate)
        c |= change::Identity;
    if (a.pointsKnown != b.pointsKnown || a.beginPoint != b.beginPoint || a.endPoint != b.endPoint ||
        a.speed != b.speed || a.acceleration != b.acceleration)
        c |= change::Points;
    if (a.failedPolls != b.failedPolls || a.failures != b.failures || a.lastError != b.lastError)
        c |= change::Failure;
    return c;
}

} // namespace

const char* MotionName(Motion motion) noexcept
{
    switch (motion) {
    case Motion::Opening: return "opening";
    case Motion::Closing: return "closing";
    case Motion::Stopped: return "stopped";
    case Motion::Open: return "open";
    case Motion::Closed: return "closed";
    case Motion::Unknown: break;
    }
    return "unknown";
}

void Derive(ControllerState& s) noexcept
{
    if (!s.answered) {
        s.percent = -1;
        s.motion = Motion::Unknown;
        return;
    }
    const double span = static_cast<double>(s.endPoint) - static_cast<double>(s.beginPoint);
    if (s.pointsKnown && std::isfinite(span) && span != 0 && std::isfinite(s.position)) {
        const double right = std::clamp((s.position - s.beginPoint) / span * 100.0, 0.0, 100.0);
        s.percent = s.opensLeft ? 100.0 - right : right;
    } else {
        s.percent = -1;
    }
    const bool left = (s.runState & kMovingLeft) != 0, right = (s.runState & kMovingRight) != 0;
    const bool atLeft = (s.inputs & kLeftLimit) != 0, atRight = (s.inputs & kRightLimit) != 0;
    if (left != right)
        s.motion = (right != s.opensLeft) ? Motion::Opening : Motion::Closing;
    else if (atLeft != atRight)
        s.motion = (atRight != s.opensLeft) ? Motion::Open : Motion::Closed;
    else
        s.motion = Motion::Stopped;
}

std::vector<ControllerState> StateStore::Snapshot() const
{
    const std::lock_guard hold(mutex_);
    return states_;
}

bool StateStore::Find(const std::string& line, std::uint8_t address, ControllerState& out) const
{
    const std::lock_guard hold(mutex_);
    for (const auto& s : states_)
        if (s.line == line && s.address == address) {
            out = s;
            return true;
        }
    return false;
}

std::uint64_t StateStore::Subscribe(Listener listener)
{
    const std::lock_guard hold(listenersMutex_);
    listeners_.emplace_back(nextId_, std::move(listener));
    return nextId_++;
}

void StateStore::Unsubscribe(std::uint64_t id)
{
    const std::lock_guard hold(listenersMutex_);
    std::erase_if(listeners_, [id](const auto& l) { return l.first == id; });
}

void StateStore::Update(const std::string& line, std::uint8_t address,
                        const std::function<void(ControllerState&)>& edit)
{
    ControllerState now;
    unsigned changes = 0;
    {
        const std::lock_guard hold(mutex_);
        auto it = std::find_if(states_.begin(), states_.end(),
                               [&](const ControllerState& s) { return s.line == line && s.address == address; });
        if (it == states_.end()) {
            ControllerState fresh;
            fresh.line = line;
            fresh.address = address;
            states_.push_back(fresh);
            it = states_.end() - 1;
            changes |= change::Added;
        }
        const ControllerState before = *it;
        edit(*it);
        Derive(*it);
        changes |= Changes(before, *it);
        if (changes == 0)
            return;
        ++it->version;
        now = *it;
    }
    const std::lock_guard hold(listenersMutex_);
    for (const auto& [id, listener] : listeners_)
        listener(now, changes);
}

} // namespace trovel::gateway
