#pragma once
// Exports end to end against a scripted controller on a pseudo-terminal.

#include <gtest/gtest.h>

#include "TrovelSdk.h"
#include "support/PtyPeer.h"

namespace trovel::test {

class ApiLine : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(OpenComDevice(peer.DevicePath().c_str()), 1); }
    void TearDown() override { CloseCom(); }

    // Runs `call` while the peer expects `request` and answers `reply` (nothing if empty).
    template <class Call>
    int Exchange(const Bytes& request, const Bytes& reply, Call&& call)
    {
        peer.Expect(request);
        if (!reply.empty())
            peer.Send(reply);
        peer.Start();
        const int result = call();
        EXPECT_TRUE(peer.Finish()) << peer.Failure();
        return result;
    }

    // Runs `call` and checks that it put no byte on the line.
    template <class Call>
    int Refused(Call&& call)
    {
        const int result = call();
        const Bytes sent = peer.Unexpected(Millis(30));
        EXPECT_TRUE(sent.empty()) << "a refused call sent " << ToHex(sent);
        return result;
    }

    PtyPeer peer;
};

// A read reply of the given registers with a valid CRC.
inline Bytes ReadReply(std::uint8_t address, std::initializer_list<std::uint16_t> registers)
{
    Bytes reply{address, 0x03, static_cast<std::uint8_t>(2 * registers.size())};
    for (auto r : registers) {
        reply.push_back(static_cast<std::uint8_t>(r >> 8));
        reply.push_back(static_cast<std::uint8_t>(r));
    }
    return WithCrc(reply);
}

inline Bytes ReadRequest(std::uint8_t address, std::uint16_t reg, std::uint8_t count)
{
    return WithCrc({address, 0x03, static_cast<std::uint8_t>(reg >> 8), static_cast<std::uint8_t>(reg), 0, count});
}

inline Bytes WriteSingleRequest(std::uint8_t address, std::uint16_t reg, std::uint16_t value)
{
    return WithCrc({address, 0x06, static_cast<std::uint8_t>(reg >> 8), static_cast<std::uint8_t>(reg),
                    static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
}

// Registers N, N+1 carry bits 15-0 and 31-16, each high byte first.
inline Bytes WriteMultipleRequest(std::uint8_t address, std::uint16_t reg, std::uint32_t bits)
{
    return WithCrc({address, 0x10, static_cast<std::uint8_t>(reg >> 8), static_cast<std::uint8_t>(reg), 0, 2, 4,
                    static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits),
                    static_cast<std::uint8_t>(bits >> 24), static_cast<std::uint8_t>(bits >> 16)});
}

} // namespace trovel::test
