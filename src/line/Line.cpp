#include "line/Line.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "modbus/Frame.h"

namespace trovel::line {

namespace {

constexpr std::uint32_t PackTiming(int totalMs, int gapMs) noexcept
{
    return (static_cast<std::uint32_t>(totalMs) << 16) | static_cast<std::uint32_t>(gapMs);
}

void Add(std::atomic<std::uint32_t>& counter, std::size_t amount = 1) noexcept
{
    counter.fetch_add(static_cast<std::uint32_t>(amount), std::memory_order_relaxed);
}

// The trace callbacks the calling thread is inside, innermost first (a callback may call the
// library, whose trace enters a callback again).
struct RunningCallback {
    explicit RunningCallback(const Line* of) noexcept : line(of), outer(innermost) { innermost = this; }
    ~RunningCallback() { innermost = outer; }
    RunningCallback(const RunningCallback&) = delete;
    RunningCallback& operator=(const RunningCallback&) = delete;

    const Line* line;
    RunningCallback* outer;
    static thread_local RunningCallback* innermost;
};

thread_local RunningCallback* RunningCallback::innermost = nullptr;

int CallbacksRunningHere(const Line* line) noexcept
{
    int count = 0;
    for (const RunningCallback* r = RunningCallback::innermost; r != nullptr; r = r->outer)
        count += r->line == line ? 1 : 0;
    return count;
}

} // namespace

Line::Line(TraceFile* processTrace) noexcept
    : processTrace_(processTrace),
      timing_(PackTiming(static_cast<int>(kClassicTiming.total.count()), static_cast<int>(kClassicTiming.gap.count())))
{
    UpdateTracing();
}

Line::~Line()
{
    Close();
}

Cause Line::Open(const std::string& device)
{
    const std::lock_guard opening(openMutex_);
    if (IsOpen())
        return Cause::Ok; // the device opened first stays, with its settings
    std::uint64_t generation = 0;
    device::OpenStop stop;
    {
        const std::lock_guard hold(control_);
        name_ = device;
        stop = StopOfOpen(generation);
    }
    auto opened = device::Open(device, util::Deadline::After(CurrentTiming().total), stop);
    if (!opened.device)
        return FromOpenError(opened.error);
    std::shared_ptr<device::Device> ready(std::move(opened.device));
    Prepare(*ready, device);
    const std::lock_guard hold(control_);
    if (generation_ != generation)
        return Cause::NotOpen; // closed while it was being opened
    device_ = std::move(ready);
    open_.store(true, std::memory_order_release);
    return Cause::Ok;
}

void Line::Close() noexcept
{
    std::shared_ptr<device::Device> device;
    {
        const std::lock_guard hold(control_);
        open_.store(false, std::memory_order_release);
        ++generation_;
        device = std::move(device_);
    }
    closed_.notify_all(); // a failing call waiting out its time-out returns now
    lookups_.Stop();      // an open waiting for a host name gives up now
    // An exchange still holding the device returns from its wait now and releases it last.
    if (device)
        device->Interrupt();
}

// Before a device is published: the host's RS-485 setting, and what the trace should know of
// the adapter. A setting the adapter refuses leaves the line as it would be without it.
void Line::Prepare(device::Device& device, const std::string& name)
{
    std::optional<device::Rs485> rs485;
    {
        const std::lock_guard hold(control_);
        rs485 = rs485_;
    }
    if (rs485) {
        const Cause cause = FromSettingResult(device.SetRs485(*rs485));
        if (cause != Cause::Ok && processTrace_ != nullptr)
            processTrace_->Note(name + ": RS-485 direction not set: " + CauseText(static_cast<int>(cause)));
    }
    const device::Latency latency = device.AdapterLatency();
    if (processTrace_ == nullptr || latency.foundMs < 0)
        return;
    std::string note = name + ": USB latency timer " + std::to_string(latency.foundMs) + " ms";
    if (latency.nowMs >= 0 && latency.nowMs < latency.foundMs)
        note += ", lowered to " + std::to_string(latency.nowMs) + " ms while the line is open";
    else if (latency.nowMs > 1)
        note += std::string(" (cannot be lowered: ") + std::strerror(latency.writeError) + "); each reply waits up to " +
                std::to_string(latency.nowMs) + " ms in the adapter";
    processTrace_->Note(note);
}

Cause Line::SetRs485(const device::Rs485& settings)
{
    // Not during an exchange: a driver may drop what it is sending when its settings change.
    const std::lock_guard exchange(exchangeLock_);
    std::shared_ptr<device::Device> device = AcquireDevice();
    if (device) {
        const Cause cause = FromSettingResult(device->SetRs485(settings));
        if (cause != Cause::Ok)
            return cause;
    }
    const std::lock_guard hold(control_);
    rs485_ = settings;
    return Cause::Ok;
}

device::Latency Line::AdapterLatency() const
{
    const std::lock_guard hold(control_);
    return device_ ? device_->AdapterLatency() : device::Latency{};
}

void Line::WaitUnlessClosed(Time until)
{
    std::unique_lock hold(control_);
    closed_.wait_until(hold, until, [&] { return !IsOpen(); });
}

// Under `control_`: the generation an open starts from, and what lets Close stop it.
device::OpenStop Line::StopOfOpen(std::uint64_t& generation)
{
    generation = generation_;
    return {&lookups_, lookups_.Stops()};
}

std::string Line::DeviceName() const
{
    const std::lock_guard hold(control_);
    return name_;
}

bool Line::SetTimeouts(int totalMs, int gapMs) noexcept
{
    if (totalMs < kMinTotalMs || totalMs > kMaxTotalMs || gapMs < kMinGapMs || gapMs > totalMs)
        return false;
    timing_.store(PackTiming(totalMs, gapMs), std::memory_order_relaxed);
    return true;
}

Timing Line::CurrentTiming() const noexcept
{
    const std::uint32_t packed = timing_.load(std::memory_order_relaxed);
    return {std::chrono::milliseconds(packed >> 16), std::chrono::milliseconds(packed & 0xFFFFu)};
}

bool Line::SetRetries(int count) noexcept
{
    if (count < 0 || count > kMaxRetries)
        return false;
    retries_.store(count, std::memory_order_relaxed);
    return true;
}

bool Line::SetReplyMode(int mode) noexcept
{
    if (mode != static_cast<int>(ReplyMode::Silence) && mode != static_cast<int>(ReplyMode::Frame))
        return false;
    replyMode_.store(mode, std::memory_order_relaxed);
    return true;
}

void Line::SetTrace(TrovelTraceFn fn, void* user) noexcept
{
    {
        std::unique_lock hold(traceMutex_);
        traceFn_ = fn;
        traceUser_ = user;
        ++traceVersion_;
        retiredCalls_ += currentCalls_;
        currentCalls_ = 0;
        // A callback that calls this itself cannot wait for its own return.
        const int own = CallbacksRunningHere(this);
        retiredHeldBySetters_ += own;
        traceIdle_.notify_all(); // another setter may now count this thread's calls as held
        traceIdle_.wait(hold, [&] { return retiredCalls_ <= retiredHeldBySetters_; });
        retiredHeldBySetters_ -= own;
    }
    UpdateTracing();
}

void Line::UpdateTracing() noexcept
{
    const std::lock_guard hold(traceMutex_);
    tracing_.store(traceFn_ != nullptr || processTrace_ != nullptr, std::memory_order_relaxed);
}

Line::Outcome Line::TransactFrame(std::span<const std::uint8_t> request, const modbus::ReplyRule& rule,
                                  ReplyBuffer& reply)
{
    // After a failure the same controller is asked again only once its late reply could
    // have come; the wait happens before queueing, so the line serves others meanwhile.
    WaitOutLateReplies(request[0]);
    Received received;
    Outcome outcome{Cause::NotOpen, {}};
    const Time began = util::MonoClock::now();
    if (IsOpen() && !AcquireDevice() && !Reopen(CurrentTiming())) {
        // Still gone: no faster than a silent line (unless closed meanwhile), and the lock
        // was never needed.
        WaitUnlessClosed(began + CurrentTiming().total);
        if (IsOpen()) {
            Count(Cause::DeviceGone, 0, 0);
            outcome = {Cause::DeviceGone, {}};
        }
    } else {
        const std::lock_guard hold(exchangeLock_);
        outcome = Attempt(request, rule, reply, began, received);
    }
    // Outside the lock, so that a trace callback may call the library, on this line too.
    if (tracing_.load(std::memory_order_relaxed) && outcome.cause != Cause::NotOpen) {
        const std::string name = DeviceName();
        Trace({name, request[0], request, std::span(reply).first(received.count), outcome.elapsed, outcome.cause});
    }
    return outcome;
}

Line::Outcome Line::Attempt(std::span<const std::uint8_t> request, const modbus::ReplyRule& rule, ReplyBuffer& reply,
                            Time called, Received& received)
{
    receivedCount_.store(0, std::memory_order_relaxed);
    sentCount_.store(0, std::memory_order_relaxed);
    const Timing timing = CurrentTiming();
    // A failing call takes as long as a silent controller would, so that a host that
    // simply calls again does not spin; the time it queued for the line counts.
    const auto failNoSoonerThan = called + timing.total;
    const auto device = AcquireDevice();
    if (!device) {
        if (!IsOpen())
            return {Cause::NotOpen, {}};
        // Gone since this call looked; the next one reopens it.
        WaitUnlessClosed(failNoSoonerThan);
        Count(Cause::DeviceGone, 0, 0);
        return {Cause::DeviceGone, {}};
    }

    const std::uint8_t address = request[0];
    Settle(*device, address, timing);
    device->DiscardInput();
    // A master owes the line 3.5 characters of silence after the last byte before it speaks;
    // a device that frames its own messages needs none.
    const auto silence = device->WholeFrames() ? std::chrono::nanoseconds::zero() : modbus::kInterFrameSilence;
    std::this_thread::sleep_until(lastByteAt_ + silence);
    const Time sentAt = util::MonoClock::now();
    const device::Io sent = device->Write(request, util::Deadline::After(kWriteLimit));
    sentCount_.store(static_cast<std::uint32_t>(sent.count), std::memory_order_relaxed);

    Cause cause = Cause::DeviceGone;
    std::span<const std::uint8_t> answer;
    if (!sent.gone) {
        const std::size_t echo = localEcho_.load(std::memory_order_relaxed) ? request.size() : 0;
        const bool frameMode = replyMode_.load(std::memory_order_relaxed) == static_cast<int>(ReplyMode::Frame);
        received = ReceiveReply(*device, reply, {timing.total, timing.gap, frameMode ? &rule : nullptr, echo, silence});
        receivedCount_.store(static_cast<std::uint32_t>(received.count), std::memory_order_relaxed);
        if (received.count > 0)
            lastByteAt_ = received.lastByteAt;
        // A connection that closes right behind a complete answer still delivered it.
        answer = std::span<const std::uint8_t>(reply.data(), received.count);
        const bool echoed = answer.size() >= echo && std::equal(request.begin(), request.begin() + static_cast<std::ptrdiff_t>(echo), answer.begin());
        if (echo > 0 && !answer.empty() && !echoed) {
            cause = Cause::Echo;
        } else {
            answer = answer.subspan(std::min(echo, answer.size()));
            cause = FromVerdict(modbus::JudgeReply(rule, answer, received.endedOnSilence));
        }
        if (received.gone && cause != Cause::Ok)
            cause = Cause::DeviceGone;
    }
    if (cause != Cause::Ok && !IsOpen()) {
        cause = Cause::NotOpen; // closed under the exchange: that, not the line, ended it
    } else if (sent.gone || received.gone) {
        Forget(device); // the next exchange opens it again
        if (cause == Cause::DeviceGone)
            WaitUnlessClosed(failNoSoonerThan);
    }
    // A request that got no answer may still be answered late; the next request to the
    // same controller waits for that (a broadcast is never answered at all).
    if (address != modbus::kBroadcastAddress) {
        const bool answered = cause == Cause::Ok || IsException(cause);
        // Lateness counts from the moment the request went out.
        failedAt_[address].store(answered ? 0 : sentAt.time_since_epoch().count(), std::memory_order_relaxed);
    }
    Count(cause, sent.count, received.count);
    return {cause, answer, std::chrono::duration_cast<std::chrono::microseconds>(util::MonoClock::now() - sentAt)};
}

std::optional<Line::Time> Line::FailedAt(std::uint8_t address) const noexcept
{
    const std::int64_t at = failedAt_[address].load(std::memory_order_relaxed);
    if (at == 0)
        return std::nullopt;
    return Time(Time::duration(at));
}

void Line::WaitOutLateReplies(std::uint8_t address) const
{
    if (const auto failed = FailedAt(address))
        std::this_thread::sleep_until(*failed + kSettleTime);
}

// Under the lock: a caller that queued before the failure was known waits out the rest of
// the settle time here; then the line must have been quiet for the gap. Whatever arrives
// meanwhile is a late reply or noise, read and dropped.
void Line::Settle(device::Device& device, std::uint8_t address, const Timing& timing)
{
    const auto failed = FailedAt(address);
    if (!failed)
        return;
    Add(stats_.settles);
    const util::Deadline due(*failed + kSettleTime);
    const util::Deadline bound(*failed + kSettleBound);
    std::array<std::uint8_t, 256> discard{};
    for (;;) {
        const util::Deadline quiet(lastByteAt_ + timing.gap);
        const device::Io io = device.ReadSome(discard, due.LaterOf(quiet).EarlierOf(bound));
        if (io.count == 0 || io.gone || bound.Passed())
            break; // quiet long enough (or interrupted, or gone: the send will tell)
        lastByteAt_ = util::MonoClock::now();
    }
}

std::shared_ptr<device::Device> Line::AcquireDevice()
{
    const std::lock_guard hold(control_);
    return device_;
}

// Outside the exchange lock; the device, if any, is published for the exchanges to take.
std::shared_ptr<device::Device> Line::Reopen(const Timing& timing)
{
    if (reopening_.exchange(true, std::memory_order_acquire))
        return nullptr; // another caller is reopening it: this call does not queue behind that
    struct Done {
        std::atomic<bool>& flag;
        ~Done() { flag.store(false, std::memory_order_release); }
    } done{reopening_};
    const Time now = util::MonoClock::now();
    if (now - lastReopenTry_ < kReopenInterval)
        return nullptr;
    lastReopenTry_ = now;
    std::string name;
    std::uint64_t generation = 0;
    device::OpenStop stop;
    {
        const std::lock_guard hold(control_);
        if (!IsOpen())
            return nullptr;
        if (device_)
            return device_; // reopened by a caller that was here first
        name = name_;
        stop = StopOfOpen(generation);
    }
    auto opened = device::Open(name, util::Deadline::After(timing.total), stop);
    if (!opened.device)
        return nullptr;
    std::shared_ptr<device::Device> ready(std::move(opened.device));
    Prepare(*ready, name);
    const std::lock_guard hold(control_);
    if (!IsOpen() || generation_ != generation)
        return nullptr;
    device_ = ready;
    Add(stats_.reopens);
    return ready;
}

void Line::Forget(const std::shared_ptr<device::Device>& gone) noexcept
{
    const std::lock_guard hold(control_);
    if (device_ == gone)
        device_.reset();
}

void Line::Count(Cause cause, std::size_t sent, std::size_t received) noexcept
{
    if (cause == Cause::NotOpen)
        return;
    Add(stats_.exchanges);
    Add(stats_.bytesSent, sent);
    Add(stats_.bytesReceived, received);
    if (cause == Cause::Ok) {
        Add(stats_.successes);
        return;
    }
    Add(stats_.failures);
    switch (cause) {
    case Cause::NoReply: Add(stats_.noReply); break;
    case Cause::ShortReply: Add(stats_.shortReplies); break;
    case Cause::Crc: Add(stats_.crcErrors); break;
    case Cause::Mismatch: Add(stats_.mismatches); break;
    case Cause::TwoFrames: Add(stats_.twoFrames); break;
    case Cause::Echo: Add(stats_.echoErrors); break;
    case Cause::DeviceGone: Add(stats_.deviceGone); break;
    default:
        if (IsException(cause))
            Add(stats_.exceptions);
        break;
    }
}

void Line::ReadStats(TrovelLineStats& out) const noexcept
{
    const auto get = [](const std::atomic<std::uint32_t>& counter) { return counter.load(std::memory_order_relaxed); };
    TrovelLineStats all{};
    all.size = sizeof all;
    all.exchanges = get(stats_.exchanges);
    all.successes = get(stats_.successes);
    all.failures = get(stats_.failures);
    all.noReply = get(stats_.noReply);
    all.shortReplies = get(stats_.shortReplies);
    all.crcErrors = get(stats_.crcErrors);
    all.mismatches = get(stats_.mismatches);
    all.twoFrames = get(stats_.twoFrames);
    all.exceptions = get(stats_.exceptions);
    all.echoErrors = get(stats_.echoErrors);
    all.deviceGone = get(stats_.deviceGone);
    all.retries = get(stats_.retries);
    all.settles = get(stats_.settles);
    all.reopens = get(stats_.reopens);
    all.bytesSent = get(stats_.bytesSent);
    all.bytesReceived = get(stats_.bytesReceived);
    // A host built against an older, shorter struct gets its own part of it.
    const std::uint32_t size = std::min<std::uint32_t>(out.size, sizeof all);
    all.size = out.size;
    std::memcpy(&out, &all, size);
}

void Line::Trace(const ExchangeRecord& record) noexcept
{
    if (processTrace_ != nullptr)
        processTrace_->Write(record);
    TrovelTraceFn fn = nullptr;
    void* user = nullptr;
    std::uint64_t version = 0;
    {
        const std::lock_guard hold(traceMutex_);
        fn = traceFn_;
        user = traceUser_;
        version = traceVersion_;
        if (fn == nullptr)
            return;
        ++currentCalls_;
    }
    {
        const RunningCallback running(this);
        fn(user, handle_, record.address, record.request.data(), static_cast<int>(record.request.size()),
           record.reply.data(), static_cast<int>(record.reply.size()), static_cast<int>(record.elapsed.count()),
           static_cast<int>(record.cause));
    }
    const std::lock_guard hold(traceMutex_);
    if (version == traceVersion_) {
        --currentCalls_;
    } else {
        --retiredCalls_;
        traceIdle_.notify_all();
    }
}

} // namespace trovel::line
