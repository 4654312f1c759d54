#pragma once
// The command line in words: checks whose refusals name the argument, the value and what is
// allowed, and CLI11's own errors put the same way.

#include <CLI/CLI.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace trovelctl {

// A whole number from `low` to `high`; refused with "takes <allowed>, not '<text>'".
CLI::Validator WholeNumber(long long low, long long high, const std::string& allowed);
// A finite number above 0.
CLI::Validator PositiveNumber(const std::string& allowed);
// One of `words`.
CLI::Validator OneOf(const std::vector<std::string>& words);

// The candidate at most two edits (a swap of neighbours counts as one) from `word`, or "".
std::string Nearest(std::string_view word, const std::vector<std::string>& candidates);

// The command line could not be used: the message for stderr, without the program's name.
std::string UsageMessage(const CLI::App& app, const CLI::ParseError& error);
// The same after a parse that went through but left words nobody took, or no command;
// empty when the command line is fine.
std::string LeftOver(const CLI::App& app);

// The program's own options, as a section to end a command's help with.
std::string GlobalOptionsHelp(const CLI::App& app);

} // namespace trovelctl
