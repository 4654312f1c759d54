// trovelctl: the operator's command-line tool for Trovel sliding-screen controllers, built on
// the library's public C interface like any other host application.

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Commands.h"
#include "Format.h"
#include "Link.h"
#include "Parameters.h"
#include "Terminal.h"

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

constexpr const char* kFooter = R"(Connection: --device PATH (or the environment variable TROVEL_DEVICE), or --port N
for COMn, which is /dev/ttyS<N-1> on Linux. --addr picks the controller (default 1).

Exit codes: 0 done, 1 a controller did not answer or did not take a value,
2 the command line is wrong (nothing was sent), 3 the port cannot be opened,
130 interrupted by Ctrl-C (a moving screen is stopped first).

Examples:
  trovelctl --device /dev/ttyUSB0 scan
  trovelctl --device /dev/ttyUSB0 --addr 2 set speed 80
  trovelctl --device /dev/ttyUSB0 --addr 2 move right --wait
  trovelctl --device /dev/ttyUSB0 params --json)";

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Operates Trovel sliding-screen controllers (Modbus RTU, addresses 1-16) on a serial line.",
                 "trovelctl"};
    app.require_subcommand(1);
    app.fallthrough(); // global options may also follow the command
    app.set_version_flag("--version", "trovelctl " TROVELCTL_VERSION);

    PortChoice choice;
    int address = 1;
    bool json = false;
    auto* deviceOption = app.add_option("-d,--device", choice.device, "Serial device, e.g. /dev/ttyUSB0")
                             ->option_text("PATH");
    auto* portOption =
        app.add_option("-p,--port", choice.port, "Port number N (COMN; /dev/ttyS<N-1> on Linux)")
            ->check(CLI::Range(1u, 1024u))
            ->option_text("N");
    deviceOption->excludes(portOption);
    auto* addressOption =
        app.add_option("-a,--addr", address, "Device address of the controller, 1-16 (default 1)")
            ->check(CLI::Range(1, 16))
            ->option_text("A");
    app.add_flag("-j,--json", json, "Print the result as JSON (reading commands; watch prints JSON lines)");

    std::function<int(const Context&)> run;
    const auto command = [&](const char* name, const char* description) {
        return app.add_subcommand(name, description);
    };

    command("scan", "List the addresses 1-16 that answer, with serial numbers")->callback([&] { run = Scan; });
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
        ->check(CLI::IsMember({"left", "right", "auto", "stop"}));
    auto* waitFlag = moveCommand->add_flag("-w,--wait", move.wait,
                                           "Follow the screen until it stops or reaches its limit; Ctrl-C stops it");
    moveCommand->add_option("--timeout", move.timeoutSeconds, "With --wait: stop the screen after SECONDS")
        ->check(CLI::PositiveNumber)
        ->needs(waitFlag)
        ->option_text("SECONDS");
    moveCommand->callback([&] { run = [&](const Context& ctx) { return Move(ctx, move); }; });

    command("init", "Stop the screen and switch every output off")->callback([&] { run = Init; });

    std::string action;
    std::optional<int> output;
    auto* switchCommand = command("switch", "Switch an output: on I, off I, all-on, all-off");
    switchCommand->add_option("ACTION", action, "on, off, all-on or all-off")
        ->required()
        ->check(CLI::IsMember({"on", "off", "all-on", "all-off"}));
    switchCommand->add_option("I", output, "Output 1-6 (for on and off)")->check(CLI::Range(1, 6));
    switchCommand->callback([&] { run = [&](const Context& ctx) { return Switch(ctx, action, output); }; });

    command("switches", "The six switch outputs")->callback([&] { run = Switches; });
    command("inputs", "The inputs by name: limits, extremities, inputs 5-8")->callback([&] { run = Inputs; });

    int newAddress = 0;
    auto* addressCommand = command("address", "Give the controller a new device address");
    addressCommand->add_option("NEW", newAddress, "New device address, 1-16")->required()->check(CLI::Range(1, 16));
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
    watchCommand->add_option("--interval", watch.intervalMs, "Pause between refreshes (default 500)")
        ->check(CLI::Range(0, 60000))
        ->option_text("MS");
    watchCommand->add_option("--count", watch.rounds, "Stop after N refreshes (default: until Ctrl-C)")
        ->check(CLI::NonNegativeNumber)
        ->option_text("N");
    watchCommand->callback([&] { run = [&](const Context& ctx) { return Watch(ctx, watch); }; });

    app.footer(kFooter); // after the commands, which would inherit it
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }

    try {
        if (choice.device.empty() && choice.port == 0) {
            if (const char* fromEnvironment = std::getenv("TROVEL_DEVICE"); fromEnvironment && *fromEnvironment)
                choice.device = fromEnvironment;
            else
                FailUsage("say which port: --device PATH or --port N (or set TROVEL_DEVICE)");
        }
        const Port port(choice);
        const Context ctx{port, address, json, StdoutIsTerminal(), addressOption->count() > 0};
        const int code = run(ctx);
        std::fflush(stdout);
        return code;
    } catch (const Failure& f) {
        std::fflush(stdout);
        std::fprintf(stderr, "trovelctl: %s\n", f.what());
        return f.ExitCode();
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "trovelctl: %s\n", e.what());
        return kExitController;
    }
}
