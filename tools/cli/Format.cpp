#include "Format.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace trovelctl {

void AppendItem(std::string& list, std::string_view item, std::string_view separator)
{
    if (!list.empty())
        list += separator;
    list += item;
}

std::string FormatFloat(float value)
{
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

std::string FormatPosition(float value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(value));
    return text;
}

namespace {

std::string_view WithoutPlus(std::string_view text)
{
    // from_chars takes no leading '+', which people type for positions.
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    return text;
}

} // namespace

bool BeyondFloat(std::string_view text)
{
    text = WithoutPlus(text);
    float value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && result.ec == std::errc::result_out_of_range && result.ptr == text.data() + text.size();
}

std::optional<float> ParseFloat(std::string_view text)
{
    text = WithoutPlus(text);
    float value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || result.ec != std::errc{} || result.ptr != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<int> ParseDate(std::string_view text)
{
    if (text.size() != 10 || text[4] != '-' || text[7] != '-')
        return std::nullopt;
    const auto number = [&](std::size_t at, std::size_t count) -> std::optional<int> {
        int value = 0;
        const char* first = text.data() + at;
        const auto result = std::from_chars(first, first + count, value);
        if (result.ec != std::errc{} || result.ptr != first + count || *first == '-' || *first == '+')
            return std::nullopt;
        return value;
    };
    const auto year = number(0, 4), month = number(5, 2), day = number(8, 2);
    if (!year || !month || !day || *month < 1 || *month > 12 || *day < 1)
        return std::nullopt;
    const bool leap = (*year % 4 == 0 && *year % 100 != 0) || *year % 400 == 0;
    constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const int daysInMonth = kDays[*month - 1] + (*month == 2 && leap ? 1 : 0);
    if (*day > daysInMonth)
        return std::nullopt;
    return *year * 10000 + *month * 100 + *day;
}

std::string RunStateText(int state)
{
    constexpr int kKnown = runstate::Left | runstate::Right | runstate::Auto;
    if (state == 0)
        return "stopped";
    const bool left = (state & runstate::Left) != 0, right = (state & runstate::Right) != 0;
    if ((state & ~kKnown) != 0 || (left && right)) {
        char raw[32];
        std::snprintf(raw, sizeof raw, "state 0x%04X", static_cast<unsigned>(state));
        return raw;
    }
    const std::string motion = left ? "moving left" : right ? "moving right" : "pausing";
    return (state & runstate::Auto) != 0 ? "automatic run, " + motion : motion;
}

double Fraction(float position, float begin, float end)
{
    if (!std::isfinite(position) || !std::isfinite(begin) || !std::isfinite(end))
        return 0.0;
    if (begin == end)
        return position >= end ? 1.0 : 0.0;
    const double f = (double{position} - begin) / (double{end} - begin);
    return f < 0.0 ? 0.0 : f > 1.0 ? 1.0 : f;
}

std::string Bar(double fraction, int width)
{
    if (width < 1)
        width = 1;
    if (!(fraction >= 0.0))
        fraction = 0.0;
    if (fraction > 1.0)
        fraction = 1.0;
    const int filled = static_cast<int>(std::lround(fraction * width));
    std::string bar = "[";
    bar.append(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(width - filled), '.');
    bar += ']';
    return bar;
}

int BarCells(int width, std::size_t rest, int most, int least)
{
    const int brackets = 2;
    const long fit = static_cast<long>(width) - static_cast<long>(rest) - brackets;
    return fit < least ? 0 : static_cast<int>(std::min<long>(fit, most));
}

bool InputBit(std::string_view inputText, int bit)
{
    const auto at = static_cast<std::size_t>(7 - bit);
    return inputText.size() == 8 && bit >= 0 && bit < 8 && inputText[at] == '1';
}

bool OutputOn(std::string_view switchText, int output)
{
    const auto at = static_cast<std::size_t>(output - 1);
    return output >= 1 && at < switchText.size() && switchText[at] == '1';
}

std::string OutputsOnList(std::string_view switchText)
{
    constexpr int kOutputs = 6;
    std::string on;
    for (int i = 1; i <= kOutputs; ++i)
        if (OutputOn(switchText, i))
            AppendItem(on, std::to_string(i), " ");
    return on;
}

} // namespace trovelctl
