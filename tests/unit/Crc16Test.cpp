#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "modbus/Crc16.h"
#include "support/Hex.h"

namespace {

using trovel::modbus::Crc16;
using trovel::test::Hex;

// Bit-by-bit reference of CRC-16/MODBUS, to check the generated tables against.
std::uint16_t ReferenceModbusCrc(std::span<const std::uint8_t> data)
{
    std::uint16_t crc = 0xFFFF;
    for (auto b : data) {
        crc ^= b;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

std::uint16_t Swapped(std::uint16_t v) { return static_cast<std::uint16_t>((v << 8) | (v >> 8)); }

TEST(Crc16, KnownVectors)
{
    const std::string_view digits = "123456789";
    const auto* p = reinterpret_cast<const std::uint8_t*>(digits.data());
    EXPECT_EQ(Crc16({p, digits.size()}), 0x374B);
    EXPECT_EQ(Crc16(Hex("01 03 00 00 00 01")), 0x840A);
    EXPECT_EQ(Crc16(Hex("01 03 00 64 00 02")), 0x85D4);
    EXPECT_EQ(Crc16({}), 0) << "an empty count gives 0, not 0xFFFF";
}

TEST(Crc16, MatchesBitwiseReferenceForEveryByteValueAndLength)
{
    std::vector<std::uint8_t> data;
    for (int i = 0; i < 600; ++i) {
        data.push_back(static_cast<std::uint8_t>(i * 37 + 11));
        ASSERT_EQ(Crc16(data), Swapped(ReferenceModbusCrc(data))) << "length " << data.size();
    }
}

TEST(Crc16, IsUsableAtCompileTime)
{
    constexpr std::array<std::uint8_t, 6> frame{0x01, 0x03, 0x00, 0xC8, 0x00, 0x01};
    static_assert(Crc16(frame) == 0x05F4);
}

} // namespace
