#pragma once
// Which addresses of a line answer, found fast: the adaptive two-pass scan that the programs
// share (trovelctl scan, and the gateway's scan). Built on the public C interface alone, so
// any program compiles Scan.cpp with its own sources.
//
// A silent address costs a whole reply time-out, so a first pass asks every address with a
// short one, derived from the line itself once a controller has answered: four times its
// turnaround plus its reply's time on the wire, never below 20 ms. The addresses that stayed
// silent are asked once more with the line's full time-out, unless the caller is in a hurry.

#include <functional>
#include <vector>

#include "TrovelSdk.h"

namespace trovel::tools {

inline constexpr int kMinProbeMs = 20;
inline constexpr int kProbeReplyBytes = 7;   // a one-register read's answer
inline constexpr int kProbeRequestBytes = 8;
inline constexpr double kCharacterMs = 10.0 / 19.2; // 10 bits a character at 19200 baud

// The time that one exchange took, less the request's and reply's time on the wire and the
// silence that ends a complete reply: what the controller took to begin its answer.
double TurnaroundMs(double exchangeMs) noexcept;
// The first pass's time-out once a controller with this turnaround has answered.
int ProbeTimeoutMs(double turnaroundMs) noexcept;

struct ScanOptions {
    int first = 1;
    int last = 16;
    int fullTimeoutMs = 250; // the line's own time-outs, set again when the scan ends
    int gapMs = 100;
    bool quick = false;        // no second pass
    bool frameReplies = true;  // reads end on a complete reply; otherwise one pass at the full time-out
};

struct Probed {
    int address;
    int cause; // TROVEL_OK, or a Modbus exception (answered); or what garbled the answer
};

struct ScanPass {
    int asked = 0;
    double seconds = 0;
    int probeMs = 0; // the time-out in use when the pass ended
};

struct ScanResult {
    std::vector<Probed> answered; // by address
    std::vector<Probed> garbled;  // something answered, but not a whole answer: worth a closer look
    ScanPass first, second;       // second.asked is 0 after a quick scan
    int lastCause = TROVEL_OK;    // the cause of the last question that went unanswered
};

// `onAsk(address, pass)` is called before each question (pass 1 or 2), `onAnswer` as each
// address answers. The line's time-outs are its own again afterwards, also after an
// exception from a callback.
ScanResult ScanLine(TrovelLine* line, const ScanOptions& options,
                    const std::function<void(int address, int pass)>& onAsk = nullptr,
                    const std::function<void(const Probed&)>& onAnswer = nullptr);

} // namespace trovel::tools
