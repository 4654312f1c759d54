#pragma once
// One request/reply exchange on the line, serialised by the port object's exchange lock.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "serial/ComPort.h"

namespace trovel::serial {

inline constexpr std::size_t kReplyBufferSize = 1024;
using ReplyBuffer = std::array<std::uint8_t, kReplyBufferSize>;

std::uint32_t SendFrame(ComPort& port, std::span<const std::uint8_t> frame) noexcept;
std::uint32_t ReceiveReply(ComPort& port, std::span<std::uint8_t, kReplyBufferSize> reply) noexcept;

// Writes the frame and reads what answers it within the read rule; returns how many reply
// bytes this exchange received (0 to 1024). Bytes already waiting in the receive queue are
// discarded first, so a late reply to an earlier request is never taken for this one.
std::int32_t TransactFrame(ComPort& port, std::span<const std::uint8_t> frame,
                           std::span<std::uint8_t, kReplyBufferSize> reply);

} // namespace trovel::serial
