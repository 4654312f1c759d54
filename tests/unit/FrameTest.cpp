#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "modbus/Frame.h"
#include "modbus/RegisterMap.h"
#include "support/Hex.h"

namespace {

using namespace trovel::modbus;
using trovel::test::Bytes;
using trovel::test::Hex;

Bytes ReadRequest(std::uint32_t address, std::uint16_t reg, std::uint8_t count)
{
    std::array<std::uint8_t, kReadRequestSize> out{};
    EXPECT_TRUE(BuildReadRequest(address, reg, count, out));
    return {out.begin(), out.end()};
}

TEST(Frames, ReadRequestsOfTheWorkedExamples)
{
    EXPECT_EQ(ReadRequest(1, 200, 1), Hex("01 03 00 C8 00 01 05 F4"));
    EXPECT_EQ(ReadRequest(1, 100, 2), Hex("01 03 00 64 00 02 85 D4"));
    EXPECT_EQ(ReadRequest(1, 700, 6), Hex("01 03 02 BC 00 06 05 94"));
    EXPECT_EQ(ReadRequest(1, 0, 1), Hex("01 03 00 00 00 01 84 0A"));
    // Register numbers above 255 fill both register bytes.
    EXPECT_EQ(ReadRequest(1, 500, 2), Hex("01 03 01 F4 00 02 84 05"));
}

TEST(Frames, ReadRequestRefusesAddressesOutsideOneToSixteen)
{
    for (std::uint32_t bad : {0u, 17u, 0xFFFFFFFFu, 0x80000000u}) {
        std::array<std::uint8_t, kReadRequestSize> out;
        out.fill(0xAA);
        EXPECT_FALSE(BuildReadRequest(bad, 200, 1, out)) << bad;
        for (auto b : out)
            EXPECT_EQ(b, 0xAA) << "buffer touched for address " << bad;
    }
    EXPECT_EQ(ReadRequest(16, 200, 1)[0], 16);
}

TEST(Frames, WriteFramesOfTheWorkedExamples)
{
    const auto single = BuildWriteSingle(1, 200, 1);
    EXPECT_EQ(Bytes(single.begin(), single.end()), Hex("01 06 00 C8 00 01 C9 F4"));
    const auto multiple = BuildWriteMultiple(1, 100, std::bit_cast<std::uint32_t>(1.5f));
    EXPECT_EQ(Bytes(multiple.begin(), multiple.end()), Hex("01 10 00 64 00 02 04 00 00 3F C0 E5 D4"));
    const auto broadcast = BuildWriteSingle(0, trovel::reg::DefaultsOrder, 1);
    EXPECT_EQ(Bytes(broadcast.begin(), broadcast.end()), Hex("00 06 00 0E 00 01 28 18"));
}

TEST(Frames, RepliesOfTheWorkedExamplesCarryValidCrc)
{
    for (const char* reply : {"01 03 02 00 01 79 84", "01 03 04 00 00 3F C0 EB 93", "01 10 00 64 00 02 00 17",
                              "01 06 00 C8 00 01 C9 F4"}) {
        const auto bytes = Hex(reply);
        EXPECT_TRUE(CheckReplyCrc(bytes.data(), bytes.size())) << reply;
    }
}

TEST(Frames, CheckReplyCrcRefusesLengthsOutsideItsRange)
{
    const Bytes big(200, 0);
    EXPECT_FALSE(CheckReplyCrc(big.data(), 0));
    EXPECT_FALSE(CheckReplyCrc(big.data(), 1));
    EXPECT_FALSE(CheckReplyCrc(big.data(), 129));
    EXPECT_FALSE(CheckReplyCrc(nullptr, 8));
}

TEST(RegisterPair, PlacementBothWaysBitForBit)
{
    struct Case { std::uint32_t bits; const char* wire; };
    const Case cases[] = {
        {std::bit_cast<std::uint32_t>(1.5f), "00 00 3F C0"},
        {std::bit_cast<std::uint32_t>(-1.0f), "00 00 BF 80"},
        {20190925u, "16 CD 01 34"},
        {std::bit_cast<std::uint32_t>(std::numeric_limits<float>::infinity()), "00 00 7F 80"},
        {std::bit_cast<std::uint32_t>(-std::numeric_limits<float>::infinity()), "00 00 FF 80"},
        {std::bit_cast<std::uint32_t>(std::numeric_limits<float>::quiet_NaN()), "00 00 7F C0"},
        {0x7FA01234u /* signalling NaN with payload */, "12 34 7F A0"},
        {std::bit_cast<std::uint32_t>(-0.0f), "00 00 80 00"},
    };
    for (const auto& c : cases) {
        const auto placed = PlacePair(c.bits);
        EXPECT_EQ(Bytes(placed.begin(), placed.end()), Hex(c.wire)) << c.wire;
        EXPECT_EQ(AssemblePair(placed), c.bits) << c.wire;
    }
    const auto wire = Hex("00 00 BF 80");
    EXPECT_EQ(std::bit_cast<float>(AssemblePair(std::span<const std::uint8_t, 4>(wire.data(), 4))), -1.0f);
}

TEST(DeviceAddress, RangeIsOneToSixteen)
{
    EXPECT_FALSE(IsDeviceAddress(0));
    EXPECT_TRUE(IsDeviceAddress(1));
    EXPECT_TRUE(IsDeviceAddress(16));
    EXPECT_FALSE(IsDeviceAddress(17));
    EXPECT_FALSE(IsDeviceAddress(-1));
    EXPECT_FALSE(IsDeviceAddress(std::numeric_limits<std::int32_t>::min()));
}

} // namespace
