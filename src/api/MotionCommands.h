#pragma once
// The single-register writers of the motion command register and the switch output register.

#include <cstdint>

#include "line/Line.h"

namespace trovel::api {

line::Cause WriteMotionCommand(line::Line& line, std::uint8_t address, std::uint16_t value);
line::Cause WriteSwitchOutputs(line::Line& line, std::uint8_t address, std::uint16_t value);

} // namespace trovel::api
