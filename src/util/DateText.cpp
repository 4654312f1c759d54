#include "util/DateText.h"

#include <cstdio>
#include <limits>

namespace trovel::util {

std::optional<DateText> RenderDate(std::int32_t date) noexcept
{
    char decimal[16];
    const int length = std::snprintf(decimal, sizeof decimal, "%d", static_cast<int>(date));
    constexpr int kFirstDash = 4;
    constexpr int kSecondDash = 7;
    // The second dash goes at position 7 of the text that already carries the first.
    if (length < kSecondDash - 1)
        return std::nullopt;
    DateText text{};
    std::size_t out = 0;
    for (int i = 0; i < length; ++i) {
        if (i == kFirstDash || i == kSecondDash - 1)
            text[out++] = '-';
        text[out++] = decimal[i];
    }
    if (length == kSecondDash - 1)
        text[out++] = '-'; // a position equal to the length appends
    text[out] = '\0';
    return text;
}

SerialText RenderSerial(std::span<const std::uint8_t, kSerialBytes> bytes) noexcept
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    constexpr std::size_t kGroupDigits = 6;
    SerialText text{};
    std::size_t out = 0;
    for (std::size_t i = 0; i < kSerialBytes; ++i) {
        if (i > 0 && (2 * i) % kGroupDigits == 0)
            text[out++] = '-';
        text[out++] = kDigits[bytes[i] >> 4];
        text[out++] = kDigits[bytes[i] & 0x0F];
    }
    text[out] = '\0';
    return text;
}

void RemoveDashes(char* text) noexcept
{
    char* out = text;
    for (const char* in = text; *in != '\0'; ++in)
        if (*in != '-')
            *out++ = *in;
    *out = '\0';
}

std::optional<std::int32_t> ParseLeadingInt(const char* text) noexcept
{
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    if (*p < '0' || *p > '9')
        return std::nullopt;
    constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
        if (magnitude <= kLimit)
            magnitude = magnitude * 10 + (*p - '0');
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<std::int32_t>::max())
        return std::numeric_limits<std::int32_t>::max();
    if (value < std::numeric_limits<std::int32_t>::min())
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

} // namespace trovel::util
