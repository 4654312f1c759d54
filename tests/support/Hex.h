#pragma once
// Frames written the way people read them: "01 03 00 64".

#include <cstdint>
#include <cstdio>
#include <span>
#include <sstream>
#include <string>
#include <vector>

namespace trovel::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Hex(const std::string& text)
{
    Bytes out;
    std::istringstream in(text);
    std::string token;
    while (in >> token)
        out.push_back(static_cast<std::uint8_t>(std::stoul(token, nullptr, 16)));
    return out;
}

inline std::string ToHex(std::span<const std::uint8_t> bytes)
{
    std::string out;
    char buf[4];
    for (const auto b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X ", b);
        out += buf;
    }
    if (!out.empty())
        out.pop_back();
    return out;
}

} // namespace trovel::test
