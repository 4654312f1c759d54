#pragma once
// '0'/'1' strings as the switch outputs travel between library and host.

#include <cstdint>
#include <cstring>

namespace trovel::util {

// Sum of 2^i over every position i (from 0 at the left) that holds '1'; any other character
// adds nothing. Positions past 30 would not fit a signed 32-bit sum and are ignored.
inline std::int32_t BitStringToInt(const char* text) noexcept
{
    if (text == nullptr)
        return 0;
    std::int32_t sum = 0;
    for (std::size_t i = std::strlen(text); i-- > 0;)
        if (text[i] == '1' && i < 31)
            sum += std::int32_t{1} << i;
    return sum;
}

} // namespace trovel::util
