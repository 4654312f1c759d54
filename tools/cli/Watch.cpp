// watch: every answering controller, read again and again. On a terminal the screen is
// redrawn in place; elsewhere each round is printed as plain lines (or JSON lines).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
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
};

void Refresh(const Port& port, Seen& s, bool readPoints)
{
    const Controller c(port, s.address);
    if (readPoints || !s.pointsKnown) {
        const auto begin = c.TryRead(GetBeginPoint);
        const auto end = begin ? c.TryRead(GetEndPoint) : std::nullopt;
        s.pointsKnown = begin && end;
        if (s.pointsKnown) {
            s.begin = *begin;
            s.end = *end;
        }
    }
    const auto position = c.TryRead(GetCurrentPoint);
    const auto state = position ? c.TryRead(GetRunState) : std::nullopt;
    const auto inputs = state ? c.TryRead(GetIoInputState) : std::nullopt;
    const auto outputs = inputs ? c.TryRead(GetSwichState) : std::nullopt;
    s.answered = s.pointsKnown && outputs.has_value();
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

std::string Clock()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

// `round` is the time from one view to the next: the reads of every controller plus the pause.
void DrawScreen(const Port& port, const std::vector<Seen>& all, std::chrono::duration<double> round)
{
    std::string screen = "\x1b[H\x1b[J"; // home, then clear: redrawn without scrolling
    char title[256];
    std::snprintf(title, sizeof title, "trovelctl watch  %s  every %.1f s  %s  (Ctrl-C to quit)\n\n",
                  port.Name().c_str(), round.count(), Clock().c_str());
    screen += title;
    for (const auto& s : all) {
        if (!s.answered) {
            screen += " #" + std::to_string(s.address) + (s.address < 10 ? " " : "") + " no answer\n\n";
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
                  "\n     inputs: " + ActiveInputs(s.inputs) + "   outputs: " + OutputsOn(s.outputs) + "\n\n";
    }
    std::fputs(screen.c_str(), stdout);
    std::fflush(stdout);
}

void PrintRound(const std::vector<Seen>& all, int round, bool json)
{
    for (const auto& s : all) {
        if (json) {
            Json::Object members{{"round", round}, {"address", s.address}, {"answered", s.answered}};
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
            std::printf("%s #%d no answer\n", Clock().c_str(), s.address);
        } else {
            std::printf("%s #%d position %s (%s .. %s), %s, inputs %s, outputs %s\n", Clock().c_str(), s.address,
                        FormatPosition(s.position).c_str(), FormatFloat(s.begin).c_str(), FormatFloat(s.end).c_str(),
                        RunStateText(s.state).c_str(), s.inputs.c_str(), s.outputs.c_str());
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
        for (const auto& f : FindControllers(ctx.port, screen))
            all.emplace_back(f.address);
        if (all.empty())
            FailController("no controller answers on " + ctx.port.Name());
    }

    if (screen)
        std::fputs("\x1b[?25l", stdout); // no cursor blinking over the view
    bool anyAnswered = true;
    using SteadyClock = std::chrono::steady_clock;
    const auto pause = std::chrono::milliseconds(options.intervalMs);
    std::optional<SteadyClock::time_point> lastView;
    for (int round = 0; options.rounds == 0 || round < options.rounds; ++round) {
        const auto started = SteadyClock::now();
        for (auto& s : all) {
            if (InterruptGuard::Raised())
                break;
            Refresh(ctx.port, s, round % kPointsEveryRounds == 0);
        }
        if (InterruptGuard::Raised())
            break;
        anyAnswered = std::any_of(all.begin(), all.end(), [](const Seen& s) { return s.answered; });
        const auto now = SteadyClock::now();
        if (screen)
            DrawScreen(ctx.port, all, lastView ? now - *lastView : now - started + pause);
        else
            PrintRound(all, round, ctx.json);
        lastView = now;
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
        FailController("no answer from any watched controller on " + ctx.port.Name());
    return kExitOk;
}

} // namespace trovelctl
