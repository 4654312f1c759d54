#pragma once
// Character shift coding: adds or subtracts a byte shift to every byte of a text.

#include <cstddef>
#include <cstdint>

namespace trovel::util {

// Writes source byte i plus `shift` (modulo 256) to destination byte i, for every byte before
// the source's NUL; no terminator is written. When the destination overlaps the source, a
// byte that becomes 0 inside the text read so far ends it there: coding in place stops right
// after a byte that becomes 0. One pass, so a megabyte codes in a blink.
inline void ShiftText(const char* source, char* destination, std::uint8_t shift) noexcept
{
    const auto from = reinterpret_cast<std::uintptr_t>(source);
    for (std::size_t i = 0; source[i] != '\0'; ++i) {
        const auto coded = static_cast<std::uint8_t>(static_cast<std::uint8_t>(source[i]) + shift);
        destination[i] = static_cast<char>(coded);
        // Where the written byte lands, counted from the source; a destination before the
        // source wraps to a huge offset, which never ends the text.
        const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(destination + i) - from;
        if (coded == 0 && at <= i + 1)
            return;
    }
}

} // namespace trovel::util
