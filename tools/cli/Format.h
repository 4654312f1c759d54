#pragma once
// Text in and out: numbers, dates, run states, the bar drawn between two points.

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace trovelctl {

// Adds item to a list of items separated by separator.
void AppendItem(std::string& list, std::string_view item, std::string_view separator);

// Shortest text that reads back as the same float: 0.1f prints as 0.1, not 0.100000001.
std::string FormatFloat(float value);

// The whole text must be a finite number; "12abc", "nan" and "" give nothing.
std::optional<float> ParseFloat(std::string_view text);

// "YYYY-MM-DD" naming a real calendar day; gives the controller's integer YYYYMMDD.
std::optional<int> ParseDate(std::string_view text);

// Bits of the run state register as the controllers use them: 0 is stopped.
namespace runstate {
inline constexpr int Left = 1 << 0;
inline constexpr int Right = 1 << 1;
inline constexpr int Auto = 1 << 2;
} // namespace runstate

// "stopped", "moving right", "automatic run, pausing", or the raw value for unknown bits.
std::string RunStateText(int state);

// Where position stands between begin and end, 0 to 1, whichever way round the points are.
double Fraction(float position, float begin, float end);

// "[#######.............]" with `width` cells between the brackets.
std::string Bar(double fraction, int width);

// The inputs by bit number, bit 0 first. The input string the library gives puts bit 7 first.
inline constexpr std::array<std::string_view, 8> kInputNames{
    "left limit", "right limit", "left extremity", "right extremity", "input 5", "input 6", "input 7", "input 8"};
bool InputBit(std::string_view inputText, int bit);

// Output i (1-6) is character i-1 of the switch string.
bool OutputOn(std::string_view switchText, int output);

} // namespace trovelctl
