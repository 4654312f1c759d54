#include "gateway/Probe.h"

#include <algorithm>

#include "Scan.h"

namespace trovel::gateway {

namespace {
// The library's own time-outs, which a line keeps unless its settings name others.
constexpr int kDefaultTimeoutMs = 250;
constexpr int kDefaultGapMs = 100;
} // namespace

std::function<int(TrovelLine*)> ProbeCall(const LineSettings& settings, std::shared_ptr<std::vector<int>> answered)
{
    if (settings.replyMode != TROVEL_REPLY_FRAME)
        return nullptr;
    tools::ScanOptions options;
    options.quick = true;
    options.frameReplies = true;
    options.fullTimeoutMs = settings.timeoutMs > 0 ? settings.timeoutMs : kDefaultTimeoutMs;
    options.gapMs = settings.gapMs > 0 ? settings.gapMs
                                       : (settings.timeoutMs > 0 ? std::min(kDefaultGapMs, settings.timeoutMs) : kDefaultGapMs);
    const std::uint32_t units = settings.units;
    return [options, units, answered](TrovelLine* line) {
        // Retries would make every silent address slower to pass; the gateway repeats requests
        // itself, so the line's own are 0 and stay so.
        const tools::ScanResult result = tools::ScanLine(line, options);
        for (const auto& p : result.answered)
            if (((units >> p.address) & 1u) != 0)
                answered->push_back(p.address);
        return 1;
    };
}

} // namespace trovel::gateway
