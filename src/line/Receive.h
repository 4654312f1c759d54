#pragma once
// How long a read of the reply lasts. It ends when the buffer is full, when the device is
// gone, when the total time-out passes, or on silence: the gap after the last byte, or, in
// frame-complete mode, the inter-frame silence after a complete answer.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#include "device/Device.h"
#include "modbus/Reply.h"

namespace trovel::line {

inline constexpr std::size_t kReplyBufferSize = 1024;
using ReplyBuffer = std::array<std::uint8_t, kReplyBufferSize>;

struct ReceiveRule {
    std::chrono::nanoseconds total;
    std::chrono::nanoseconds gap;
    // Frame-complete mode: the rule to recognise the answer by, and how many bytes of local
    // echo come before it. Null: the read waits for the gap.
    const modbus::ReplyRule* answer = nullptr;
    std::size_t echo = 0;
    // The silence that must follow a complete answer (3.5 characters on a serial line).
    std::chrono::nanoseconds afterAnswer{};
};

struct Received {
    std::size_t count = 0;
    bool endedOnSilence = false; // not cut by the total time-out or a full buffer
    bool gone = false;
    util::MonoClock::time_point lastByteAt{};
};

Received ReceiveReply(device::Device& device, std::span<std::uint8_t, kReplyBufferSize> into,
                      const ReceiveRule& rule) noexcept;

} // namespace trovel::line
