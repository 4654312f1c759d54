#include "device/NameLookup.h"

#include <atomic>
#include <system_error>
#include <thread>

#include "util/Mutex.h"

namespace trovel::device {

namespace {

// Lookup threads still running. Unloading the library waits for them, up to a bound: a
// thread must not return into code that is no longer mapped. (At process exit on Windows they
// are already gone, hence the bound.) The count is a plain atomic so that it stays usable
// however late a thread ends.
std::atomic<int> theRunningCount{0};

class RunningLookups {
public:
    static constexpr std::chrono::seconds kDrainBound{2};
    static constexpr std::chrono::milliseconds kDrainStep{5};

    ~RunningLookups()
    {
        const auto until = util::MonoClock::now() + kDrainBound;
        while (theRunningCount.load() > 0 && util::MonoClock::now() < until)
            std::this_thread::sleep_for(kDrainStep);
    }
};

const RunningLookups theDrainAtUnload;

} // namespace

struct NameLookups::State {
    struct Pending {
        std::string host;
        std::string port;
        bool done = false;
        bool taken = false; // a caller has had the result: the next one looks again
        std::vector<Endpoint> endpoints;
    };
    util::Mutex mutex;
    util::ConditionVariable changed;
    std::uint64_t stops = 0;
    std::shared_ptr<Pending> latest; // the lookup started last, running or done
};

NameLookups::NameLookups() : state_(std::make_shared<State>()) {}

NameLookups::~NameLookups()
{
    Stop();
}

std::uint64_t NameLookups::Stops() const noexcept
{
    const std::lock_guard hold(state_->mutex);
    return state_->stops;
}

void NameLookups::Stop() noexcept
{
    {
        const std::lock_guard hold(state_->mutex);
        ++state_->stops;
    }
    state_->changed.notify_all();
}

NameLookups::Result NameLookups::Resolve(const std::string& host, const std::string& port, const util::Deadline& until,
                                         std::uint64_t stopsSeen)
{
    std::unique_lock hold(state_->mutex);
    if (state_->stops != stopsSeen)
        return {Status::Stopped, {}};
    auto pending = state_->latest;
    // A lookup of this name still running, or one that found it after its caller left, is
    // taken up; otherwise the name is looked up afresh.
    const bool reuse = pending && pending->host == host && pending->port == port && !pending->taken &&
                       (!pending->done || !pending->endpoints.empty());
    if (!reuse) {
        pending = std::make_shared<State::Pending>();
        pending->host = host;
        pending->port = port;
        state_->latest = pending;
        try {
            theRunningCount.fetch_add(1);
            std::thread([state = state_, pending]() mutable {
                auto found = LookUpNow(pending->host, pending->port);
                {
                    const std::lock_guard done(state->mutex);
                    pending->endpoints = std::move(found);
                    pending->done = true;
                }
                state->changed.notify_all();
                // Nothing of ours may be left to run once the count says the thread is gone.
                pending.reset();
                state.reset();
                theRunningCount.fetch_sub(1);
            }).detach();
        } catch (const std::system_error&) {
            theRunningCount.fetch_sub(1);
            state_->latest.reset();
            return {Status::NotFound, {}};
        }
    }
    const bool finished = state_->changed.wait_until(hold, until.When(), [&] {
        return pending->done || state_->stops != stopsSeen;
    });
    if (state_->stops != stopsSeen)
        return {Status::Stopped, {}};
    if (!finished)
        return {Status::TimedOut, {}};
    pending->taken = true;
    if (pending->endpoints.empty())
        return {Status::NotFound, {}};
    return {Status::Found, pending->endpoints};
}

} // namespace trovel::device
