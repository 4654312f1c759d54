// The register model of one controller, without a line.

#include <gtest/gtest.h>

#include <array>

#include "modbus/RegisterMap.h"
#include "sim/Controller.h"
#include "sim/Line.h"

namespace {

using namespace trovel::sim;
namespace reg = trovel::reg;

Exception WriteOne(Controller& c, std::uint16_t r, std::uint16_t value) { return c.Write(r, std::span(&value, 1)); }

TEST(SimRegisters, SwitchStatusMirrorsTheSixOutputs)
{
    Controller c(1);
    ASSERT_EQ(WriteOne(c, reg::SwitchOutputs, 0x0021), Exception::None);
    EXPECT_EQ(c.Register(reg::SwitchStatus), 0x0021 << 6);
    // There are six outputs and no more.
    ASSERT_EQ(WriteOne(c, reg::SwitchOutputs, 0xFFFF), Exception::None);
    EXPECT_EQ(c.Register(reg::SwitchOutputs), 0x003F);
    EXPECT_EQ(c.Register(reg::SwitchStatus), 0x0FC0);
}

TEST(SimRegisters, DefaultsOrderRestoresParametersAndModesOnly)
{
    Controller c(1);
    c.SetFloat(reg::MotorSpeed, 7.0f);
    c.SetFloat(reg::DelayTime, 9.0f);
    ASSERT_EQ(WriteOne(c, reg::WorkMode, 1), Exception::None);
    ASSERT_EQ(WriteOne(c, reg::SwitchOutputs, 5), Exception::None);

    ASSERT_EQ(WriteOne(c, reg::DefaultsOrder, 2), Exception::None); // only 1 is the order
    EXPECT_EQ(c.Float(reg::MotorSpeed), 7.0f);

    ASSERT_EQ(WriteOne(c, reg::DefaultsOrder, 1), Exception::None);
    EXPECT_EQ(c.Float(reg::MotorSpeed), 50.0f);
    EXPECT_EQ(c.Float(reg::DelayTime), 2.0f);
    EXPECT_EQ(c.Register(reg::WorkMode), 0);
    EXPECT_EQ(c.Register(reg::SwitchOutputs), 5);
    EXPECT_EQ(c.Register(reg::DefaultsOrder), 0);
}

TEST(SimRegisters, RefusedWritesChangeNothingAtAll)
{
    Controller c(1);
    // The first register is writable, the second is not: neither is written.
    const std::array<std::uint16_t, 2> values{0x1234, 0x5678};
    EXPECT_EQ(c.Write(reg::ParameterBlockLast, values), Exception::IllegalDataAddress);
    EXPECT_EQ(c.Float(reg::DelayTime), 2.0f);
    EXPECT_EQ(WriteOne(c, reg::RunState, 1), Exception::IllegalDataAddress);
    EXPECT_EQ(WriteOne(c, reg::SerialNumber, 1), Exception::IllegalDataAddress);
    std::array<std::uint16_t, 1> out{};
    EXPECT_EQ(c.Read(reg::WorkMode + 1, out), Exception::IllegalDataAddress);
}

TEST(SimRegisters, AddressListsParse)
{
    EXPECT_EQ(ParseAddresses("1-4"), (std::vector<std::uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(ParseAddresses("16,1,3-4"), (std::vector<std::uint8_t>{16, 1, 3, 4}));
    for (const char* bad : {"", "0", "17", "1-17", "4-1", "1,1", "1,", "a", "1-", "-3"})
        EXPECT_FALSE(ParseAddresses(bad)) << bad;
}

} // namespace
