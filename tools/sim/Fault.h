#pragma once
// Fault injection: what the simulator does wrong on purpose, so that a host can watch each
// failure path of its own. A fault hits one answered request; requests the line would not
// answer anyway (corrupt, broadcast, foreign address) are never counted.

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/Clock.h"
#include "sim/Line.h"

namespace trovel::sim {

enum class FaultKind {
    NoAnswer,   // the controller never heard the request: nothing executed, nothing sent
    Delay,      // the reply starts `value` ms later than the turnaround
    BadCrc,     // both CRC bytes inverted
    Truncate,   // only the first `value` bytes go out (0: all but the last)
    Split,      // the reply stops after its first half for `value` ms
    Extra,      // `value` bytes of 0x00 follow the reply
    Exception,  // an exception reply with code `value` instead; nothing executed
    Late,       // the reply starts `value` ms after the request, past the master's 250 ms
    Flood,      // the reply and filler bytes, `value` bytes in all, in one burst
};

struct Fault {
    FaultKind kind;
    std::uint32_t value = 0; // ms, a byte count or an exception code; 0 takes the default

    // The value this fault acts with, defaults filled in.
    std::uint32_t Effective() const noexcept;
};

// A fault that hits each answered request with the given probability.
struct FaultRule {
    Fault fault;
    double rate = 1.0;
};

// Parses KIND[:VALUE][@RATE], for example "late", "delay:80", "bad-crc@0.1", "split:150@25%".
// Kinds: no-answer, delay, bad-crc, truncate, split, extra, exception, late, flood.
std::optional<FaultRule> ParseFaultRule(std::string_view text);
std::string Describe(const Fault& fault);
std::string Describe(const FaultRule& rule); // "late 300 ms @ 10%"

// Thread-safe: tests queue faults while the server draws them.
class FaultPlan {
public:
    explicit FaultPlan(std::uint64_t seed = 1) : random_(seed) {}

    // The next answered requests get these faults, one each, in order; they take precedence
    // over the rules.
    void Once(Fault fault);
    void Add(FaultRule rule);
    void Clear();
    std::vector<FaultRule> Rules();

    // The fault for the answered request at hand, if any.
    std::optional<Fault> Draw();

private:
    std::mutex mutex_;
    std::deque<Fault> once_;
    std::vector<FaultRule> rules_;
    std::mt19937_64 random_;
};

// A piece of the reply: wait `delay` after the previous piece (the first: after the
// request), then send `bytes`, one byte time apiece when `paced`.
struct Burst {
    Duration delay;
    Bytes bytes;
    bool paced;
};

// How a reply goes out under a fault. NoAnswer and Exception are settled before the
// request is executed, so here they only mean what is sent.
std::vector<Burst> ShapeReply(const Bytes& reply, const std::optional<Fault>& fault, Duration turnaround, bool paced);

} // namespace trovel::sim
