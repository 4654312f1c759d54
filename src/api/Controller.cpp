#include "api/Controller.h"

#include "modbus/Frame.h"
#include "modbus/Reply.h"

namespace trovel::api {

namespace {

// Offset of the first data byte in a read reply.
inline constexpr std::size_t kReplyDataOffset = 3;

} // namespace

Cause ReadRegisters(Line& line, std::uint8_t address, std::uint16_t first, std::uint8_t count, ReplyBuffer& buffer,
                    std::span<const std::uint8_t>& data)
{
    std::array<std::uint8_t, modbus::kReadRequestSize> request{};
    if (!modbus::BuildReadRequest(address, first, count, request))
        return Cause::Argument;
    buffer.fill(0);
    const auto outcome = line.TransactFrame(request, modbus::ReplyRule(request), buffer);
    if (outcome.cause == Cause::Ok)
        data = outcome.reply.subspan(kReplyDataOffset, 2u * count);
    return outcome.cause;
}

Cause ReadRegister(Line& line, std::uint8_t address, std::uint16_t reg, std::uint16_t& value)
{
    ReplyBuffer buffer;
    std::span<const std::uint8_t> data;
    const Cause cause = ReadRegisters(line, address, reg, 1, buffer, data);
    if (cause == Cause::Ok)
        value = modbus::AssembleRegister(data[0], data[1]);
    return cause;
}

Cause ReadRegisterPair(Line& line, std::uint8_t address, std::uint16_t first, std::uint32_t& value)
{
    ReplyBuffer buffer;
    std::span<const std::uint8_t> data;
    const Cause cause = ReadRegisters(line, address, first, 2, buffer, data);
    if (cause == Cause::Ok)
        value = modbus::AssemblePair(data.first<4>());
    return cause;
}

Cause WriteRegister(Line& line, std::uint8_t address, std::uint16_t reg, std::uint16_t value, std::uint8_t otherAddress)
{
    const auto request = modbus::BuildWriteSingle(address, reg, value);
    ReplyBuffer buffer{};
    return line.TransactFrame(request, modbus::ReplyRule(request, otherAddress), buffer).cause;
}

Cause WriteRegisterPair(Line& line, std::uint8_t address, std::uint16_t first, std::uint32_t value)
{
    const auto request = modbus::BuildWriteMultiple(address, first, value);
    ReplyBuffer buffer{};
    return line.TransactFrame(request, modbus::ReplyRule(request), buffer).cause;
}

} // namespace trovel::api
