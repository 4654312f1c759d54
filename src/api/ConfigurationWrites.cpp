// Configuration writes: one register each with function 6, after the member's own checks.

#include "TrovelSdk.h"
#include "api/Controller.h"
#include "api/Library.h"
#include "modbus/RegisterMap.h"

namespace trovel::api {
namespace {

enum class Value { ZeroOrOne, DeviceAddress };

// Shared by the settings that take an argument: the value is checked as a whole 32-bit integer.
int WriteSetting(std::int32_t address, std::uint16_t reg, Value rule, std::int32_t value) noexcept
{
    return Guarded([&] {
        if (!EntryChecksPass(address))
            return false;
        const bool valid = rule == Value::ZeroOrOne ? (value == 0 || value == 1) : modbus::IsDeviceAddress(value);
        if (!valid)
            return false;
        return WriteRegister(static_cast<std::uint8_t>(address), reg, static_cast<std::uint16_t>(value));
    });
}

// One-shot orders write 1 into their command register; only the defaults order may broadcast.
int WriteOrder(std::int32_t address, std::uint16_t reg, bool broadcastAllowed) noexcept
{
    return Guarded([&] {
        const bool addressOk = modbus::IsDeviceAddress(address) || (broadcastAllowed && address == modbus::kBroadcastAddress);
        if (!Port().IsOpen() || !addressOk)
            return false;
        return WriteRegister(static_cast<std::uint8_t>(address), reg, 1);
    });
}

} // namespace
} // namespace trovel::api

using trovel::api::Value;
using trovel::api::WriteOrder;
using trovel::api::WriteSetting;
namespace reg = trovel::reg;

extern "C" {
int TROVEL_CALL SetWorkMode(int address, int mode) { return WriteSetting(address, reg::WorkMode, Value::ZeroOrOne, mode); }
int TROVEL_CALL SetMotorVeer(int address, int direction) { return WriteSetting(address, reg::MotorVeer, Value::ZeroOrOne, direction); }
int TROVEL_CALL SetRemoteFunction(int address, int function) { return WriteSetting(address, reg::RemoteFunction, Value::ZeroOrOne, function); }
int TROVEL_CALL SetAddress(int address, int newAddress) { return WriteSetting(address, reg::DeviceAddress, Value::DeviceAddress, newAddress); }
int TROVEL_CALL ResetBeginPoint(int address) { return WriteOrder(address, reg::ResetBeginOrder, false); }
int TROVEL_CALL SetDefault(int address) { return WriteOrder(address, reg::DefaultsOrder, true); }
}
