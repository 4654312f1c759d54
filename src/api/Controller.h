#pragma once
// The exchanges every family of controller calls is made of: read one register, a register
// pair or a block, write one register or a pair. Each builds its frame on the stack, runs
// one locked exchange and applies the reply acceptance.

#include <cstddef>
#include <cstdint>
#include <span>

#include "serial/Exchange.h"

namespace trovel::api {

using serial::ReplyBuffer;

// One exchange; true when at least `expected` bytes arrived with a valid CRC over them.
bool ExchangeAccepted(std::span<const std::uint8_t> request, std::size_t expected, ReplyBuffer& reply);

// Reads `count` registers from `first`; on success the reply buffer holds the read reply.
bool ReadRegisters(std::int32_t address, std::uint16_t first, std::uint8_t count, ReplyBuffer& reply);
bool ReadRegister(std::int32_t address, std::uint16_t reg, std::uint16_t& value);
bool ReadRegisterPair(std::int32_t address, std::uint16_t first, std::uint32_t& value);

// Writes with function 6 or 16; the address byte is sent as given (0 broadcasts).
bool WriteRegister(std::uint8_t address, std::uint16_t reg, std::uint16_t value);
bool WriteRegisterPair(std::uint8_t address, std::uint16_t first, std::uint32_t value);

// Offset of the first data byte in a read reply.
inline constexpr std::size_t kReplyDataOffset = 3;

} // namespace trovel::api
