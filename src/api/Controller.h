#pragma once
// The exchanges every family of controller calls is made of: read one register, a register
// pair or a block, write one register or a pair. Each builds its frame on the stack, runs
// one exchange on the line and judges the reply; the cause says how it went.

#include <cstddef>
#include <cstdint>
#include <span>

#include "line/Line.h"

namespace trovel::api {

using line::Cause;
using line::Line;
using line::ReplyBuffer;

// Reads `count` registers from `first`; on success `data` holds their 2 * count bytes,
// inside `buffer`.
Cause ReadRegisters(Line& line, std::uint8_t address, std::uint16_t first, std::uint8_t count, ReplyBuffer& buffer,
                    std::span<const std::uint8_t>& data);
Cause ReadRegister(Line& line, std::uint8_t address, std::uint16_t reg, std::uint16_t& value);
Cause ReadRegisterPair(Line& line, std::uint8_t address, std::uint16_t first, std::uint32_t& value);

// Writes with function 6 or 16; address 0 broadcasts. `otherAddress`: an address the
// controller may answer under as well (after it has been given that address).
Cause WriteRegister(Line& line, std::uint8_t address, std::uint16_t reg, std::uint16_t value,
                    std::uint8_t otherAddress = 0);
Cause WriteRegisterPair(Line& line, std::uint8_t address, std::uint16_t first, std::uint32_t value);

} // namespace trovel::api
