// Configuration writes: one register each with function 6, after the member's own checks.

#include "TrovelSdk.h"
#include "api/Controller.h"
#include "api/Library.h"
#include "modbus/RegisterMap.h"

namespace trovel::api {
namespace {

enum class Value { ZeroOrOne, DeviceAddress };

// Settings that take an argument; the value is checked as a whole 32-bit integer. A new
// device address is never repeated: once it took effect the controller answers under it,
// and it may answer this very request under it already.
int WriteSetting(TrovelLine* handle, std::int32_t address, std::uint16_t reg, Value rule, std::int32_t value) noexcept
{
    const bool newAddress = rule == Value::DeviceAddress;
    return ControllerCall(handle, address, {.repeatable = !newAddress}, [&](Line& line, std::uint8_t device) {
        const bool valid = newAddress ? modbus::IsDeviceAddress(value) : (value == 0 || value == 1);
        if (!valid)
            return Cause::Argument;
        const auto written = static_cast<std::uint16_t>(value);
        return WriteRegister(line, device, reg, written, newAddress ? static_cast<std::uint8_t>(value) : 0);
    });
}

// One-shot orders write 1 into their command register; only the defaults order may broadcast.
int WriteOrder(TrovelLine* handle, std::int32_t address, std::uint16_t reg, bool broadcastAllowed) noexcept
{
    return ControllerCall(handle, address, {.broadcast = broadcastAllowed},
                          [&](Line& line, std::uint8_t device) { return WriteRegister(line, device, reg, 1); });
}

} // namespace
} // namespace trovel::api

using namespace trovel::api;
namespace reg = trovel::reg;

extern "C" {
int TROVEL_CALL SetWorkMode(int address, int mode) { return WriteSetting(nullptr, address, reg::WorkMode, Value::ZeroOrOne, mode); }
int TROVEL_CALL SetMotorVeer(int address, int direction) { return WriteSetting(nullptr, address, reg::MotorVeer, Value::ZeroOrOne, direction); }
int TROVEL_CALL SetRemoteFunction(int address, int function) { return WriteSetting(nullptr, address, reg::RemoteFunction, Value::ZeroOrOne, function); }
int TROVEL_CALL SetAddress(int address, int newAddress) { return WriteSetting(nullptr, address, reg::DeviceAddress, Value::DeviceAddress, newAddress); }
int TROVEL_CALL ResetBeginPoint(int address) { return WriteOrder(nullptr, address, reg::ResetBeginOrder, false); }
int TROVEL_CALL SetDefault(int address) { return WriteOrder(nullptr, address, reg::DefaultsOrder, true); }

int TROVEL_CALL TrovelSetWorkMode(TrovelLine* line, int address, int mode) { return WriteSetting(line, address, reg::WorkMode, Value::ZeroOrOne, mode); }
int TROVEL_CALL TrovelSetMotorVeer(TrovelLine* line, int address, int direction) { return WriteSetting(line, address, reg::MotorVeer, Value::ZeroOrOne, direction); }
int TROVEL_CALL TrovelSetRemoteFunction(TrovelLine* line, int address, int function) { return WriteSetting(line, address, reg::RemoteFunction, Value::ZeroOrOne, function); }
int TROVEL_CALL TrovelSetAddress(TrovelLine* line, int address, int newAddress) { return WriteSetting(line, address, reg::DeviceAddress, Value::DeviceAddress, newAddress); }
int TROVEL_CALL TrovelResetBeginPoint(TrovelLine* line, int address) { return WriteOrder(line, address, reg::ResetBeginOrder, false); }
int TROVEL_CALL TrovelSetDefault(TrovelLine* line, int address) { return WriteOrder(line, address, reg::DefaultsOrder, true); }
}
