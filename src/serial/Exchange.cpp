#include "serial/Exchange.h"

#include <mutex>

namespace trovel::serial {

std::uint32_t SendFrame(ComPort& port, std::span<const std::uint8_t> frame) noexcept
{
    return port.WriteBytes(frame);
}

std::uint32_t ReceiveReply(ComPort& port, std::span<std::uint8_t, kReplyBufferSize> reply) noexcept
{
    return port.ReadBytes(reply);
}

std::int32_t TransactFrame(ComPort& port, std::span<const std::uint8_t> frame,
                           std::span<std::uint8_t, kReplyBufferSize> reply)
{
    const std::lock_guard<std::mutex> hold(port.ExchangeLock());
    port.ClearCounts();
    port.DiscardInput();
    // A short or failed write shows up as a missing reply; the caller judges only the reply.
    static_cast<void>(SendFrame(port, frame));
    static_cast<void>(ReceiveReply(port, reply));
    // Taken before the lock is left, so it always belongs to this exchange.
    return static_cast<std::int32_t>(port.ReceivedCount());
}

} // namespace trovel::serial
