#pragma once
// CRC-16 of Modbus RTU, table-driven. The result has the checksum's two bytes exchanged:
// its high byte is the checksum's low byte, which a frame carries first.

#include <array>
#include <cstdint>
#include <span>

namespace trovel::modbus {

namespace detail {
// Reflected polynomial 0xA001, one entry per byte value, built by the compiler.
consteval std::array<std::uint16_t, 256> MakeReflectedTable()
{
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t crc = static_cast<std::uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001u) : static_cast<std::uint16_t>(crc >> 1);
        table[i] = crc;
    }
    return table;
}

consteval std::array<std::uint8_t, 256> TableByte(bool highByte)
{
    const auto reflected = MakeReflectedTable();
    std::array<std::uint8_t, 256> out{};
    for (unsigned i = 0; i < 256; ++i)
        out[i] = static_cast<std::uint8_t>(highByte ? reflected[i] >> 8 : reflected[i] & 0xFFu);
    return out;
}

// The two byte tables of the classic Modbus routine.
inline constexpr std::array<std::uint8_t, 256> kHighTable = TableByte(false);
inline constexpr std::array<std::uint8_t, 256> kLowTable = TableByte(true);
} // namespace detail

// Returns 0 for empty data (not 0xFFFF), as the exported routine always has.
constexpr std::uint16_t Crc16(std::span<const std::uint8_t> data) noexcept
{
    if (data.empty())
        return 0;
    std::uint8_t high = 0xFF;
    std::uint8_t low = 0xFF;
    for (const std::uint8_t byte : data) {
        const std::uint8_t index = high ^ byte;
        high = low ^ detail::kHighTable[index];
        low = detail::kLowTable[index];
    }
    return static_cast<std::uint16_t>((high << 8) | low);
}

} // namespace trovel::modbus
