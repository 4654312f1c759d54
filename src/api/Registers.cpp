// Registers by number: functions 3, 6 and 16 on any registers, for programs that forward
// other masters' requests (the gateway) through a line's exchange.

#include <array>

#include "TrovelSdk.h"
#include "api/Controller.h"
#include "api/Library.h"
#include "modbus/Frame.h"
#include "modbus/Reply.h"

using namespace trovel::api;
namespace modbus = trovel::modbus;

namespace {

inline constexpr int kLastRegister = 0xFFFF;

// The block lies within the register space and one frame can carry it.
bool IsBlock(int first, int count, int maxCount) noexcept
{
    return first >= 0 && count >= 1 && count <= maxCount && first + count - 1 <= kLastRegister;
}

// No controller answers a broadcast: once it went out (whatever came back), it is done.
Cause Sent(std::uint8_t device, Cause cause) noexcept
{
    return device == modbus::kBroadcastAddress && trovel::line::Repeatable(cause) ? Cause::Ok : cause;
}

} // namespace

extern "C" {

int TROVEL_CALL TrovelReadRegisters(TrovelLine* line, int address, int first, int count, unsigned short* values)
{
    return ControllerCall(line, address, {}, [&](Line& on, std::uint8_t device) {
        if (values == nullptr || !IsBlock(first, count, modbus::kMaxReadCount))
            return Cause::Argument;
        ReplyBuffer buffer;
        std::span<const std::uint8_t> data;
        const Cause cause = ReadRegisters(on, device, static_cast<std::uint16_t>(first),
                                          static_cast<std::uint8_t>(count), buffer, data);
        if (cause == Cause::Ok)
            for (int i = 0; i < count; ++i)
                values[i] = modbus::AssembleRegister(data[2 * i], data[2 * i + 1]);
        return cause;
    });
}

int TROVEL_CALL TrovelWriteRegister(TrovelLine* line, int address, int reg, int value)
{
    return ControllerCall(line, address, {.broadcast = true}, [&](Line& on, std::uint8_t device) {
        if (!IsBlock(reg, 1, 1) || value < 0 || value > 0xFFFF)
            return Cause::Argument;
        return Sent(device, WriteRegister(on, device, static_cast<std::uint16_t>(reg), static_cast<std::uint16_t>(value)));
    });
}

int TROVEL_CALL TrovelWriteRegisters(TrovelLine* line, int address, int first, int count, const unsigned short* values)
{
    return ControllerCall(line, address, {.broadcast = true}, [&](Line& on, std::uint8_t device) {
        if (values == nullptr || !IsBlock(first, count, modbus::kMaxWriteCount))
            return Cause::Argument;
        std::array<std::uint8_t, modbus::kMaxFrameSize> request{};
        const std::size_t length = modbus::BuildWriteRegisters(
            device, static_cast<std::uint16_t>(first), std::span(values, static_cast<std::size_t>(count)), request);
        const auto frame = std::span<const std::uint8_t>(request).first(length);
        ReplyBuffer buffer{};
        return Sent(device, on.TransactFrame(frame, modbus::ReplyRule(frame), buffer).cause);
    });
}
}
