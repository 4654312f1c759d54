#include "Usage.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numeric>

#include "Format.h"

namespace trovelctl {

namespace {

std::string Refusal(const std::string& allowed, const std::string& text)
{
    return "takes " + allowed + ", not '" + text + "'";
}

std::vector<std::string> CommandNames(const CLI::App& app)
{
    std::vector<std::string> names;
    for (const auto* sub : app.get_subcommands([](const CLI::App*) { return true; }))
        names.push_back(sub->get_name());
    return names;
}

std::string CommandList(const CLI::App& app)
{
    std::string list;
    for (const auto& name : CommandNames(app))
        AppendItem(list, name, ", ");
    return list;
}

const CLI::App* ChosenCommand(const CLI::App& app)
{
    const auto chosen = app.get_subcommands();
    return chosen.empty() ? nullptr : chosen.front();
}

// "trovelctl get --help", or the program's own help before a command was named.
std::string HelpHint(const CLI::App& app)
{
    const CLI::App* command = ChosenCommand(app);
    return "see 'trovelctl " + (command ? command->get_name() + " " : std::string()) + "--help'";
}

std::string UnknownWord(const CLI::App& app, const std::string& word)
{
    if (!word.empty() && word.front() == '-')
        return "there is no option '" + word + "'; " + HelpHint(app);
    if (ChosenCommand(app))
        return ChosenCommand(app)->get_name() + " takes no argument '" + word + "' here; " + HelpHint(app);
    if (word == "help")
        return "there is no command 'help': 'trovelctl --help' lists the commands, 'trovelctl COMMAND --help' "
               "explains one";
    const std::string nearest = Nearest(word, CommandNames(app));
    return "there is no command '" + word + "'" + (nearest.empty() ? "" : "; did you mean '" + nearest + "'?") +
           " Commands: " + CommandList(app);
}

// The options of the program and of the chosen command.
std::vector<const CLI::Option*> OptionsInPlay(const CLI::App& app)
{
    std::vector<const CLI::Option*> options = app.get_options();
    if (const CLI::App* command = ChosenCommand(app))
        for (const auto* option : command->get_options())
            options.push_back(option);
    return options;
}

} // namespace

CLI::Validator WholeNumber(long long low, long long high, const std::string& allowed)
{
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            long long value = 0;
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < low || value > high)
                return Refusal(allowed, text);
            return {};
        },
        allowed);
}

CLI::Validator PositiveNumber(const std::string& allowed)
{
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            double value = 0;
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (text.empty() || ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value) ||
                value <= 0.0)
                return Refusal(allowed, text);
            return {};
        },
        allowed);
}

CLI::Validator OneOf(const std::vector<std::string>& words)
{
    std::string allowed;
    for (std::size_t i = 0; i < words.size(); ++i)
        allowed += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            return std::find(words.begin(), words.end(), text) != words.end() ? std::string() : Refusal(allowed, text);
        },
        allowed);
}

std::string Nearest(std::string_view word, const std::vector<std::string>& candidates)
{
    // Edit distance with swaps of neighbours, the typing slip "sacn" for "scan".
    const auto distance = [](std::string_view a, std::string_view b) {
        std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
        for (std::size_t i = 0; i <= a.size(); ++i)
            d[i][0] = i;
        std::iota(d[0].begin(), d[0].end(), std::size_t{0});
        for (std::size_t i = 1; i <= a.size(); ++i)
            for (std::size_t j = 1; j <= b.size(); ++j) {
                d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
                if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                    d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        return d[a.size()][b.size()];
    };
    constexpr std::size_t kFarthest = 2;
    std::string best;
    std::size_t bestDistance = kFarthest + 1;
    for (const auto& candidate : candidates)
        if (const auto d = distance(word, candidate); d < bestDistance) {
            best = candidate;
            bestDistance = d;
        }
    return best;
}

std::string UsageMessage(const CLI::App& app, const CLI::ParseError& error)
{
    const std::string what = error.what();
    // "--addr: takes a device address ..." from the checks above: one sentence.
    if (dynamic_cast<const CLI::ValidationError*>(&error)) {
        if (const auto colon = what.find(": takes "); colon != std::string::npos)
            return what.substr(0, colon) + what.substr(colon + 1);
        return what;
    }
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error)) {
        for (const CLI::Option* option : OptionsInPlay(app)) {
            if (option->count() > 1 && option->get_expected_max() == 1) {
                std::string values;
                for (const auto& value : option->results())
                    AppendItem(values, value, ", ");
                return option->get_name() + " is given " + std::to_string(option->count()) + " times (" + values +
                       "); give it once";
            }
        }
        // "--device: 1 required TEXT missing": an option at the end of the line, without its value.
        const std::string name = what.substr(0, what.find(':'));
        if (const CLI::Option* option = app.get_option_no_throw(name))
            return name + " needs a value: " + option->get_option_text() + "; " + HelpHint(app);
    }
    if (dynamic_cast<const CLI::ExtrasError*>(&error)) {
        const std::string prefix = "not expected: ";
        const auto at = what.find(prefix);
        return UnknownWord(app, at == std::string::npos ? what : what.substr(at + prefix.size()));
    }
    const CLI::App* command = ChosenCommand(app);
    return (command ? command->get_name() + ": " : std::string()) + what + "; " + HelpHint(app);
}

std::string LeftOver(const CLI::App& app)
{
    const auto words = app.remaining();
    if (!words.empty())
        return UnknownWord(app, words.front());
    if (!ChosenCommand(app))
        return "say which command: " + CommandList(app) + " ('trovelctl --help' explains them)";
    return {};
}

std::string GlobalOptionsHelp(const CLI::App& app)
{
    const auto formatter = std::dynamic_pointer_cast<CLI::Formatter>(app.get_formatter());
    std::string help = "Options of trovelctl, before or after the command:\n";
    for (const CLI::Option* option : app.get_options())
        if (formatter && option->get_name() != "--help" && option->get_name() != "--version")
            help += formatter->make_option(option, false);
    return help;
}

} // namespace trovelctl
