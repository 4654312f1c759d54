// watch: every answering controller, read again and again at the line's pace. On a terminal
// the screen is redrawn in place; elsewhere each round is printed as plain lines (or JSON
// lines). Each controller's failures and retries of the round come from the line's counts.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <vector>

#include "Commands.h"
#include "Format.h"
#include "Json.h"
#include "Terminal.h"
#include "TrovelSdk.h"

namespace trovelctl {

namespace {

constexpr int kBarCells = 30;
// The points rarely change; reading them every round would slow the view down.
constexpr int kPointsEveryRounds = 10;

struct Seen {
    explicit Seen(int a) : address(a) {}
    int address;
    bool answered = false;
    bool pointsKnown = false;
    float begin = 0, end = 0, position = 0;
    int state = 0;
    std::string inputs, outputs;
    unsigned failures = 0, retries = 0; // in the last round
    int cause = TROVEL_OK;              // why it did not answer
    std::string why;
};

void Refresh(const Line& line, Seen& s, bool readPoints)
{
    const Controller c(line, s.address);
    const TrovelLineStats before = line.Stats();
    if (readPoints || !s.pointsKnown) {
        const auto begin = c.TryRead(TrovelGetBeginPoint);
        const auto end = begin ? c.TryRead(TrovelGetEndPoint) : std::nullopt;
        s.pointsKnown = begin && end;
        if (s.pointsKnown) {
            s.begin = *begin;
            s.end = *end;
        }
    }
    const auto position = c.TryRead(TrovelGetCurrentPoint);
    const auto state = position ? c.TryRead(TrovelGetRunState) : std::nullopt;
    const auto inputs = state ? c.TryRead(TrovelGetIoInputState) : std::nullopt;
    const auto outputs = inputs ? c.TryRead(TrovelGetSwichState) : std::nullopt;
    s.answered = s.pointsKnown && outputs.has_value();
    s.cause = s.answered ? TROVEL_OK : TrovelLastError();
    s.why = s.answered ? "" : CauseMessage(s.cause, line.ReplyTimeoutMs(), line.LastRegister());
    const TrovelLineStats round = Since(before, line.Stats());
    s.failures = round.failures;
    s.retries = round.retries;
    if (s.answered) {
        s.position = *position;
        s.state = *state;
        s.inputs = *inputs;
        s.outputs = *outputs;
    }
}

std::string ActiveInputs(const std::string& inputs)
{
    std::string on;
    for (int bit = 0; bit < 8; ++bit)
        if (InputBit(inputs, bit))
            AppendItem(on, kInputNames[bit], ", ");
    return on.empty() ? "none" : on;
}

std::string OutputsOn(const std::string& outputs)
{
    const std::string on = OutputsOnList(outputs);
    return on.empty() ? "all off" : "on " + on;
}

std::string Counts(const Seen& s)
{
    return "failures " + std::to_string(s.failures) + ", retries " + std::to_string(s.retries);
}

// "round 48 ms", and the pause after it when there is one.
std::string RoundText(std::chrono::milliseconds round, int pauseMs)
{
    return "round " + std::to_string(round.count()) + " ms" +
           (pauseMs > 0 ? " + " + std::to_string(pauseMs) + " ms pause" : "");
}

void DrawScreen(const Line& line, const std::vector<Seen>& all, const std::string& round)
{
    std::string screen = "trovelctl watch  " + line.Name() + "  " + round + "  " + LocalClock() + "  (Ctrl-C to quit)\n\n";
    for (const auto& s : all) {
        if (!s.answered) {
            screen += " #" + std::to_string(s.address) + (s.address < 10 ? " " : "") + " no answer: " + s.why +
                      "\n     " + Counts(s) + "\n\n";
            continue;
        }
        char number[16];
        std::snprintf(number, sizeof number, "%-2d", s.address);
        char position[32];
        std::snprintf(position, sizeof position, "%10s", FormatPosition(s.position).c_str());
        const std::string tail = std::string(position) + "  (" + FormatFloat(s.begin) + " .. " + FormatFloat(s.end) +
                                 ")  " + RunStateText(s.state);
        const std::string head = std::string(" #") + number + " ";
        const int cells = BarCells(TerminalWidth() - 1, head.size() + 1 + tail.size(), kBarCells);
        screen += head + (cells > 0 ? Bar(Fraction(s.position, s.begin, s.end), cells) + " " : "") + tail +
                  "\n     inputs: " + ActiveInputs(s.inputs) + "   outputs: " + OutputsOn(s.outputs) + "   " +
                  Counts(s) + "\n\n";
    }
    // Drawn over the last view, each line cleared after its text and the rest of the screen
    // after the view: at the line's pace, clearing first would flicker.
    std::string drawn = "\x1b[H";
    for (std::size_t at = 0, end; at < screen.size(); at = end + 1) {
        end = std::min(screen.find('\n', at), screen.size());
        drawn += screen.substr(at, end - at) + "\x1b[K\n";
    }
    std::fputs((drawn + "\x1b[J").c_str(), stdout);
    std::fflush(stdout);
}

void PrintRound(const std::vector<Seen>& all, int round, bool json)
{
    for (const auto& s : all) {
        if (json) {
            Json::Object members{{"round", round},
                                 {"address", s.address},
                                 {"answered", s.answered},
                                 {"failures", static_cast<int>(s.failures)},
                                 {"retries", static_cast<int>(s.retries)}};
            if (!s.answered)
                members.emplace_back("cause", CauseJson(s.cause));
            if (s.answered) {
                members.emplace_back("position", s.position);
                members.emplace_back("begin_point", s.begin);
                members.emplace_back("end_point", s.end);
                members.emplace_back("run_state", s.state);
                members.emplace_back("run_state_text", RunStateText(s.state));
                members.emplace_back("inputs", s.inputs);
                members.emplace_back("outputs", s.outputs);
            }
            std::printf("%s\n", Json(std::move(members)).Dump().c_str());
        } else if (!s.answered) {
            std::printf("%s #%d no answer: %s; %s\n", LocalClock().c_str(), s.address, s.why.c_str(),
                        Counts(s).c_str());
        } else {
            std::printf("%s #%d position %s (%s .. %s), %s, inputs %s, outputs %s, %s\n", LocalClock().c_str(),
                        s.address, FormatPosition(s.position).c_str(), FormatFloat(s.begin).c_str(),
                        FormatFloat(s.end).c_str(), RunStateText(s.state).c_str(), s.inputs.c_str(),
                        s.outputs.c_str(), Counts(s).c_str());
        }
    }
    std::fflush(stdout);
}

} // namespace

int Watch(const Context& ctx, const WatchOptions& options)
{
    const InterruptGuard guard; // Ctrl-C is the normal way out
    const bool screen = ctx.terminal && !ctx.json;

    std::vector<Seen> all;
    if (ctx.addressGiven) {
        all.emplace_back(ctx.address);
    } else {
        for (const auto& f : FindControllers(ctx.line, screen))
            all.emplace_back(f.address);
        if (all.empty())
            FailController("no controller answers on " + ctx.line.Name() + ": " +
                               CauseMessage(TrovelLastError(), ctx.line.ReplyTimeoutMs(), ctx.line.LastRegister()),
                           TrovelLastError());
    }

    if (screen)
        std::fputs("\x1b[?25l", stdout); // no cursor blinking over the view
    bool anyAnswered = true;
    using SteadyClock = std::chrono::steady_clock;
    const auto pause = std::chrono::milliseconds(options.intervalMs);
    int lastCause = TROVEL_OK;
    for (int round = 0; options.rounds == 0 || round < options.rounds; ++round) {
        const auto started = SteadyClock::now();
        for (auto& s : all) {
            if (InterruptGuard::Raised())
                break;
            Refresh(ctx.line, s, round % kPointsEveryRounds == 0);
        }
        if (InterruptGuard::Raised())
            break;
        anyAnswered = std::any_of(all.begin(), all.end(), [](const Seen& s) { return s.answered; });
        lastCause = all.back().cause;
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - started);
        if (screen)
            DrawScreen(ctx.line, all, RoundText(took, options.intervalMs));
        else
            PrintRound(all, round, ctx.json);
        if (options.rounds != 0 && round + 1 == options.rounds)
            break;
        SleepUnlessInterrupted(pause);
    }
    if (screen) {
        std::fputs("\x1b[?25h", stdout);
        std::fflush(stdout);
    }
    // Ctrl-C is the normal way out, and ends with the shell's status for it, as scripts expect.
    if (InterruptGuard::Raised())
        return InterruptGuard::ExitCode();
    if (!anyAnswered)
        throw Failure(kExitController,
                      "no answer from any watched controller on " + ctx.line.Name() + ": " + all.back().why,
                      lastCause)
            .MarkReported(ctx.json);
    return kExitOk;
}

} // namespace trovelctl
