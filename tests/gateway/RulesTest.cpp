// The gateway's parsing rules on their own: client networks, served units, request PDUs.

#include <gtest/gtest.h>

#include <vector>

#include "gateway/Config.h"
#include "gateway/Endpoint.h"
#include "gateway/Net.h"

namespace trovel::gateway {
namespace {

net::Peer V4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    net::Peer p;
    p.bytes = {a, b, c, d};
    return p;
}

// A prefix that is not a whole byte is where an allow-list lets the wrong client in.
TEST(AllowList, PrefixesCoverExactlyTheirNetwork)
{
    const struct { const char* network; net::Peer peer; bool inside; } cases[] = {
        {"10.0.0.0/24", V4(10, 0, 0, 255), true},  {"10.0.0.0/24", V4(10, 0, 1, 0), false},
        {"10.0.0.0/23", V4(10, 0, 1, 9), true},    {"10.0.0.0/23", V4(10, 0, 2, 0), false},
        {"192.168.1.7", V4(192, 168, 1, 7), true}, {"192.168.1.7", V4(192, 168, 1, 6), false},
        {"172.16.0.0/12", V4(172, 31, 255, 1), true}, {"172.16.0.0/12", V4(172, 32, 0, 1), false},
        {"0.0.0.0/0", V4(8, 8, 8, 8), true},
    };
    for (const auto& c : cases) {
        net::Network n;
        ASSERT_TRUE(net::ParseNetwork(c.network, n)) << c.network;
        EXPECT_EQ(n.Contains(c.peer), c.inside) << c.network << " " << c.peer.Text();
    }
    net::Network v6;
    ASSERT_TRUE(net::ParseNetwork("::1/128", v6));
    EXPECT_FALSE(v6.Contains(V4(0, 0, 0, 1))) << "an IPv4 client matched an IPv6 network";
    for (const char* bad : {"10.0.0.0/33", "10.0.0/8", "10.0.0.0/", "example.com"}) {
        net::Network n;
        EXPECT_FALSE(net::ParseNetwork(bad, n)) << bad;
    }
}

TEST(Units, ListsAndRanges)
{
    std::uint32_t mask = 0;
    ASSERT_TRUE(ParseUnits("1,3,7-9", mask));
    EXPECT_EQ(mask, (1u << 1) | (1u << 3) | (1u << 7) | (1u << 8) | (1u << 9));
    for (const char* bad : {"0", "17", "1-17", "5-3", "", "1,", "a"})
        EXPECT_FALSE(ParseUnits(bad, mask)) << bad;
}

// Exceptions a client gets before anything is queued; a wrong one would hide a refused
// write or let a malformed one through.
TEST(Pdu, RefusalsBeforeTheQueue)
{
    LineService line(LineSettings{});
    const struct { std::uint8_t unit; std::vector<std::uint8_t> pdu; bool readOnly; std::uint8_t exception; } cases[] = {
        {1, {0x03, 0x00, 0x64, 0x00, 0x02}, false, 0},
        {1, {0x04, 0x00, 0x64, 0x00, 0x02}, false, 0x01},        // another function
        {17, {0x03, 0x00, 0x64, 0x00, 0x02}, false, 0x0A},       // another unit
        {0, {0x03, 0x00, 0x64, 0x00, 0x02}, false, 0x0A},        // a read cannot be broadcast
        {0, {0x06, 0x00, 0x0A, 0x00, 0x08}, false, 0},           // a write can
        {1, {0x06, 0x00, 0x0A, 0x00, 0x08}, true, 0x01},         // read-only endpoint
        {1, {0x10, 0x00, 0x64, 0x00, 0x01, 0x02, 0x00, 0x01}, true, 0x01},
        {1, {0x03, 0x00, 0x64, 0x00, 0x7E}, false, 0x03},        // 126 registers
        {1, {0x03, 0x00, 0x64, 0x00, 0x00}, false, 0x03},
        {1, {0x03, 0xFF, 0xFF, 0x00, 0x02}, false, 0x02},        // past register 65535
        {1, {0x10, 0x00, 0x64, 0x00, 0x02, 0x02, 0x00, 0x01}, false, 0x03}, // byte count wrong
        {1, {0x10, 0x00, 0x64, 0x00, 0x01, 0x02, 0x00}, false, 0x03},       // value cut short
    };
    for (const auto& c : cases) {
        Request request;
        EXPECT_EQ(DecodePdu(c.unit, c.pdu, c.readOnly, line, request), c.exception)
            << "unit " << int(c.unit) << " function " << int(c.pdu[0]);
    }
}

} // namespace
} // namespace trovel::gateway
