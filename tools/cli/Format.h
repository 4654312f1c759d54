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

// Positions for people, two decimals: on the bar, in plain lines and at the end alike.
std::string FormatPosition(float value);

// The whole text must be a finite number; "12abc", "nan" and "" give nothing.
std::optional<float> ParseFloat(std::string_view text);
// A number, but none a float can hold: "1e40".
bool BeyondFloat(std::string_view text);

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

// Cells for a bar beside `rest` columns of text in a line of `width`: at most `most`, and
// none when fewer than `least` fit. The bar gives way first, so the numbers stay in view.
int BarCells(int width, std::size_t rest, int most, int least = 5);

// The inputs by bit number, bit 0 first. The input string the library gives puts bit 7 first.
inline constexpr std::array<std::string_view, 8> kInputNames{
    "left limit", "right limit", "left extremity", "right extremity", "input 5", "input 6", "input 7", "input 8"};
bool InputBit(std::string_view inputText, int bit);

// Output i (1-6) is character i-1 of the switch string.
bool OutputOn(std::string_view switchText, int output);
// The outputs that are on, "1 3 6", or "" when none is.
std::string OutputsOnList(std::string_view switchText);

} // namespace trovelctl
