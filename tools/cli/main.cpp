// trovelctl: the operator's command-line tool for Trovel sliding-screen controllers, built on
// the library's public C interface like any other host application.

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "Commands.h"
#include "Format.h"
#include "Json.h"
#include "Link.h"
#include "Parameters.h"
#include "Platform.h"
#include "TrovelSdk.h"
#include "Usage.h"

namespace {

using namespace trovelctl;

std::string ParameterHelp()
{
    std::string help = "NAME is one of:\n";
    for (const auto& p : Parameters()) {
        std::string line = "  " + std::string(p.name);
        std::string aliases;
        for (const auto alias : p.aliases)
            if (!alias.empty())
                AppendItem(aliases, alias, ", ");
        if (!aliases.empty())
            line += " (" + aliases + ")";
        line.resize(std::max<std::size_t>(line.size() + 2, 38), ' ');
        line += std::string(p.label);
        if (!p.unit.empty())
            line += ", " + std::string(p.unit);
        if (p.kind == ValueKind::ZeroOne)
            line += ", 0 or 1";
        if (p.kind == ValueKind::RunState || p.kind == ValueKind::RemoteKey)
            line += " (read-only)";
        if (p.refusesNegative)
            line += ", not negative";
        if (!p.writeNote.empty())
            line += "; set recalibrates, nothing moves";
        help += line + "\n";
    }
    return help;
}

// The library that was loaded may be another than the header the tool was built with.
std::string VersionText()
{
    const std::string library = TrovelVersion();
    return "trovelctl, TrovelSdk " + library +
           (library == TROVELSDK_VERSION_STRING ? "" : " (built with the " TROVELSDK_VERSION_STRING " header)");
}

constexpr const char* kFooter = R"(Connection: --device DEVICE (or the environment variable TROVEL_DEVICE): a serial
device (/dev/ttyUSB0, COM12) or a network gateway (rtu+tcp://HOST:PORT for RTU through a
serial device server, modbus+tcp://HOST[:PORT] for a Modbus TCP gateway); or --port N for
COMn, which is /dev/ttyS<N-1> on Linux. --addr picks the controller (default 1). Replies
end as soon as they are complete (--reply-mode frame); -v shows every frame on stderr.

Exit codes: 0 done, 1 a controller did not answer or did not take a value,
2 the command line is wrong (nothing was sent), 3 the port cannot be opened,
128+N ended by signal N: 130 Ctrl-C, 129 hang-up, 131 SIGQUIT, 141 a closed pipe,
143 SIGTERM (a moving screen is stopped first).

Examples:
  trovelctl ports
  trovelctl --device /dev/ttyUSB0 scan
  trovelctl --device /dev/ttyUSB0 --addr 2 set speed 80
  trovelctl --device /dev/ttyUSB0 --addr 2 move right --wait
  trovelctl --device /dev/ttyUSB0 params --json
  trovelctl --device modbus+tcp://192.0.2.7 --addr 3 -v get speed
  trovelctl --device /dev/ttyUSB0 stats --count 100)";

} // namespace

int main(int argc, char** argv)
{
    PrepareConsole();
    CLI::App app{"Operates Trovel sliding-screen controllers (Modbus RTU, addresses 1-16) on a serial line or\n"
                 "through a network gateway.",
                 "trovelctl"};
    app.fallthrough(); // global options may also follow the command
    app.set_version_flag("--version", VersionText);

    LineOptions choice;
    int address = 1;
    bool json = false;
    auto* deviceOption =
        app.add_option("-d,--device", choice.device,
                       "Serial device (/dev/ttyUSB0, COM12) or gateway (rtu+tcp://HOST:PORT,\n"
                       "modbus+tcp://HOST[:PORT])")
            ->option_text("DEVICE");
    auto* portOption =
        app.add_option("-p,--port", choice.port, "Port number N (COMN; /dev/ttyS<N-1> on Linux)")
            ->check(WholeNumber(1, 1024, "a port number from 1 to 1024"))
            ->option_text("N");
    deviceOption->excludes(portOption);
    auto* addressOption =
        app.add_option("-a,--addr", address, "Device address of the controller, 1-16 (default 1)")
            ->check(WholeNumber(1, 16, "a device address from 1 to 16"))
            ->option_text("A");
    app.add_flag("-j,--json", json,
                 "Print the result as JSON (watch prints JSON lines); a failure as an object\n"
                 "with its message and cause");
    app.add_flag("-v,--verbose", choice.verbose, "Print every exchange on stderr: request, reply, time, outcome");
    app.add_option("--reply-timeout", choice.replyTimeoutMs,
                   "A reply must be complete MS after the request (default 250)")
        ->check(WholeNumber(10, 10000, "milliseconds from 10 to 10000"))
        ->option_text("MS");
    app.add_option("--retries", choice.retries, "Repeat an exchange that failed on the line up to N times (default 0)")
        ->check(WholeNumber(0, 5, "a number of retries from 0 to 5"))
        ->option_text("N");
    app.add_flag("--local-echo", choice.localEcho, "The adapter hands each request back before the reply");
    app.add_option("--rs485", choice.rs485,
                   "RS-485 direction by RTS for a transceiver on a plain UART: rts-high (RTS high\n"
                   "while sending), rts-low or off, optionally with delays: rts-high,BEFORE_MS,AFTER_MS.\n"
                   "USB RS-485 adapters switch by themselves and need none")
        ->check(CLI::Validator(
            [](std::string& text) {
                return ParseRs485(text) ? std::string()
                                        : "MODE is rts-high, rts-low or off, then optionally ,BEFORE_MS,AFTER_MS (0-100)";
            },
            "MODE", "rs485"))
        ->option_text("MODE");
    std::string replyMode = "frame";
    app.add_option("--reply-mode", replyMode,
                   "frame: a read ends once the reply is complete (the default);\n"
                   "silence: 100 ms after the last byte, as classic hosts do")
        ->check(OneOf({"frame", "silence"}))
        ->option_text("MODE");

    std::function<int(const Context&)> run;
    std::function<int()> runWithoutLine;
    const auto command = [&](const char* name, const char* description) {
        return app.add_subcommand(name, description);
    };

    command("ports", "List the serial ports of this computer")->callback([&] {
        runWithoutLine = [&] { return Ports(json); };
    });
    bool quick = false;
    auto* scan = command("scan", "List the addresses 1-16 that answer, with serial numbers");
    scan->add_flag("--quick", quick,
                   "One fast pass only: silent addresses are not asked again with the full time-out\n"
                   "(a controller slower than the line's first one may be missed)");
    scan->callback([&] { run = [&](const Context& ctx) { return Scan(ctx, quick); }; });
    command("info", "Serial number, dates, modes, run state and remote key")->callback([&] { run = Info; });
    command("params", "Every parameter and setting as a table")->callback([&] { run = Params; });

    std::string name, value;
    auto* get = command("get", "Read one parameter or setting");
    get->add_option("NAME", name, "Parameter name (see below)")->required();
    get->footer(ParameterHelp());
    get->callback([&] { run = [&](const Context& ctx) { return Get(ctx, name); }; });

    auto* set = command("set", "Write one parameter or setting, then read it back");
    set->add_option("NAME", name, "Parameter name (see below)")->required();
    set->add_option("VALUE", value, "New value")->required();
    set->footer(ParameterHelp());
    set->callback([&] { run = [&](const Context& ctx) { return Set(ctx, name, value); }; });

    MoveOptions move;
    auto* moveCommand = command("move", "Move the screen: left, right, auto or stop");
    moveCommand->add_option("DIRECTION", move.direction, "left, right, auto or stop")
        ->required()
        ->check(OneOf({"left", "right", "auto", "stop"}));
    auto* waitFlag = moveCommand->add_flag(
        "-w,--wait", move.wait,
        "Follow the screen until it stops or reaches its limit; Ctrl-C stops it, and so does a\n"
        "screen that makes no progress for 3 s (exit 1 with the reason)");
    moveCommand->add_option("--timeout", move.timeoutSeconds, "With --wait: stop the screen after SECONDS")
        ->check(PositiveNumber("a number of seconds above 0"))
        ->needs(waitFlag)
        ->option_text("SECONDS");
    moveCommand->callback([&] { run = [&](const Context& ctx) { return Move(ctx, move); }; });

    command("init", "Stop the screen and switch every output off")->callback([&] { run = Init; });

    std::string action;
    std::optional<int> output;
    auto* switchCommand = command("switch", "Switch an output: on OUTPUT, off OUTPUT, all-on, all-off");
    switchCommand->add_option("ACTION", action, "on, off, all-on or all-off")
        ->required()
        ->check(OneOf({"on", "off", "all-on", "all-off"}));
    switchCommand->add_option("OUTPUT", output, "Output 1-6 (for on and off)")
        ->check(WholeNumber(1, 6, "an output number from 1 to 6"));
    switchCommand->callback([&] { run = [&](const Context& ctx) { return Switch(ctx, action, output); }; });

    command("switches", "The six switch outputs")->callback([&] { run = Switches; });
    command("inputs", "The inputs by name: limits, extremities, inputs 5-8")->callback([&] { run = Inputs; });

    int newAddress = 0;
    auto* addressCommand = command("address", "Give the controller a new device address");
    addressCommand->add_option("NEW", newAddress, "New device address, 1-16")
        ->required()
        ->check(WholeNumber(1, 16, "a device address from 1 to 16"));
    addressCommand->callback([&] { run = [&](const Context& ctx) { return ChangeAddress(ctx, newAddress); }; });

    bool broadcast = false;
    auto* defaults = command("defaults", "Restore the controller's default parameters");
    defaults->add_flag("--broadcast", broadcast, "Send the order to every controller on the line at once");
    defaults->callback([&] { run = [&](const Context& ctx) { return Defaults(ctx, broadcast); }; });

    command("reset-begin", "Make the place where the screen stands its begin point")->callback([&] {
        run = ResetBegin;
    });

    std::optional<std::string> date;
    auto* factory = command("factory-date", "Read the factory date, or set it");
    factory->add_option("DATE", date, "New factory date, YYYY-MM-DD");
    factory->callback([&] { run = [&](const Context& ctx) { return FactoryDate(ctx, date); }; });

    WatchOptions watch;
    auto* watchCommand = command("watch", "Live view of every answering controller, or of --addr's alone");
    watchCommand->add_option("--interval", watch.intervalMs, "Pause between refreshes (default 0: at the line's pace)")
        ->check(WholeNumber(0, 60000, "milliseconds from 0 to 60000"))
        ->option_text("MS");
    watchCommand->add_option("--count", watch.rounds, "Stop after N refreshes; 0 (the default) runs until Ctrl-C")
        ->check(WholeNumber(0, std::numeric_limits<int>::max(), "a number of refreshes, 0 (until Ctrl-C) or more"))
        ->option_text("N");
    watchCommand->callback([&] { run = [&](const Context& ctx) { return Watch(ctx, watch); }; });

    StatsOptions stats;
    auto* statsCommand =
        command("stats", "Read every answering controller (or --addr's) in rounds, then print the line's counts");
    statsCommand->add_option("--count", stats.rounds, "Rounds of reads (default 20)")
        ->check(WholeNumber(1, 1000000, "a number of rounds from 1"))
        ->option_text("N");
    statsCommand->callback([&] { run = [&](const Context& ctx) { return Stats(ctx, stats); }; });

    // Each command's help ends with the options that go with every command.
    const std::string globalOptions = GlobalOptionsHelp(app);
    for (auto* sub : app.get_subcommands([](CLI::App*) { return true; }))
        sub->footer(sub->get_footer().empty() ? globalOptions : sub->get_footer() + "\n" + globalOptions);
    app.footer(kFooter); // after the commands, which would inherit it
    // Words nobody takes are collected, so that the message can name them.
    app.allow_extras();
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) { // --help, --version
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "trovelctl: %s\n", UsageMessage(app, e).c_str());
        return kExitUsage;
    }
    if (const std::string wrong = LeftOver(app); !wrong.empty()) {
        std::fprintf(stderr, "trovelctl: %s\n", wrong.c_str());
        return kExitUsage;
    }

    // With --json a failure is a document too, so a script reads stdout either way.
    const auto failed = [&](int code, const char* message, int cause, bool document) {
        if (json && document && code != kExitUsage)
            std::printf("%s\n",
                        Json(Json::Object{{"ok", false}, {"error", std::string(message)}, {"cause", CauseJson(cause)}})
                            .Dump()
                            .c_str());
        std::fflush(stdout);
        std::fprintf(stderr, "trovelctl: %s\n", message);
        return code;
    };
    try {
        if (runWithoutLine)
            return runWithoutLine();
        if (choice.device.empty() && choice.port == 0) {
            if (const char* fromEnvironment = std::getenv("TROVEL_DEVICE"); fromEnvironment && *fromEnvironment)
                choice.device = fromEnvironment;
            else
                FailUsage("say which port: --device DEVICE or --port N (or set TROVEL_DEVICE)");
        }
        choice.frameReplies = replyMode == "frame";
        const Line line(choice);
        const Context ctx{line, address, json, StdoutDraws(), addressOption->count() > 0};
        const int code = run(ctx);
        std::fflush(stdout);
        return code;
    } catch (const Failure& f) {
        return failed(f.ExitCode(), f.what(), f.Cause(), !f.Reported());
    } catch (const std::exception& e) {
        return failed(kExitController, e.what(), TROVEL_OK, true);
    }
}
