#include "gateway/Service.h"

#include <algorithm>
#include <cstdio>

namespace trovel::gateway {

namespace {

// After a controller failed to answer, the line waits out its late reply for this long
// before it asks it again. The gateway keeps that controller's requests queued meanwhile
// (where their deadlines still apply) and serves the others, rather than wait inside the
// library's exchange.
constexpr auto kSettle = std::chrono::milliseconds(1000);

bool NoAnswer(int cause) noexcept
{
    return cause >= TROVEL_ERR_NO_REPLY && cause <= TROVEL_ERR_DEVICE_GONE;
}

// Repeating may cure these; a gone device is reopened by the line on its next exchange,
// which the next request makes.
bool Repeatable(int cause) noexcept
{
    return cause >= TROVEL_ERR_NO_REPLY && cause <= TROVEL_ERR_ECHO;
}

std::atomic<std::uint64_t> sources{0};

} // namespace

std::uint64_t NewSource() noexcept
{
    return sources.fetch_add(1, std::memory_order_relaxed) + 1;
}

std::uint8_t ExceptionFor(const Answer& answer) noexcept
{
    switch (answer.status) {
    case Answer::Status::QueueFull: return kServerBusy;
    case Answer::Status::Expired:
    case Answer::Status::Stopped: return kTargetFailed;
    case Answer::Status::Done: break;
    }
    if (answer.cause == TROVEL_OK)
        return 0;
    if (answer.cause > TROVEL_ERR_EXCEPTION_BASE && answer.cause <= TROVEL_ERR_EXCEPTION(0xFF))
        return static_cast<std::uint8_t>(answer.cause - TROVEL_ERR_EXCEPTION_BASE);
    if (answer.cause == TROVEL_ERR_ARGUMENT)
        return kIllegalValue;
    return kTargetFailed;
}

std::string Counts::Text() const
{
    std::string text = "requests " + std::to_string(requests) + ", answered " + std::to_string(answered);
    std::string exceptionText;
    for (std::size_t code = 1; code < exceptions.size(); ++code) {
        if (exceptions[code] == 0)
            continue;
        char item[32];
        std::snprintf(item, sizeof item, " %02zX x%llu", code, static_cast<unsigned long long>(exceptions[code]));
        exceptionText += item;
    }
    return text + ", exceptions" + (exceptionText.empty() ? " none" : exceptionText);
}

LineService::LineService(LineSettings settings) : settings_(std::move(settings)) {}

LineService::~LineService()
{
    Stop();
}

bool LineService::Start(std::string& error)
{
    line_ = TrovelOpenLine(settings_.device.c_str());
    if (line_ == nullptr) {
        error = settings_.name + ": cannot open " + settings_.device + ": " + TrovelErrorText(TrovelLastError());
        return false;
    }
    // Repeats are the gateway's, so a controller's settle between them holds up nobody and a
    // repeat never goes out past its request's deadline.
    bool ok = TrovelSetRetries(line_, 0) == 1;
    if (settings_.timeoutMs > 0)
        // Without a gap of its own a short time-out keeps the classic 100 ms, or itself.
        ok = ok && TrovelSetTimeouts(line_, settings_.timeoutMs,
                                     settings_.gapMs > 0 ? settings_.gapMs : std::min(100, settings_.timeoutMs)) == 1;
    if (settings_.replyMode >= 0)
        ok = ok && TrovelSetReplyMode(line_, settings_.replyMode) == 1;
    ok = ok && TrovelSetLocalEcho(line_, settings_.localEcho ? 1 : 0) == 1;
    if (!ok) {
        error = settings_.name + ": the line refused its settings (time-outs " + std::to_string(settings_.timeoutMs) +
                "/" + std::to_string(settings_.gapMs) + " ms)";
        TrovelCloseLine(line_);
        line_ = nullptr;
        return false;
    }
    reportedAt_ = Clock::now();
    thread_ = std::thread([this] { Run(); });
    return true;
}

void LineService::Stop()
{
    {
        const std::lock_guard hold(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
    if (line_ != nullptr) {
        TrovelCloseLine(line_);
        line_ = nullptr;
    }
}

void LineService::Submit(const Request& request, Priority priority, std::uint64_t source, Clock::time_point deadline,
                         Completion done)
{
    const auto now = Clock::now();
    bool stopped = false;
    {
        std::unique_lock hold(mutex_);
        stopped = stopping_;
        if (!stopped && queue_.size() < settings_.queueLimit) {
            queue_.push_back({request, priority, source, now, deadline, std::move(done), {}, arrivals_++});
            hold.unlock();
            wake_.notify_one();
            return;
        }
    }
    Entry refused{request, priority, source, now, deadline, std::move(done), {}, 0};
    Finish(refused, stopped ? Answer::Status::Stopped : Answer::Status::QueueFull);
}

void LineService::Cancel(std::uint64_t source)
{
    std::vector<Entry> dropped;
    {
        const std::lock_guard hold(mutex_);
        for (auto it = queue_.begin(); it != queue_.end();) {
            if (it->source == source) {
                dropped.push_back(std::move(*it));
                it = queue_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& entry : dropped)
        Finish(entry, Answer::Status::Stopped);
}

std::deque<LineService::Entry>::iterator LineService::Pick(Clock::time_point now, Clock::time_point& wake)
{
    auto best = queue_.end();
    std::uint64_t bestDistance = 0;
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        wake = std::min(wake, it->deadline);
        const auto settled = settleUntil_[it->request.unit];
        if (settled > now) {
            wake = std::min(wake, settled);
            continue;
        }
        // Round-robin: the source next after the one served last goes first.
        const std::uint64_t distance = it->source - lastSource_ - 1;
        if (best == queue_.end() || it->priority < best->priority ||
            (it->priority == best->priority && distance < bestDistance)) {
            best = it;
            bestDistance = distance;
        }
    }
    return best;
}

void LineService::Run()
{
    std::unique_lock hold(mutex_);
    while (!stopping_) {
        const auto now = Clock::now();
        // Stale requests are answered, never sent.
        for (auto it = queue_.begin(); it != queue_.end();) {
            if (it->deadline > now) {
                ++it;
                continue;
            }
            Entry stale = std::move(*it);
            it = queue_.erase(it);
            hold.unlock();
            Finish(stale, Answer::Status::Expired);
            hold.lock();
            it = queue_.begin(); // the queue may have changed meanwhile
        }
        auto wake = Clock::time_point::max();
        const auto next = Pick(Clock::now(), wake);
        if (next == queue_.end()) {
            if (wake == Clock::time_point::max())
                wake_.wait(hold);
            else
                wake_.wait_until(hold, wake);
            continue;
        }
        Entry entry = std::move(*next);
        queue_.erase(next);
        lastSource_ = entry.source;
        hold.unlock();

        if (entry.answer.attempts == 0)
            entry.answer.queued = Clock::now() - entry.submitted;
        Execute(entry);
        const int cause = entry.answer.cause;
        const bool again = Repeatable(cause) && entry.request.unit != 0 && entry.answer.attempts <= settings_.retries;

        hold.lock();
        if (NoAnswer(cause) && entry.request.unit != 0)
            settleUntil_[entry.request.unit] = Clock::now() + kSettle;
        if (again && !stopping_) {
            queue_.push_front(std::move(entry)); // it keeps its deadline and its place
            continue;
        }
        hold.unlock();
        Finish(entry, Answer::Status::Done);
        hold.lock();
    }
    auto rest = std::move(queue_);
    queue_.clear();
    hold.unlock();
    for (auto& entry : rest)
        Finish(entry, Answer::Status::Stopped);
}

void LineService::Execute(Entry& entry)
{
    const Request& r = entry.request;
    Answer& a = entry.answer;
    ++a.attempts;
    const auto began = Clock::now();
    int ok = -1; // front ends submit nothing else; refused with nothing sent
    switch (r.function) {
    case kReadHolding: ok = TrovelReadRegisters(line_, r.unit, r.first, r.count, a.values.data()); break;
    case kWriteSingle: ok = TrovelWriteRegister(line_, r.unit, r.first, r.values[0]); break;
    case kWriteMultiple: ok = TrovelWriteRegisters(line_, r.unit, r.first, r.count, r.values.data()); break;
    case kLibraryCall: ok = r.call ? r.call(line_) : -1; break;
    default: break;
    }
    a.cause = ok == 1 ? TROVEL_OK : ok == 0 ? TrovelLastError() : TROVEL_ERR_ARGUMENT;
    const auto spent = Clock::now() - began;
    a.onLine += spent;
    const std::lock_guard hold(statsMutex_);
    busy_ += spent;
}

void LineService::Finish(Entry& entry, Answer::Status status)
{
    entry.answer.status = status;
    if (status != Answer::Status::Done && entry.answer.attempts == 0)
        entry.answer.queued = Clock::now() - entry.submitted;
    {
        const std::lock_guard hold(statsMutex_);
        counts_.Add(ExceptionFor(entry.answer));
        if (status == Answer::Status::Done)
            waits_.Add(entry.answer.queued);
    }
    if (entry.done)
        entry.done(entry.answer);
    for (const auto& observe : observers_)
        observe(entry.request, entry.answer, entry.source);
}

LineService::Report LineService::TakeReport()
{
    Report report;
    {
        const std::lock_guard hold(mutex_);
        report.queued = queue_.size();
    }
    const auto now = Clock::now();
    {
        const std::lock_guard hold(statsMutex_);
        report.counts = counts_;
        report.wait = waits_.Take();
        const auto span = now - reportedAt_;
        report.busyShare = span.count() > 0 ? std::min(1.0, static_cast<double>(busy_.count()) / static_cast<double>(span.count())) : 0;
        busy_ = {};
        reportedAt_ = now;
    }
    report.line.size = sizeof report.line;
    if (line_ != nullptr)
        TrovelGetLineStats(line_, &report.line);
    return report;
}

} // namespace trovel::gateway
