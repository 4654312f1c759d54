#include "Commands.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

#include "Format.h"
#include "Json.h"
#include "Parameters.h"
#include "Terminal.h"
#include "Scan.h"
#include "TrovelSdk.h"

namespace trovelctl {

namespace {

constexpr int kFirstAddress = 1;
constexpr int kLastAddress = 16;
constexpr int kBroadcastAddress = 0;
constexpr int kOutputs = 6;
constexpr int kBarCells = 30;
// A controller may report "stopped" for a moment before a commanded run gets going.
constexpr auto kStartGrace = std::chrono::milliseconds(1000);
// A screen told to move that has not moved on by this much for this long is stuck.
constexpr auto kNoProgressLimit = std::chrono::seconds(3);
constexpr float kProgressStep = 0.001f;
constexpr int kMissedPollsTolerated = 5;

std::string Who(const Context& ctx) { return "controller " + std::to_string(ctx.address); }

void PrintJson(const Json& value) { std::printf("%s\n", value.Dump().c_str()); }

// A heading, then label/value rows with the values lined up.
void PrintRows(const std::string& heading, const std::vector<std::pair<std::string, std::string>>& rows)
{
    std::size_t width = 0;
    for (const auto& row : rows)
        width = std::max(width, row.first.size());
    std::printf("%s\n", heading.c_str());
    for (const auto& [label, value] : rows)
        std::printf("  %-*s  %s\n", static_cast<int>(width), label.c_str(), value.c_str());
}

// Reads that go on past a single silent answer, so one bad reply does not hide the rest.
// A controller that does not answer the first read is taken to be absent.
class Survey {
public:
    explicit Survey(const Controller& c) : c_(c) {}

    template <class Read>
    std::optional<Reading> Take(const std::string& key, const std::string& label, const std::string& what, Read read)
    {
        std::optional<Reading> reading = read();
        if (!reading && rows_.empty() && missed_.empty())
            c_.Fail("reading the " + what);
        rows_.emplace_back(label, reading ? reading->text : "(no answer)");
        members_.emplace_back(key, reading ? reading->value : Json());
        if (!reading && missed_.empty())
            firstMiss_ = {TrovelLastError(), c_.Why("reading the " + what)};
        if (!reading)
            missed_.push_back(what);
        return reading;
    }

    void Add(const std::string& key, Json value) { members_.emplace_back(key, std::move(value)); }

    int Finish(bool json, const std::string& heading)
    {
        if (!missed_.empty())
            members_.emplace_back("cause", CauseJson(firstMiss_.first));
        if (json)
            PrintJson(Json(members_));
        else
            PrintRows(heading, rows_);
        if (missed_.empty())
            return kExitOk;
        std::string list;
        for (const auto& m : missed_)
            AppendItem(list, m, ", ");
        throw Failure(kExitController,
                      c_.Who() + " did not answer every read: " + list + "; the first: " + firstMiss_.second,
                      firstMiss_.first)
            .MarkReported(json);
    }

private:
    const Controller& c_;
    std::vector<std::pair<std::string, std::string>> rows_;
    Json::Object members_;
    std::vector<std::string> missed_;
    std::pair<int, std::string> firstMiss_; // its cause and message
};

std::optional<Reading> TextReading(const Controller& c, Controller::TextRead read)
{
    const auto text = c.TryRead(read);
    return text ? std::optional(Reading{Json(*text), *text}) : std::nullopt;
}


Json OutputsJson(const Context& ctx, const std::string& switches)
{
    Json::Array outputs;
    for (int i = 1; i <= kOutputs; ++i)
        outputs.emplace_back(OutputOn(switches, i));
    return Json::Object{{"address", ctx.address}, {"outputs", std::move(outputs)}, {"text", switches}};
}

int ReportSwitches(const Context& ctx, const std::string& switches)
{
    if (ctx.json) {
        PrintJson(OutputsJson(ctx, switches));
        return kExitOk;
    }
    std::vector<std::pair<std::string, std::string>> rows;
    for (int i = 1; i <= kOutputs; ++i)
        rows.emplace_back("output " + std::to_string(i), OutputOn(switches, i) ? "on" : "off");
    PrintRows("switch outputs of " + Who(ctx), rows);
    return kExitOk;
}

// Reports what a command that only writes has done.
int Done(const Context& ctx, const std::string& command, const std::string& message)
{
    if (ctx.json)
        PrintJson(Json::Object{{"address", ctx.address}, {"command", command}, {"ok", true}});
    else
        std::printf("%s\n", message.c_str());
    return kExitOk;
}

enum class Goal { LeftLimit, RightLimit, Standstill };

// "#1 [#####.....]    37.50  (0 .. 100)  moving right", the bar narrowed to the terminal.
std::string ProgressLine(int address, float position, float begin, float end, int state)
{
    char fixed[32];
    std::snprintf(fixed, sizeof fixed, "%9s", FormatPosition(position).c_str());
    const std::string head = "#" + std::to_string(address) + " ";
    const std::string tail = std::string(fixed) + "  (" + FormatFloat(begin) + " .. " + FormatFloat(end) + ")  " +
                             RunStateText(state);
    const int cells = BarCells(TerminalWidth() - 1, head.size() + 1 + tail.size(), kBarCells);
    return head + (cells > 0 ? Bar(Fraction(position, begin, end), cells) + " " : "") + tail;
}

// Why a screen told to move has not: the motion settings say it when they can.
std::string WhyNoProgress(const Controller& c, float position, int state)
{
    if (const auto speed = c.TryRead(TrovelGetMotorSpeed); speed && !(*speed > 0.0f && std::isfinite(*speed)))
        return "its motor speed is " + FormatFloat(*speed) + ", so the motor does not turn (set speed)";
    if (state == 0)
        return "it did not start (run state 0)";
    return "its position stayed at " + FormatPosition(position) + " while it reports " + RunStateText(state);
}

// Follows a run until the screen stops or reaches the limit it heads for. A signal that would
// end the program stops the screen first; so does a time limit, or a screen that should move
// and does not.
int Follow(const Context& ctx, const Controller& c, const std::string& command, Goal goal, bool moves,
           double timeoutSeconds)
{
    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    // The screen is already moving: a lost reply here must not leave it unwatched.
    const auto readPoint = [&](Controller::FloatRead read, const char* doing) {
        for (int attempt = 1; attempt < kMissedPollsTolerated; ++attempt)
            if (const auto value = c.TryRead(read))
                return *value;
        return c.Read(read, doing);
    };
    const float begin = readPoint(TrovelGetBeginPoint, "reading the begin point");
    const float end = readPoint(TrovelGetEndPoint, "reading the end point");

    LiveLine line(ctx.terminal && !ctx.json);
    std::string lastPlain;
    bool seenMoving = false;
    int missedPolls = 0;
    float position = 0;
    int state = 0;
    std::optional<float> progressAt; // the position when it last moved on
    auto lastProgress = started;
    std::string endedBy;
    const auto stopAndFail = [&](const std::string& why) {
        line.Finish();
        if (!c.Send(TrovelSetMoveStop))
            FailController(why + ", but " + c.Failed("sending stop"), TrovelLastError());
        FailController(why + "; stop sent at position " + FormatPosition(position));
    };
    for (;;) {
        if (InterruptGuard::Raised()) {
            line.Finish();
            if (!c.Send(TrovelSetMoveStop))
                FailController("interrupted by " + InterruptGuard::Name() + ", but " + c.Failed("sending stop"),
                               TrovelLastError());
            std::fprintf(stderr, "trovelctl: interrupted by %s; stop sent to %s at position %s\n",
                         InterruptGuard::Name().c_str(), Who(ctx).c_str(), FormatPosition(position).c_str());
            return InterruptGuard::ExitCode();
        }
        if (timeoutSeconds > 0 && std::chrono::duration<double>(Clock::now() - started).count() > timeoutSeconds)
            stopAndFail(Who(ctx) + " did not stop within " + FormatFloat(static_cast<float>(timeoutSeconds)) + " s");

        // State before limit, so that a screen found stopped at its limit is reported as such;
        // the position last, so that the one shown at the end is where the screen came to rest.
        const auto polledState = c.TryRead(TrovelGetRunState);
        const auto limit = !polledState           ? std::nullopt
                           : goal == Goal::RightLimit ? c.TryRead(TrovelGetRightLimit)
                           : goal == Goal::LeftLimit  ? c.TryRead(TrovelGetLeftLimit)
                                                      : std::optional(0);
        const auto polledPosition = limit ? c.TryRead(TrovelGetCurrentPoint) : std::nullopt;
        if (!polledPosition) {
            // A lost reply now and then is no reason to leave a moving screen unwatched.
            if (++missedPolls < kMissedPollsTolerated)
                continue;
            line.Finish();
            const int cause = TrovelLastError();
            const std::string why = CauseMessage(cause, ctx.line.ReplyTimeoutMs(), ctx.line.LastRegister());
            const bool stopped = c.Send(TrovelSetMoveStop);
            FailController("lost contact with " + c.Who() + " while following it: " + why +
                               (stopped ? "; stop sent" : "; stop not acknowledged either"),
                           cause);
        }
        missedPolls = 0;
        state = *polledState;
        const bool atLimit = *limit != 0;
        position = *polledPosition;
        seenMoving = seenMoving || state != 0;
        // A pause at an end of the automatic run is progress too.
        if (!progressAt || std::fabs(position - *progressAt) > kProgressStep || state == runstate::Auto) {
            progressAt = position;
            lastProgress = Clock::now();
        }

        line.Show(ProgressLine(ctx.address, position, begin, end, state));
        if (!ctx.terminal && !ctx.json) {
            const std::string plain = Who(ctx) + ": position " + FormatPosition(position) + ", " + RunStateText(state);
            if (plain != lastPlain)
                std::printf("%s\n", plain.c_str());
            std::fflush(stdout);
            lastPlain = plain;
        }

        if (atLimit) {
            endedBy = goal == Goal::RightLimit ? "right limit" : "left limit";
            // It reached the limit after the state was read; it stops there.
            if (state != 0)
                state = c.TryRead(TrovelGetRunState).value_or(state);
            break;
        }
        if (moves && Clock::now() - lastProgress >= kNoProgressLimit)
            stopAndFail(Who(ctx) + " made no progress in " +
                        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kNoProgressLimit).count()) +
                        " s: " + WhyNoProgress(c, position, state));
        // One told to move has stopped only once it has been seen moving.
        if (state == 0 && (seenMoving || (!moves && Clock::now() - started >= kStartGrace))) {
            endedBy = "stopped";
            break;
        }
    }
    line.Finish();

    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    if (ctx.json) {
        PrintJson(Json::Object{{"address", ctx.address},
                               {"command", command},
                               {"position", position},
                               {"run_state", state},
                               {"run_state_text", RunStateText(state)},
                               {"ended_by", endedBy},
                               {"seconds", static_cast<float>(std::round(seconds * 10.0) / 10.0)}});
    } else {
        const std::string why = endedBy == "stopped" ? "" : " (" + endedBy + " reached)";
        std::printf("%s stopped at %s%s\n", Who(ctx).c_str(), FormatPosition(position).c_str(), why.c_str());
    }
    return kExitOk;
}

} // namespace

std::vector<Found> FindControllers(const Line& line, bool showBar,
                                   const std::function<std::string(const Found&)>& report, const ScanChoice& choice)
{
    std::vector<Found> found;
    LiveLine bar(showBar);
    trovel::tools::ScanOptions options;
    options.first = kFirstAddress;
    options.last = kLastAddress;
    options.fullTimeoutMs = line.ReplyTimeoutMs();
    options.gapMs = line.GapMs();
    options.quick = choice.quick;
    options.frameReplies = line.FrameReplies();
    std::size_t answering = 0;
    // Retries would make every silent address slower to pass.
    line.Retry(false);
    const auto scan = trovel::tools::ScanLine(
        line.Handle(), options,
        [&](int address, int pass) {
            bar.Show(std::string(pass == 1 ? "scanning " : "asking the silent ones again on ") + line.Name() + " " +
                     Bar(static_cast<double>(address - 1) / kLastAddress, kLastAddress) + " address " +
                     std::to_string(address) + ", " + std::to_string(answering) + " found");
        },
        [&](const trovel::tools::Probed&) { ++answering; });
    line.Retry(true);
    // Then each one that answered, or seemed to, is asked for its serial number at the line's
    // own pace, with the retries it was given.
    std::vector<trovel::tools::Probed> candidates = scan.answered;
    candidates.insert(candidates.end(), scan.garbled.begin(), scan.garbled.end());
    std::sort(candidates.begin(), candidates.end(), [](const auto& a, const auto& b) { return a.address < b.address; });
    for (const auto& candidate : candidates) {
        const Controller c(line, candidate.address);
        const auto serial = c.TryRead(TrovelGetSerial);
        const int cause = TrovelLastError();
        // An exception is an answer too; so is a clean answer to the probe, and damaged answers to
        // both questions (a noisy line; a foreign reply might be another controller's).
        const bool damaged = cause == TROVEL_ERR_CRC || cause == TROVEL_ERR_SHORT_REPLY;
        const bool there = serial || cause > TROVEL_ERR_EXCEPTION_BASE || candidate.cause == TROVEL_OK ||
                           candidate.cause > TROVEL_ERR_EXCEPTION_BASE ||
                           (damaged && (candidate.cause == TROVEL_ERR_CRC || candidate.cause == TROVEL_ERR_SHORT_REPLY));
        if (!there)
            continue;
        found.push_back({candidate.address, serial.value_or(""), serial ? TROVEL_OK : cause});
        if (report) {
            bar.PrintAbove(report(found.back()));
            std::fflush(stdout);
        }
    }
    bar.Clear();
    if (choice.times != nullptr) {
        choice.times->first = {scan.first.asked, scan.first.seconds, scan.first.probeMs};
        choice.times->second = {scan.second.asked, scan.second.seconds, scan.second.probeMs};
    }
    return found;
}

int Scan(const Context& ctx, bool quick)
{
    // Found ones are listed as they answer; the bar stays below them on a terminal.
    const std::function<std::string(const Found&)> line = [&](const Found& f) {
        char text[32];
        std::snprintf(text, sizeof text, "controller %-2d  ", f.address);
        return text + (f.refusal ? "answers, but " + CauseMessage(f.refusal, 0, ctx.line.LastRegister())
                                 : "serial " + f.serial);
    };
    ScanTimes times;
    const auto found = FindControllers(ctx.line, ctx.terminal && !ctx.json,
                                       ctx.json ? std::function<std::string(const Found&)>() : line,
                                       {quick, &times});
    // Every address failed, the last one too: its cause stands for them all.
    const int cause = found.empty() ? TrovelLastError() : TROVEL_OK;
    if (ctx.json) {
        Json::Array list;
        for (const auto& f : found)
            list.emplace_back(f.refusal ? Json::Object{{"address", f.address}, {"serial", Json()},
                                                       {"cause", CauseJson(f.refusal)}}
                                        : Json::Object{{"address", f.address}, {"serial", f.serial}});
        Json::Array passes;
        for (const auto* pass : {&times.first, &times.second})
            if (pass->asked > 0)
                passes.emplace_back(Json::Object{
                    {"asked", pass->asked}, {"seconds", static_cast<float>(std::round(pass->seconds * 1000) / 1000)}, {"timeout_ms", pass->timeoutMs}});
        Json::Object members{{"port", ctx.line.Name()}, {"controllers", std::move(list)}, {"passes", std::move(passes)}};
        if (found.empty())
            members.emplace_back("cause", CauseJson(cause));
        PrintJson(Json(std::move(members)));
    } else {
        std::printf("%zu of 16 addresses answer on %s\n", found.size(), ctx.line.Name().c_str());
        std::printf("asked %d in %.2f s (time-out %d ms)", times.first.asked, times.first.seconds,
                    times.first.timeoutMs);
        if (times.second.asked > 0)
            std::printf(", the %d silent ones again in %.2f s (%d ms)", times.second.asked, times.second.seconds,
                        times.second.timeoutMs);
        std::printf("\n");
    }
    if (found.empty())
        throw Failure(kExitController,
                      "no controller answers on " + ctx.line.Name() + ": " +
                          CauseMessage(cause, ctx.line.ReplyTimeoutMs(), ctx.line.LastRegister()),
                      cause)
            .MarkReported(ctx.json);
    return kExitOk;
}

int Info(const Context& ctx)
{
    const Controller c(ctx.line, ctx.address);
    Survey survey(c);
    survey.Add("address", ctx.address);
    survey.Take("serial", "serial number", "serial number", [&] { return TextReading(c, TrovelGetSerial); });
    survey.Take("bios_date", "BIOS date", "BIOS date", [&] { return TextReading(c, TrovelGetBiosDate); });
    survey.Take("factory_date", "factory date", "factory date", [&] { return TextReading(c, TrovelGetFactroyDate); });
    for (const char* name : {"work-mode", "direction", "remote-function"}) {
        const Parameter& p = *FindParameter(name);
        survey.Take(JsonKey(p.name), std::string(p.label), std::string(p.label),
                    [&] { return TryReadParameter(c, p); });
    }
    const Parameter& runState = *FindParameter("run-state");
    std::optional<int> state;
    survey.Take("run_state", "run state", "run state", [&] {
        state = c.TryRead(TrovelGetRunState);
        return state ? std::optional(DescribeInt(runState, *state)) : std::nullopt;
    });
    if (state)
        survey.Add("run_state_text", RunStateText(*state));
    const Parameter& remoteKey = *FindParameter("remote-key");
    survey.Take("remote_key", "remote key", "remote key", [&] { return TryReadParameter(c, remoteKey); });
    return survey.Finish(ctx.json, Who(ctx) + " on " + ctx.line.Name());
}

int Params(const Context& ctx)
{
    const Controller c(ctx.line, ctx.address);
    Survey survey(c);
    survey.Add("address", ctx.address);
    for (const auto& p : Parameters())
        survey.Take(JsonKey(p.name), std::string(p.name), std::string(p.label), [&] { return TryReadParameter(c, p); });
    return survey.Finish(ctx.json, "parameters of " + Who(ctx) + " on " + ctx.line.Name());
}

namespace {

const Parameter& Named(const std::string& name)
{
    const Parameter* p = FindParameter(name);
    if (!p)
        FailUsage("no parameter called '" + name + "'; known: " + NameList());
    return *p;
}

int ReportParameter(const Context& ctx, const Parameter& p, const Reading& reading)
{
    if (ctx.json) {
        Json::Object members{{"address", ctx.address}, {"name", std::string(p.name)}, {"value", reading.value}};
        if (!p.unit.empty())
            members.emplace_back("unit", std::string(p.unit));
        members.emplace_back("text", reading.text);
        PrintJson(Json(std::move(members)));
    } else {
        std::printf("%s of %s: %s\n", std::string(p.name).c_str(), Who(ctx).c_str(), reading.text.c_str());
    }
    return kExitOk;
}

} // namespace

int Get(const Context& ctx, const std::string& name)
{
    const Parameter& p = Named(name);
    return ReportParameter(ctx, p, ReadParameter(Controller(ctx.line, ctx.address), p));
}

int Set(const Context& ctx, const std::string& name, const std::string& value)
{
    const Parameter& p = Named(name);
    const Reading held = WriteParameter(Controller(ctx.line, ctx.address), p, value);
    if (!p.writeNote.empty() && !ctx.json)
        std::printf("%s\n", std::string(p.writeNote).c_str());
    return ReportParameter(ctx, p, held);
}

int Move(const Context& ctx, const MoveOptions& options)
{
    struct Command {
        const char* name;
        Controller::Order send;
        Goal goal;
        bool moves;
        const char* done;
    };
    static constexpr Command kCommands[] = {
        {"left", TrovelSetMoveLeft, Goal::LeftLimit, true, "moving left"},
        {"right", TrovelSetMoveRight, Goal::RightLimit, true, "moving right"},
        {"auto", TrovelSetMoveAuto, Goal::Standstill, true, "on its automatic run"},
        {"stop", TrovelSetMoveStop, Goal::Standstill, false, "told to stop"},
    };
    const auto* command = std::find_if(std::begin(kCommands), std::end(kCommands),
                                       [&](const Command& m) { return options.direction == m.name; });
    if (command == std::end(kCommands))
        FailUsage("move takes left, right, auto or stop, not '" + options.direction + "'");

    const Controller c(ctx.line, ctx.address);
    // Set up before the command goes out, so that a signal at any moment still stops the screen.
    std::optional<InterruptGuard> guard;
    if (options.wait)
        guard.emplace();
    c.Require(c.Send(command->send), std::string("sending move ") + command->name);
    if (!options.wait)
        return Done(ctx, command->name, Who(ctx) + " " + command->done);
    return Follow(ctx, c, command->name, command->goal, command->moves, options.timeoutSeconds);
}

int Init(const Context& ctx)
{
    const Controller c(ctx.line, ctx.address);
    c.Require(c.Send(TrovelSetInit), "sending stop and all outputs off");
    return Done(ctx, "init", Who(ctx) + " stopped, every output off");
}

int Switch(const Context& ctx, const std::string& action, std::optional<int> index)
{
    const Controller c(ctx.line, ctx.address);
    const bool single = action == "on" || action == "off";
    if (single && (!index || *index < 1 || *index > kOutputs))
        FailUsage("switch " + action + " needs an output number from 1 to 6");
    if (!single && index)
        FailUsage("switch " + action + " takes no output number");
    if (action == "on" || action == "off")
        c.Require(TrovelSetSwichState(c.Handle(), ctx.address, *index, action == "on" ? 1 : 0),
                  "switching output " + std::to_string(*index) + " " + action);
    else if (action == "all-on")
        c.Require(c.Send(TrovelSetSwichAllOn), "switching every output on");
    else if (action == "all-off")
        c.Require(c.Send(TrovelSetSwichAllOff), "switching every output off");
    else
        FailUsage("switch takes on, off, all-on or all-off, not '" + action + "'");

    const std::string switches = c.Read(TrovelGetSwichState, "reading the outputs back");
    if (ctx.json) {
        PrintJson(OutputsJson(ctx, switches));
        return kExitOk;
    }
    // What was switched, then what is on now: "output 3 ... switched off; on now: 5".
    const std::string which = single ? "output " + std::to_string(*index) : "every output";
    const std::string how = action == "on" || action == "all-on" ? "on" : "off";
    const std::string on = OutputsOnList(switches);
    std::printf("%s of %s switched %s; %s\n", which.c_str(), Who(ctx).c_str(), how.c_str(),
                on.empty() ? "none on now" : ("on now: " + on).c_str());
    return kExitOk;
}

int Switches(const Context& ctx)
{
    return ReportSwitches(ctx, Controller(ctx.line, ctx.address).Read(TrovelGetSwichState, "reading the outputs"));
}

int Inputs(const Context& ctx)
{
    const std::string text = Controller(ctx.line, ctx.address).Read(TrovelGetIoInputState, "reading the inputs");
    if (ctx.json) {
        Json::Object members{{"address", ctx.address}};
        for (int bit = 0; bit < 8; ++bit)
            members.emplace_back(JsonKey(kInputNames[bit]), InputBit(text, bit));
        members.emplace_back("text", text);
        PrintJson(Json(std::move(members)));
        return kExitOk;
    }
    std::vector<std::pair<std::string, std::string>> rows;
    for (int bit = 0; bit < 8; ++bit)
        rows.emplace_back(std::string(kInputNames[bit]), InputBit(text, bit) ? "on" : "off");
    PrintRows("inputs of " + Who(ctx), rows);
    return kExitOk;
}

int ChangeAddress(const Context& ctx, int newAddress)
{
    const Controller c(ctx.line, ctx.address);
    const Controller after(ctx.line, newAddress);
    if (newAddress != ctx.address) {
        int state = 0;
        if (TrovelGetRunState(ctx.line.Handle(), newAddress, &state))
            FailUsage("address " + std::to_string(newAddress) + " is taken: a controller answers there on " +
                      ctx.line.Name() + "; nothing was sent");
    }
    c.Require(TrovelSetAddress(c.Handle(), ctx.address, newAddress), "setting address " + std::to_string(newAddress));
    if (!after.TryRead(TrovelGetRunState))
        FailController(Who(ctx) + " acknowledged address " + std::to_string(newAddress) + " but " +
                       after.Failed("checking the new address"), TrovelLastError());
    if (ctx.json)
        PrintJson(Json::Object{{"address", newAddress}, {"previous_address", ctx.address}, {"ok", true}});
    else
        std::printf("%s now answers at address %d\n", Who(ctx).c_str(), newAddress);
    return kExitOk;
}

int Defaults(const Context& ctx, bool broadcast)
{
    if (!broadcast) {
        const Controller c(ctx.line, ctx.address);
        c.Require(c.Send(TrovelSetDefault), "sending the defaults order");
        return Done(ctx, "defaults", Who(ctx) + " restored its default parameters");
    }
    // Controllers act on a broadcast without answering it, so silence is the normal outcome.
    const bool acknowledged = TrovelSetDefault(ctx.line.Handle(), kBroadcastAddress) != 0;
    if (ctx.json)
        PrintJson(Json::Object{{"address", kBroadcastAddress}, {"command", "defaults"}, {"acknowledged", acknowledged}});
    else
        std::printf("defaults order broadcast to every controller on %s%s\n", ctx.line.Name().c_str(),
                    acknowledged ? "" : " (a broadcast is not answered)");
    return kExitOk;
}

int ResetBegin(const Context& ctx)
{
    const Controller c(ctx.line, ctx.address);
    c.Require(c.Send(TrovelResetBeginPoint), "sending the reset-begin order");
    const float begin = c.Read(TrovelGetBeginPoint, "reading the begin point back");
    if (ctx.json)
        PrintJson(Json::Object{{"address", ctx.address}, {"begin_point", begin}});
    else
        std::printf("begin point of %s is now %s (where the screen stands)\n", Who(ctx).c_str(),
                    FormatFloat(begin).c_str());
    return kExitOk;
}

int FactoryDate(const Context& ctx, const std::optional<std::string>& date)
{
    // Controllers report any factory date outside this range as 2019-09-24.
    constexpr int kEarliest = 20190925;
    constexpr int kLatest = 29991231;
    const Controller c(ctx.line, ctx.address);
    if (date) {
        const auto value = ParseDate(*date);
        if (!value)
            FailUsage("factory-date takes a date as YYYY-MM-DD, not '" + *date + "'; nothing was sent");
        if (*value < kEarliest || *value > kLatest)
            FailUsage("factory dates before 2019-09-25 or after 2999-12-31 read back as 2019-09-24; nothing was sent");
        std::string text = *date; // the library edits the text it is given
        c.Require(TrovelSetFactroyDate(c.Handle(), ctx.address, text.data()), "writing the factory date");
    }
    const std::string held = c.Read(TrovelGetFactroyDate, "reading the factory date");
    if (date && held != *date)
        FailController(Who(ctx) + " acknowledged factory date " + *date + " but holds " + held);
    if (ctx.json)
        PrintJson(Json::Object{{"address", ctx.address}, {"factory_date", held}});
    else
        std::printf("factory date of %s: %s\n", Who(ctx).c_str(), held.c_str());
    return kExitOk;
}

} // namespace trovelctl
