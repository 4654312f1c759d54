#include "api/Controller.h"

#include "api/Library.h"
#include "modbus/Frame.h"

namespace trovel::api {

bool ExchangeAccepted(std::span<const std::uint8_t> request, std::size_t expected, ReplyBuffer& reply)
{
    reply.fill(0);
    const std::int32_t received = serial::TransactFrame(Port(), request, reply);
    return modbus::AcceptReply(reply, static_cast<std::size_t>(received), expected);
}

bool ReadRegisters(std::int32_t address, std::uint16_t first, std::uint8_t count, ReplyBuffer& reply)
{
    std::array<std::uint8_t, modbus::kReadRequestSize> request{};
    if (!modbus::BuildReadRequest(static_cast<std::uint32_t>(address), first, count, request))
        return false;
    return ExchangeAccepted(request, modbus::ExpectedReadReply(count), reply);
}

bool ReadRegister(std::int32_t address, std::uint16_t reg, std::uint16_t& value)
{
    ReplyBuffer reply;
    if (!ReadRegisters(address, reg, 1, reply))
        return false;
    value = modbus::AssembleRegister(reply[kReplyDataOffset], reply[kReplyDataOffset + 1]);
    return true;
}

bool ReadRegisterPair(std::int32_t address, std::uint16_t first, std::uint32_t& value)
{
    ReplyBuffer reply;
    if (!ReadRegisters(address, first, 2, reply))
        return false;
    value = modbus::AssemblePair(std::span(reply).subspan<kReplyDataOffset, 4>());
    return true;
}

bool WriteRegister(std::uint8_t address, std::uint16_t reg, std::uint16_t value)
{
    const auto request = modbus::BuildWriteSingle(address, reg, value);
    ReplyBuffer reply;
    return ExchangeAccepted(request, modbus::kExpectedWriteReply, reply);
}

bool WriteRegisterPair(std::uint8_t address, std::uint16_t first, std::uint32_t value)
{
    const auto request = modbus::BuildWriteMultiple(address, first, value);
    ReplyBuffer reply;
    return ExchangeAccepted(request, modbus::kExpectedWriteReply, reply);
}

} // namespace trovel::api
