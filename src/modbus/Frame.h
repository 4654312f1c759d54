#pragma once
// Modbus RTU frames as the controllers speak them: function 3 (read holding registers),
// 6 (write single register) and 16 (write two registers carrying one 32-bit value).

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

namespace trovel::modbus {

inline constexpr std::uint8_t kReadHolding = 0x03;
inline constexpr std::uint8_t kWriteSingle = 0x06;
inline constexpr std::uint8_t kWriteMultiple = 0x10;
inline constexpr std::uint8_t kExceptionBit = 0x80;

inline constexpr std::size_t kReadRequestSize = 8;
inline constexpr std::size_t kWriteSingleSize = 8;
inline constexpr std::size_t kWriteMultipleSize = 13;
inline constexpr std::size_t kCrcSize = 2;

// Expected reply lengths: a read of n registers answers 5 + 2n bytes, every write 8.
constexpr std::size_t ExpectedReadReply(std::uint8_t registers) noexcept { return 5u + 2u * registers; }
inline constexpr std::size_t kExpectedWriteReply = 8;

// The line's pace at 19200 baud: a character of 10 bits (start, 8 data, stop), and the
// silence of 3.5 characters that separates two RTU frames.
inline constexpr std::chrono::nanoseconds kCharacterTime{520'833};
inline constexpr std::chrono::nanoseconds kInterFrameSilence{1'822'917};

// Largest length CheckReplyCrc accepts; every reply of this system is far shorter.
inline constexpr std::size_t kMaxCheckedReply = 128;

inline constexpr std::int32_t kFirstDeviceAddress = 1;
inline constexpr std::int32_t kLastDeviceAddress = 16;
inline constexpr std::int32_t kBroadcastAddress = 0;

// Device addresses 1 to 16; the unsigned comparison refuses 0 and negative values alike.
constexpr bool IsDeviceAddress(std::int64_t address) noexcept
{
    return static_cast<std::uint64_t>(address - kFirstDeviceAddress) <=
           static_cast<std::uint64_t>(kLastDeviceAddress - kFirstDeviceAddress);
}

// Writes the CRC field over all bytes but the last two into the last two.
void AppendCrc(std::span<std::uint8_t> frame) noexcept;

// False (buffer untouched) unless 1 <= address <= 16.
bool BuildReadRequest(std::uint32_t address, std::uint16_t firstRegister, std::uint8_t count,
                      std::span<std::uint8_t, kReadRequestSize> out) noexcept;

std::array<std::uint8_t, kWriteSingleSize> BuildWriteSingle(std::uint8_t address, std::uint16_t reg,
                                                            std::uint16_t value) noexcept;

std::array<std::uint8_t, kWriteMultipleSize> BuildWriteMultiple(std::uint8_t address, std::uint16_t firstRegister,
                                                                std::uint32_t value) noexcept;

// True when the two bytes at length-2 and length-1 carry the CRC of the bytes before them.
// Length must lie in 2..128; anything else is refused.
bool CheckReplyCrc(const std::uint8_t* reply, std::size_t length) noexcept;

// Any RTU frame (at most 256 bytes) whose last two bytes carry the CRC of the bytes before
// them; unlike CheckReplyCrc it takes the long replies of a forwarded read.
bool FrameCrcValid(std::span<const std::uint8_t> frame) noexcept;

// Forwarded requests: the largest counts one RTU frame of 256 bytes can carry.
inline constexpr std::size_t kMaxFrameSize = 256;
inline constexpr std::uint16_t kMaxReadCount = 125;
inline constexpr std::uint16_t kMaxWriteCount = 123;

// A write of `values` from `first` with function 16 into `out`; its length, or 0 when the
// count is out of 1..123 or `out` is too small.
std::size_t BuildWriteRegisters(std::uint8_t address, std::uint16_t first, std::span<const std::uint16_t> values,
                                std::span<std::uint8_t> out) noexcept;

// Register-pair placement of a 32-bit value: low half in the first register, each register
// high byte first, so the wire carries bits 15-8, 7-0, 31-24, 23-16.
constexpr std::array<std::uint8_t, 4> PlacePair(std::uint32_t value) noexcept
{
    return {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value),
            static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16)};
}

constexpr std::uint32_t AssemblePair(std::span<const std::uint8_t, 4> data) noexcept
{
    return (std::uint32_t{data[2]} << 24) | (std::uint32_t{data[3]} << 16) | (std::uint32_t{data[0]} << 8) |
           std::uint32_t{data[1]};
}

constexpr std::uint16_t AssembleRegister(std::uint8_t high, std::uint8_t low) noexcept
{
    return static_cast<std::uint16_t>((high << 8) | low);
}

} // namespace trovel::modbus
