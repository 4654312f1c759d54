#pragma once
// The single-register writers of the motion command register and the switch output register.

#include <cstdint>

namespace trovel::api {

// Both repeat the entry checks, catch everything, and report false on any failure.
bool WriteMotionCommand(std::int32_t address, std::uint16_t value) noexcept;
bool WriteSwitchOutputs(std::int32_t address, std::uint16_t value) noexcept;

} // namespace trovel::api
