#pragma once
// Text forms of the controller's identity: dates stored as the integer YYYYMMDD, and the
// 12-byte serial number as grouped hexadecimal digits.

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace trovel::util {

// 13 characters and a NUL at most (from -2147483648).
inline constexpr std::size_t kDateTextSize = 14;
using DateText = std::array<char, kDateTextSize>;

// The signed decimal form with '-' inserted at position 4 and then at position 7:
// 20200115 gives 2020-01-15, 123456 gives 1234-56-. Fewer than six characters of decimal
// leave no room for the second dash: no text.
std::optional<DateText> RenderDate(std::int32_t date) noexcept;

// 24 upper-case hexadecimal digits in four groups of six: 27 characters and a NUL.
inline constexpr std::size_t kSerialBytes = 12;
inline constexpr std::size_t kSerialTextSize = 28;
using SerialText = std::array<char, kSerialTextSize>;
SerialText RenderSerial(std::span<const std::uint8_t, kSerialBytes> bytes) noexcept;

// Removes every '-' in place, closing the gaps; the text stays NUL-terminated.
void RemoveDashes(char* text) noexcept;

// A decimal integer at the start of the text, as "%d" reads one: white space skipped, an
// optional sign, digits up to the first non-digit. No digits: no value. Values beyond the
// 32-bit range are clamped to it.
std::optional<std::int32_t> ParseLeadingInt(const char* text) noexcept;

} // namespace trovel::util
