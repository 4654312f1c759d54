#pragma once
// What the wine tests share: the COM ports that wine_run.py maps to their partners, the
// requests that pick the scripted peer's behaviour (line.peer), questions to the peer, and
// the timing margins.

#include <chrono>
#include <cstdint>
#include <string>

#include "line/Line.h"
#include "support/Hex.h"

namespace trovel::wintest {

using test::Bytes;
using test::Hex;

// The port mapped to the (first) partner's pseudo-terminal, the second partner's, and one
// mapped to nothing.
std::uint32_t TestPort();
std::uint32_t SecondTestPort();
std::uint32_t AbsentPort();

// Wine grants a second handle to a serial device, which Windows refuses.
bool RunningUnderWine();

// Requests of line.peer, each naming one behaviour of the scripted controller.
namespace request {
inline const Bytes kSilent = Hex("01 03 00 64 00 01 C5 D5");
inline const Bytes kReplyAfter20Ms = Hex("02 03 00 64 00 01 C5 E6");
inline const Bytes kReplyWithLongGap = Hex("03 03 00 64 00 01 C4 37");
inline const Bytes kReplyWithShortGap = Hex("04 03 00 64 00 01 C5 80");
inline const Bytes kLateReply = Hex("05 03 00 64 00 01 C4 51");
inline const Bytes kLateControllersOtherRegister = Hex("05 03 00 65 00 01 95 91");
inline const Bytes kPromptReply = Hex("06 03 00 64 00 01 C4 62");
inline const Bytes kFlood = Hex("07 03 00 64 00 01 C5 B3");
inline const Bytes kTrickle = Hex("08 03 00 64 00 01 C5 4C");
inline const Bytes kWrite = Hex("09 06 00 C8 00 02 88 BD");
inline const Bytes kException = Hex("0A 03 00 64 00 01 C4 AE");
inline const Bytes kTwoAnswers = Hex("0B 03 00 64 00 01 C5 7F");
} // namespace request

namespace reply {
inline const Bytes kReplyAfter20Ms = Hex("02 03 02 00 12 7C 49");
inline const Bytes kLongGapHead = Hex("03 03 02");
inline const Bytes kLongGapTail = Hex("00 13 80 49");
inline const Bytes kReplyWithShortGap = Hex("04 03 02 00 14 74 4B");
inline const Bytes kLateControllersOtherRegister = Hex("05 03 02 00 25 88 5F");
inline const Bytes kPromptReply = Hex("06 03 02 00 16 8C 4A");
inline constexpr std::size_t kFloodLength = 1100;
} // namespace reply

// Margins around the read rule (100 ms after the last byte, 250 ms in all). Wine adds a few
// milliseconds to a read and to the way back to the peer; the bounds leave room for a
// loaded machine, yet a gap of 130 ms or a total of 280 ms would fall outside them.
inline constexpr double kTotalMinMs = 245.0;  // from the request
inline constexpr double kTotalMaxMs = 278.0;
inline constexpr double kGapMinMs = 97.0;     // from the peer's last byte
inline constexpr double kGapMaxMs = 128.0;
// A frame-complete read ends 3.5 characters (1.8 ms) after the answer; whole-millisecond
// timers and the way back to the peer add a few.
inline constexpr double kFrameEndMaxMs = 30.0;

// What the peer reports about the line: "19200 8N1" and how often the program closed it.
struct LineStatus {
    std::string format;
    int closes = -1;
};
LineStatus QueryStatus(line::Line& open);
// Opens the test port only for the question (which the peer then counts as one more close).
LineStatus QueryStatusOnFreshPort();

// Milliseconds from the peer's last byte to its receipt of this question: asked right after
// an exchange, how long the exchange went on after the reply, plus a little of wine's
// delivery. Negative when the peer cannot be asked.
double PeerMsSinceLastByte(line::Line& open);

class Stopwatch {
public:
    double Ms() const
    {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Prints a measured duration, so that a run shows how wine kept the time-outs.
void Report(const std::string& what, double ms);

} // namespace trovel::wintest
