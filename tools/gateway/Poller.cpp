#include "gateway/Poller.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace trovel::gateway {

namespace {

// The controller's holding registers that the poller and the commands use. 32-bit values sit
// in a register pair, low half first.
namespace reg {
constexpr std::uint16_t MotionCommand = 10;
constexpr std::uint16_t SwitchOutputs = 12;
constexpr std::uint16_t ParameterBlock = 100; // speed, acceleration, pulse count, begin point, end point
constexpr std::uint16_t ParameterCount = 10;
constexpr std::uint16_t FactoryDate = 300;
constexpr std::uint16_t InputStatus = 400;
constexpr std::uint16_t SwitchStatus = 402; // bits 6-11 mirror outputs 1-6
constexpr std::uint16_t RunState = 404;
constexpr std::uint16_t CurrentPoint = 500;
constexpr std::uint16_t BiosDate = 608;
constexpr std::uint16_t SerialNumber = 700;
constexpr std::uint16_t SerialRegisters = 6;
} // namespace reg

constexpr std::uint16_t kMoveLeft = 0x0008, kMoveRight = 0x0010, kMoveAuto = 0x0020, kMoveStop = 0x0040;
constexpr std::uint16_t kMoving = 0x0003;  // run state: left or right
constexpr unsigned kSwitchStatusShift = 6;
constexpr std::uint16_t kOutputBits = 0x003F;

constexpr int kMoveAttempts = 3;                       // a position move corrects its stop this often
constexpr auto kStopSettle = std::chrono::milliseconds(300); // a fresh move may read as stopped this long
constexpr auto kPointsEvery = std::chrono::seconds(60);      // the points change only by configuration
constexpr auto kMoveSlack = std::chrono::seconds(10);        // beyond the full run's time
constexpr auto kFullQueuePause = std::chrono::milliseconds(20);

float Float(const Answer& a, std::size_t at) noexcept
{
    const std::uint32_t bits = static_cast<std::uint32_t>(a.values[at]) | (static_cast<std::uint32_t>(a.values[at + 1]) << 16);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

std::string DateText(const Answer& a)
{
    const auto v = static_cast<std::int32_t>(static_cast<std::uint32_t>(a.values[0]) | (static_cast<std::uint32_t>(a.values[1]) << 16));
    char text[24];
    if (v >= 10000101 && v <= 99991231)
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", static_cast<int>(v / 10000), static_cast<int>(v / 100 % 100),
                      static_cast<int>(v % 100));
    else
        std::snprintf(text, sizeof text, "%d", static_cast<int>(v));
    return text;
}

std::string SerialText(const Answer& a)
{
    // Twelve bytes, each register high byte first, in groups of three bytes.
    std::string text;
    for (std::size_t i = 0; i < 2u * reg::SerialRegisters; ++i) {
        char digits[4];
        const unsigned byte = i % 2 == 0 ? a.values[i / 2] >> 8 : a.values[i / 2] & 0xFF;
        std::snprintf(digits, sizeof digits, "%02X", byte);
        if (i > 0 && i % 3 == 0)
            text += '-';
        text += digits;
    }
    return text;
}

std::string FailureText(const Answer& a)
{
    switch (a.status) {
    case Answer::Status::Expired: return "dropped: not sent before its deadline";
    case Answer::Status::QueueFull: return "refused: the line's queue is full";
    case Answer::Status::Stopped: return "the gateway is stopping";
    case Answer::Status::Done: break;
    }
    return TrovelErrorText(a.cause);
}

bool Answered(const Answer& a) noexcept
{
    return a.status == Answer::Status::Done && a.cause == TROVEL_OK;
}

// A controller that sent an exception reply is there, though it refused the read.
bool Present(const Answer& a) noexcept
{
    return a.status == Answer::Status::Done && (a.cause == TROVEL_OK || a.cause > TROVEL_ERR_EXCEPTION_BASE);
}

} // namespace

bool ParseAction(const std::string& text, Action& out)
{
    static constexpr std::pair<const char*, Action> kNames[] = {
        {"OPEN", Action::Open}, {"CLOSE", Action::Close}, {"STOP", Action::Stop}, {"AUTO", Action::Auto}, {"INIT", Action::Init}};
    for (const auto& [name, action] : kNames)
        if (text == name) {
            out = action;
            return true;
        }
    return false;
}

Poller::Poller(LineService& line, StateStore& store, const PollSettings& settings, Log& log)
    : line_(line), store_(store), settings_(settings), log_(log), source_(NewSource())
{
}

Poller::~Poller()
{
    Stop();
}

void Poller::Start()
{
    bool listed = false;
    for (const auto& c : settings_.controllers)
        if (c.line == LineName() && Serves(c.address)) {
            Track(c.address);
            listed = true;
        }
    // Listed controllers are the line's; without a list the line is scanned.
    nextScan_ = listed ? Clock::time_point::max() : Clock::now();
    thread_ = std::thread([this] { Run(); });
}

void Poller::Stop()
{
    {
        const std::lock_guard hold(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
    std::vector<Job> rest;
    {
        const std::lock_guard hold(mutex_);
        rest.swap(jobs_);
    }
    for (auto& job : rest)
        job.done({false, "the gateway is stopping"});
    for (auto& c : polled_)
        if (c.target.active)
            EndTarget(c, false, "the gateway is stopping");
}

void Poller::Post(Job job)
{
    {
        const std::lock_guard hold(mutex_);
        if (!stopping_) {
            jobs_.push_back(std::move(job));
            wake_.notify_all();
            return;
        }
    }
    job.done({false, "the gateway is stopping"});
}

void Poller::Command(std::uint8_t address, Action action, Clock::time_point deadline, Done done)
{
    if (!Serves(address)) {
        done({false, "controller " + std::to_string(address) + " is not served on " + LineName()});
        return;
    }
    Interrupt(address);
    const bool opensLeft = SettingsFor(address).opensLeft;
    std::uint16_t value = kMoveStop;
    switch (action) {
    case Action::Open: value = opensLeft ? kMoveLeft : kMoveRight; break;
    case Action::Close: value = opensLeft ? kMoveRight : kMoveLeft; break;
    case Action::Auto: value = kMoveAuto; break;
    case Action::Stop:
    case Action::Init: break;
    }
    // Straight to the line's queue, not through the poller's thread, so a command never
    // waits for a poll round to end.
    WriteThen(address, reg::MotionCommand, value, deadline,
              [this, address, deadline, init = action == Action::Init, done = std::move(done)](const Outcome& o) {
                  if (!o.ok || !init)
                      return done(o);
                  WriteThen(address, reg::SwitchOutputs, 0, deadline, done);
              });
}

void Poller::SetOutput(std::uint8_t address, int output, bool on, Clock::time_point deadline, Done done)
{
    if (!Serves(address) || output < 1 || output > 6) {
        done({false, Serves(address) ? "outputs are numbered 1 to 6"
                                     : "controller " + std::to_string(address) + " is not served on " + LineName()});
        return;
    }
    // Read, change one bit, write: the others keep what the controller holds now.
    Request r;
    r.unit = address;
    r.first = reg::SwitchStatus;
    line_.Submit(r, Priority::Interactive, source_, deadline,
                 [this, address, output, on, deadline, done = std::move(done)](const Answer& a) {
                     if (!Answered(a))
                         return done({false, FailureText(a)});
                     std::uint16_t bits = (a.values[0] >> kSwitchStatusShift) & kOutputBits;
                     const auto bit = static_cast<std::uint16_t>(1u << (output - 1));
                     bits = on ? (bits | bit) : static_cast<std::uint16_t>(bits & ~bit);
                     WriteThen(address, reg::SwitchOutputs, bits, deadline, done);
                 });
}

void Poller::WriteThen(std::uint8_t unit, std::uint16_t reg, std::uint16_t value, Clock::time_point deadline, Done done)
{
    Request r;
    r.unit = unit;
    r.function = kWriteSingle;
    r.first = reg;
    r.values[0] = value;
    line_.Submit(r, Priority::Interactive, source_, deadline, [this, unit, done = std::move(done)](const Answer& a) {
        PollSoon(unit);
        done(Answered(a) ? Outcome{true, "done"} : Outcome{false, FailureText(a)});
    });
}

void Poller::Interrupt(std::uint8_t address)
{
    std::vector<Job> superseded;
    {
        const std::lock_guard hold(mutex_);
        interrupts_.push_back(address);
        for (auto it = jobs_.begin(); it != jobs_.end();)
            if (it->address == address) {
                superseded.push_back(std::move(*it));
                it = jobs_.erase(it);
            } else {
                ++it;
            }
    }
    wake_.notify_all();
    for (auto& job : superseded)
        job.done({false, "ended by a newer command"});
}

bool Poller::Interrupted(std::uint8_t address)
{
    const std::lock_guard hold(mutex_);
    return std::find(interrupts_.begin(), interrupts_.end(), address) != interrupts_.end();
}

void Poller::PollSoon(std::uint8_t address)
{
    {
        const std::lock_guard hold(mutex_);
        soon_.push_back(address);
    }
    wake_.notify_all();
}

void Poller::MoveTo(std::uint8_t address, double percent, Clock::time_point deadline, Done done)
{
    Job job;
    job.address = address;
    job.percent = percent;
    job.deadline = deadline;
    job.done = std::move(done);
    Post(std::move(job));
}

ControllerSettings Poller::SettingsFor(std::uint8_t address) const
{
    for (const auto& c : settings_.controllers)
        if (c.line == LineName() && c.address == address)
            return c;
    ControllerSettings s;
    s.line = LineName();
    s.address = address;
    s.tolerance = settings_.tolerance;
    return s;
}

Poller::Polled* Poller::Find(std::uint8_t address)
{
    for (auto& c : polled_)
        if (c.address == address)
            return &c;
    return nullptr;
}

Poller::Polled& Poller::Track(std::uint8_t address)
{
    if (Polled* c = Find(address))
        return *c;
    Polled c;
    c.address = address;
    c.settings = SettingsFor(address);
    const bool opensLeft = c.settings.opensLeft;
    store_.Update(LineName(), address, [&](ControllerState& s) { s.opensLeft = opensLeft; });
    polled_.push_back(std::move(c));
    return polled_.back();
}

Answer Poller::Exchange(const Request& request, Priority priority, Clock::time_point deadline)
{
    struct Wait {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
        Answer answer;
    } wait;
    line_.Submit(request, priority, source_, deadline, [&wait](const Answer& a) {
        const std::lock_guard hold(wait.mutex);
        wait.answer = a;
        wait.done = true;
        wait.cv.notify_all();
    });
    std::unique_lock hold(wait.mutex);
    wait.cv.wait(hold, [&] { return wait.done; });
    return wait.answer;
}

bool Poller::Read(std::uint8_t unit, std::uint16_t first, std::uint16_t count, Answer& answer)
{
    Request r;
    r.unit = unit;
    r.function = kReadHolding;
    r.first = first;
    r.count = count;
    answer = Exchange(r, Priority::Background, Clock::now() + line_.Settings().deadline);
    return Answered(answer);
}

bool Poller::Write(std::uint8_t unit, std::uint16_t reg, std::uint16_t value, Clock::time_point deadline, Outcome& outcome)
{
    Request r;
    r.unit = unit;
    r.function = kWriteSingle;
    r.first = reg;
    r.count = 1;
    r.values[0] = value;
    const Answer a = Exchange(r, Priority::Interactive, deadline);
    if (!Answered(a)) {
        outcome = {false, FailureText(a)};
        return false;
    }
    return true;
}

void Poller::Run()
{
    std::unique_lock hold(mutex_);
    while (!stopping_) {
        if (!jobs_.empty() || !interrupts_.empty() || !soon_.empty()) {
            auto jobs = std::move(jobs_);
            auto interrupts = std::move(interrupts_);
            auto soon = std::move(soon_);
            jobs_.clear();
            interrupts_.clear();
            soon_.clear();
            hold.unlock();
            // Interrupts are older than the jobs taken with them: those of their controller
            // went with the interrupt.
            for (const auto address : interrupts)
                if (Polled* c = Find(address); c != nullptr && c->target.active)
                    EndTarget(*c, false, "ended by a newer command");
            for (const auto address : soon)
                if (Polled* c = Find(address))
                    c->due = Clock::now();
            for (auto& job : jobs)
                RunJob(job);
            hold.lock();
            continue;
        }
        hold.unlock();
        auto now = Clock::now();
        if (now >= nextScan_ && ScanOne())
            nextScan_ = settings_.scanInterval.count() > 0 ? Clock::now() + settings_.scanInterval : Clock::time_point::max();
        bool steering = false;
        for (auto& c : polled_)
            if (c.target.active) {
                Steer(c);
                steering = true;
            }
        Polled* next = nullptr;
        for (auto& c : polled_)
            if (next == nullptr || c.due < next->due)
                next = &c;
        now = Clock::now();
        // While a screen is steered to a position the others wait, unless a whole round late:
        // each reading between its own makes its stop less precise.
        const auto late = steering ? settings_.interval : Clock::duration::zero();
        if (next != nullptr && next->due + late <= now) {
            ControllerState s;
            store_.Find(LineName(), next->address, s);
            const bool moving = (s.runState & kMoving) != 0;
            next->due = now + (moving ? settings_.movingInterval : settings_.interval);
            Poll(*next);
        }
        hold.lock();
        if (steering || stopping_ || !jobs_.empty() || !interrupts_.empty() || !soon_.empty())
            continue;
        auto wake = nextScan_;
        for (auto& c : polled_)
            wake = std::min(wake, c.due);
        if (wake == Clock::time_point::max())
            wake_.wait(hold);
        else
            wake_.wait_until(hold, wake);
    }
}

bool Poller::ScanOne()
{
    if (scanAt_ == 0)
        ProbeAll();
    // One address per call, so a scan never holds up the polls of the controllers found.
    while (++scanAt_ <= 16)
        if (Serves(scanAt_) && Find(scanAt_) == nullptr)
            break;
    if (scanAt_ > 16) {
        if (scanFound_ > 0)
            log_.Info(LineName() + ": scan found " + std::to_string(scanFound_) + " controller(s); polling " +
                      std::to_string(polled_.size()));
        scanAt_ = 0;
        scanFound_ = 0;
        return true;
    }
    Answer a;
    Read(scanAt_, reg::RunState, 1, a);
    if (Present(a)) {
        Track(scanAt_);
        ++scanFound_;
    }
    return false;
}

// A scan begins with the short probe of every address, so the controllers present are polled
// within a fraction of a second; the silent ones are then asked one at a time as before.
void Poller::ProbeAll()
{
    auto answered = std::make_shared<std::vector<int>>();
    Request r;
    r.unit = 0;
    r.function = kLibraryCall;
    r.call = ProbeCall(line_.Settings(), answered);
    if (!r.call)
        return;
    if (Exchange(r, Priority::Background, Clock::now() + line_.Settings().deadline).status != Answer::Status::Done)
        return;
    for (const int address : *answered) {
        const auto unit = static_cast<std::uint8_t>(address);
        if (Serves(unit) && Find(unit) == nullptr) {
            Track(unit);
            ++scanFound_;
        }
    }
}

bool Poller::Poll(Polled& c)
{
    Answer a;
    const auto fail = [&] {
        if (a.status != Answer::Status::Done)
            return false; // not the controller's doing: the queue was busy or the gateway stops
        const int offlineAfter = settings_.offlineAfter;
        const std::string why = FailureText(a);
        bool wentOffline = false;
        store_.Update(LineName(), c.address, [&](ControllerState& s) {
            ++s.failedPolls;
            ++s.failures;
            s.lastError = why;
            if (s.available && s.failedPolls >= offlineAfter) {
                s.available = false;
                wentOffline = true;
            }
        });
        if (wentOffline) {
            log_.Warning(LineName() + " #" + std::to_string(c.address) + ": offline (" + why + ")");
            c.identityDue = true; // it may come back as another controller
            c.pointsDue = {};
        }
        return false;
    };
    if (c.identityDue) {
        Identity id;
        id.known = true;
        // A controller that refuses one of these (an exception) still has the rest shown.
        const std::pair<std::uint16_t, std::uint16_t> reads[] = {
            {reg::SerialNumber, reg::SerialRegisters}, {reg::BiosDate, 2}, {reg::FactoryDate, 2}};
        std::string* texts[] = {&id.serial, &id.biosDate, &id.factoryDate};
        for (std::size_t i = 0; i < 3; ++i) {
            if (Read(c.address, reads[i].first, reads[i].second, a))
                *texts[i] = i == 0 ? SerialText(a) : DateText(a);
            else if (!Present(a))
                return fail();
        }
        c.identityDue = false;
        store_.Update(LineName(), c.address, [&](ControllerState& s) { s.identity = id; });
    }
    if (Clock::now() >= c.pointsDue) {
        if (!Read(c.address, reg::ParameterBlock, reg::ParameterCount, a))
            return fail();
        const float speed = Float(a, 0), acc = Float(a, 2), begin = Float(a, 6), end = Float(a, 8);
        c.pointsDue = Clock::now() + kPointsEvery;
        store_.Update(LineName(), c.address, [&](ControllerState& s) {
            s.pointsKnown = true;
            s.speed = speed;
            s.acceleration = acc;
            s.beginPoint = begin;
            s.endPoint = end;
        });
    }
    if (!Read(c.address, reg::CurrentPoint, 2, a))
        return fail();
    const float position = Float(a, 0);
    if (!Read(c.address, reg::RunState, 1, a))
        return fail();
    const std::uint16_t run = a.values[0];
    if (!Read(c.address, reg::InputStatus, 1, a))
        return fail();
    const std::uint16_t inputs = a.values[0] & 0xFF;
    if (!Read(c.address, reg::SwitchStatus, 1, a))
        return fail();
    const auto outputs = static_cast<std::uint8_t>((a.values[0] >> kSwitchStatusShift) & kOutputBits);
    bool cameBack = false;
    store_.Update(LineName(), c.address, [&](ControllerState& s) {
        cameBack = s.answered && !s.available;
        s.answered = true;
        s.available = true;
        s.failedPolls = 0;
        s.position = position;
        s.runState = run;
        s.inputs = inputs;
        s.outputs = outputs;
        s.updated = std::chrono::system_clock::now();
    });
    if (cameBack)
        log_.Info(LineName() + " #" + std::to_string(c.address) + ": online again");
    return true;
}

void Poller::RunJob(Job& job)
{
    const std::string who = LineName() + " #" + std::to_string(job.address);
    if (!Serves(job.address)) {
        job.done({false, "controller " + std::to_string(job.address) + " is not served on " + LineName()});
        return;
    }
    if (!(job.percent >= 0 && job.percent <= 100)) {
        job.done({false, "a position is a percentage from 0 to 100"});
        return;
    }
    if (Clock::now() > job.deadline) { // as late as a request that waited out its deadline
        job.done({false, "dropped: not sent before its deadline"});
        return;
    }
    Polled& p = Track(job.address);
    if (p.target.active)
        EndTarget(p, false, "ended by a newer command");
    ControllerState s;
    store_.Find(LineName(), job.address, s);
    if (!s.pointsKnown || !s.available) {
        job.done({false, "the controller's position is not known yet"});
        return;
    }
    p.target = Target{};
    p.target.active = true;
    p.target.percent = job.percent;
    p.target.stopping = true; // the first step decides which way to go
    p.target.lastAt = Clock::now() - kStopSettle;
    const double span = std::fabs(static_cast<double>(s.endPoint) - s.beginPoint);
    const double runTime = s.speed > 0 && std::isfinite(s.speed) ? std::min(span / s.speed, 600.0) : 60.0;
    p.target.giveUp = Clock::now() + std::chrono::seconds(static_cast<int>(runTime) + 1) * kMoveAttempts + kMoveSlack;
    p.target.done = std::move(job.done);
    log_.Info(who + ": moving to " + std::to_string(job.percent) + "%");
}

void Poller::EndTarget(Polled& c, bool ok, const std::string& text)
{
    c.target.active = false;
    if (c.target.done) {
        auto done = std::move(c.target.done);
        c.target.done = nullptr;
        done({ok, text});
    }
}

void Poller::Steer(Polled& c)
{
    Target& t = c.target;
    ControllerState s;
    store_.Find(LineName(), c.address, s);
    const double begin = s.beginPoint, span = static_cast<double>(s.endPoint) - s.beginPoint;
    const auto toPercent = [&](double position) {
        const double right = span != 0 ? (position - begin) / span * 100.0 : 0.0;
        return c.settings.opensLeft ? 100.0 - right : right;
    };
    const double target = begin + span * (c.settings.opensLeft ? 100.0 - t.percent : t.percent) / 100.0;
    const double tolerance = std::fabs(span) * c.settings.tolerance / 100.0;
    const auto deadline = Clock::now() + line_.Settings().deadline;
    Outcome outcome;

    Answer a;
    if (!Read(c.address, reg::CurrentPoint, 2, a)) {
        if (a.status == Answer::Status::Done && s.failedPolls + 1 >= settings_.offlineAfter)
            EndTarget(c, false, FailureText(a));
        if (a.status == Answer::Status::QueueFull) { // answered at once: no spinning on a full queue
            std::unique_lock hold(mutex_);
            wake_.wait_for(hold, kFullQueuePause, [this] { return stopping_; });
        }
        return;
    }
    const double position = Float(a, 0);
    const auto now = Clock::now();
    if (Interrupted(c.address))
        return; // the loop ends the move; the newer command has the motor
    if (now > t.giveUp) {
        Write(c.address, reg::MotionCommand, kMoveStop, deadline, outcome);
        EndTarget(c, false, "gave up: the screen did not reach the position in time");
        return;
    }
    if (t.stopping) {
        Answer run;
        if (!Read(c.address, reg::RunState, 1, run) || (run.values[0] & kMoving) != 0 || now - t.lastAt < kStopSettle)
            return;
        char text[64];
        std::snprintf(text, sizeof text, "stopped at %.1f%%", toPercent(position));
        if (std::fabs(position - target) <= tolerance) {
            c.due = Clock::now();
            EndTarget(c, true, text);
            return;
        }
        if (t.attempts >= kMoveAttempts) {
            EndTarget(c, false, std::string(text) + ", outside the tolerance after " + std::to_string(t.attempts) + " moves");
            return;
        }
        ++t.attempts;
        t.headingRight = target > position;
        if (Interrupted(c.address))
            return;
        const auto sent = Clock::now();
        if (!Write(c.address, reg::MotionCommand, t.headingRight ? kMoveRight : kMoveLeft, deadline, outcome)) {
            EndTarget(c, false, outcome.text);
            return;
        }
        const double distance = std::fabs(target - position), acc = s.acceleration, top = s.speed;
        if (std::isfinite(acc) && acc > 0 && std::isfinite(top) && top > 0 && distance < top * top / acc) {
            // Too short to reach full speed, so readings come too seldom to steer by: speeding up
            // for T and braking as long covers acc * T^2, and the stop goes out after T.
            const auto ramp = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::sqrt(distance / acc)));
            {
                std::unique_lock hold(mutex_);
                wake_.wait_until(hold, sent + ramp, [this] { return stopping_; });
            }
            if (!Interrupted(c.address) && !Write(c.address, reg::MotionCommand, kMoveStop, deadline, outcome)) {
                EndTarget(c, false, outcome.text);
                return;
            }
            t.lastAt = Clock::now();
            return;
        }
        t.stopping = false;
        t.lastPosition = static_cast<float>(position);
        t.lastAt = t.movedAt = Clock::now();
        return;
    }
    // Moving: the stop goes out early by the braking distance and by how far the screen runs
    // while the command travels, and when waiting for the next reading would overshoot more
    // than stopping now falls short.
    const double dt = std::chrono::duration<double>(now - t.lastAt).count();
    const double speed = dt > 0 ? std::fabs(position - t.lastPosition) / dt : 0;
    const double latency = std::chrono::duration<double>(a.onLine).count();
    const double lead = speed * latency;
    const double brake = s.acceleration > 0 && std::isfinite(s.acceleration) ? speed * speed / (2 * s.acceleration) : 0;
    const double remaining = t.headingRight ? target - position : position - target;
    t.lastPosition = static_cast<float>(position);
    t.lastAt = now;
    // A limit, or someone else, may have stopped it first: it no longer moves.
    const bool stoppedAlone = now - t.movedAt >= kStopSettle && speed == 0;
    if (remaining - brake - lead <= speed * dt / 2 || stoppedAlone) {
        if (!stoppedAlone && !Interrupted(c.address) && !Write(c.address, reg::MotionCommand, kMoveStop, deadline, outcome)) {
            EndTarget(c, false, outcome.text);
            return;
        }
        if (log_.Enabled(Level::Debug)) {
            char text[160];
            std::snprintf(text, sizeof text, "%s #%u: stop at %.2f for %.2f (speed %.1f, braking %.2f, lead %.2f)%s",
                          LineName().c_str(), c.address, position, target, speed, brake, lead, stoppedAlone ? ", stopped alone" : "");
            log_.Debug(text);
        }
        t.stopping = true;
        t.lastAt = Clock::now();
    }
}

} // namespace trovel::gateway
