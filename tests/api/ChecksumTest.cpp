#include <gtest/gtest.h>

#include <vector>

#include "TrovelSdk.h"
#include "modbus/Crc16.h"
#include "support/Hex.h"

namespace {

using trovel::modbus::Crc16;
using trovel::test::Hex;

TEST(Crc16Export, AgreesWithCoreAndKeepsUpperBitsClear)
{
    const auto data = Hex("01 03 02 BC 00 06");
    EXPECT_EQ(CRC16(data.data(), 6), 0x0594);
    const auto ff = std::vector<std::uint8_t>(100, 0xFF);
    const int result = CRC16(ff.data(), 100);
    EXPECT_EQ(result & ~0xFFFF, 0);
    EXPECT_EQ(result, Crc16(ff));
}

TEST(Crc16Export, RefusesNegativeCountAndNullDataWithoutReading)
{
    EXPECT_EQ(CRC16(nullptr, 5), 0);
    EXPECT_EQ(CRC16(nullptr, 0), 0);
    const std::uint8_t one = 0x31;
    EXPECT_EQ(CRC16(&one, -1), 0);
    EXPECT_EQ(CRC16(&one, -2147483647 - 1), 0);
    EXPECT_EQ(CRC16(&one, 0), 0);
}

} // namespace
