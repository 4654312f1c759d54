// watch: every answering controller, read again and again. On a terminal the screen is
// redrawn in place; elsewhere each round is printed as plain lines (or JSON lines).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

#include "Commands.h"
#include "Format.h"
#include "Json.h"
#include "Terminal.h"
#include "TrovelSdk.h"

namespace trovelctl {

namespace {

constexpr int kBarCells = 30;
constexpr int kOutputs = 6;
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
    std::string on;
    for (int i = 1; i <= kOutputs; ++i)
        if (OutputOn(outputs, i))
            AppendItem(on, std::to_string(i), " ");
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

void DrawScreen(const Port& port, const std::vector<Seen>& all, int intervalMs)
{
    std::string screen = "\x1b[H\x1b[J"; // home, then clear: redrawn without scrolling
    char head[256];
    std::snprintf(head, sizeof head, "trovelctl watch  %s  every %d ms  %s  (Ctrl-C to quit)\n\n", port.Name().c_str(),
                  intervalMs, Clock().c_str());
    screen += head;
    for (const auto& s : all) {
        char line[256];
        if (!s.answered) {
            std::snprintf(line, sizeof line, " #%-2d no answer\n\n", s.address);
        } else {
            std::snprintf(line, sizeof line, " #%-2d %s %10.2f  (%s .. %s)  %s\n     inputs: %s   outputs: %s\n\n",
                          s.address, Bar(Fraction(s.position, s.begin, s.end), kBarCells).c_str(),
                          static_cast<double>(s.position), FormatFloat(s.begin).c_str(), FormatFloat(s.end).c_str(),
                          RunStateText(s.state).c_str(), ActiveInputs(s.inputs).c_str(), OutputsOn(s.outputs).c_str());
        }
        screen += line;
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
                        FormatFloat(s.position).c_str(), FormatFloat(s.begin).c_str(), FormatFloat(s.end).c_str(),
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
    for (int round = 0; options.rounds == 0 || round < options.rounds; ++round) {
        for (auto& s : all) {
            if (InterruptGuard::Raised())
                break;
            Refresh(ctx.port, s, round % kPointsEveryRounds == 0);
        }
        if (InterruptGuard::Raised())
            break;
        anyAnswered = std::any_of(all.begin(), all.end(), [](const Seen& s) { return s.answered; });
        if (screen)
            DrawScreen(ctx.port, all, options.intervalMs);
        else
            PrintRound(all, round, ctx.json);
        if (options.rounds != 0 && round + 1 == options.rounds)
            break;
        SleepUnlessInterrupted(std::chrono::milliseconds(options.intervalMs));
    }
    if (screen) {
        std::fputs("\x1b[?25h", stdout);
        std::fflush(stdout);
    }
    if (!anyAnswered)
        FailController("no answer from any watched controller on " + ctx.port.Name());
    return kExitOk;
}

} // namespace trovelctl
