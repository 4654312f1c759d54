#pragma once
// Character shift coding: adds or subtracts a byte shift to every byte of a text.

#include <cstdint>
#include <cstring>

namespace trovel::util {

// Writes source byte i plus `shift` (modulo 256) to destination byte i, for every byte before
// the source's NUL; no terminator is written. The source is measured again before every
// byte, so coding in place stops right after a byte that becomes 0.
inline void ShiftText(const char* source, char* destination, std::uint8_t shift) noexcept
{
    for (std::size_t i = 0; i < std::strlen(source); ++i)
        destination[i] = static_cast<char>(static_cast<std::uint8_t>(static_cast<std::uint8_t>(source[i]) + shift));
}

} // namespace trovel::util
