#include "Scan.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace trovel::tools {

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kSilenceCharacters = 3.5;
constexpr int kTurnaroundFactor = 4;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

bool Answered(int cause) { return cause == TROVEL_OK || cause > TROVEL_ERR_EXCEPTION_BASE; }

// A reply that came but did not make a whole answer: a controller is probably there.
bool Garbled(int cause)
{
    switch (cause) {
    case TROVEL_ERR_SHORT_REPLY:
    case TROVEL_ERR_CRC:
    case TROVEL_ERR_MISMATCH:
    case TROVEL_ERR_TWO_FRAMES:
    case TROVEL_ERR_ECHO:
        return true;
    default:
        return false;
    }
}

// The line's time-outs for the scan's life.
class Timeouts {
public:
    Timeouts(TrovelLine* line, const ScanOptions& options) : line_(line), options_(options) {}
    ~Timeouts() { Set(options_.fullTimeoutMs); }
    Timeouts(const Timeouts&) = delete;
    Timeouts& operator=(const Timeouts&) = delete;
    void Set(int totalMs) { TrovelSetTimeouts(line_, totalMs, std::min(options_.gapMs, totalMs)); }

private:
    TrovelLine* line_;
    const ScanOptions& options_;
};

} // namespace

double TurnaroundMs(double exchangeMs) noexcept
{
    const double onTheWire = (kProbeRequestBytes + kProbeReplyBytes + kSilenceCharacters) * kCharacterMs;
    return std::max(0.0, exchangeMs - onTheWire);
}

int ProbeTimeoutMs(double turnaroundMs) noexcept
{
    const double ms = kTurnaroundFactor * turnaroundMs + kProbeReplyBytes * kCharacterMs;
    return std::max(kMinProbeMs, static_cast<int>(std::ceil(ms)));
}

ScanResult ScanLine(TrovelLine* line, const ScanOptions& options, const std::function<void(int, int)>& onAsk,
                    const std::function<void(const Probed&)>& onAnswer)
{
    ScanResult result;
    Timeouts timeouts(line, options);
    // Until something answers, nothing tells how fast this line is: the full time-out.
    int probeMs = options.fullTimeoutMs;
    std::vector<int> silent;
    const auto ask = [&](int address, int pass) {
        if (onAsk)
            onAsk(address, pass);
        int state = 0;
        const auto asked = Clock::now();
        TrovelGetRunState(line, address, &state);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - asked).count();
        const int cause = TrovelLastError();
        if (Answered(cause)) {
            if (pass == 1 && probeMs == options.fullTimeoutMs && options.frameReplies && cause == TROVEL_OK) {
                probeMs = std::min(options.fullTimeoutMs, ProbeTimeoutMs(TurnaroundMs(ms)));
                timeouts.Set(probeMs);
            }
            result.answered.push_back({address, cause});
            if (onAnswer)
                onAnswer(result.answered.back());
        } else if (Garbled(cause)) {
            result.garbled.push_back({address, cause});
        } else {
            result.lastCause = cause;
            silent.push_back(address);
        }
    };

    const auto firstStarted = Clock::now();
    for (int address = options.first; address <= options.last; ++address, ++result.first.asked)
        ask(address, 1);
    result.first.seconds = Seconds(firstStarted);
    result.first.probeMs = probeMs;

    // A probe at the full time-out has said all it can.
    if (!options.quick && probeMs < options.fullTimeoutMs && !silent.empty()) {
        timeouts.Set(options.fullTimeoutMs);
        probeMs = options.fullTimeoutMs;
        const auto secondStarted = Clock::now();
        const std::vector<int> again = std::move(silent);
        silent.clear();
        for (const int address : again) {
            ask(address, 2);
            ++result.second.asked;
        }
        result.second.seconds = Seconds(secondStarted);
        result.second.probeMs = probeMs;
    }
    const auto byAddress = [](const Probed& a, const Probed& b) { return a.address < b.address; };
    std::sort(result.answered.begin(), result.answered.end(), byAddress);
    std::sort(result.garbled.begin(), result.garbled.end(), byAddress);
    return result;
}

} // namespace trovel::tools
