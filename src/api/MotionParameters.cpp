// Motion parameters: each a float in a register pair; the exports differ only in the pair
// and, for writes, in whether a negative value is refused.

#include <bit>

#include "TrovelSdk.h"
#include "api/Controller.h"
#include "api/Library.h"
#include "modbus/RegisterMap.h"

namespace trovel::api {
namespace {

enum class Sign { Any, NotNegative };

int ReadFloatParameter(std::int32_t address, std::uint16_t firstRegister, float* out) noexcept
{
    return Guarded([&] {
        if (!EntryChecksPass(address) || out == nullptr)
            return false;
        std::uint32_t bits = 0;
        if (!ReadRegisterPair(address, firstRegister, bits))
            return false;
        *out = std::bit_cast<float>(bits); // the 32 bits as they came, NaN payloads included
        return true;
    });
}

int WriteFloatParameter(std::int32_t address, std::uint16_t firstRegister, Sign sign, float value) noexcept
{
    return Guarded([&] {
        if (!EntryChecksPass(address))
            return false;
        // An ordered comparison: -0.0 and NaN are not below zero and go through.
        if (sign == Sign::NotNegative && value < 0.0f)
            return false;
        return WriteRegisterPair(static_cast<std::uint8_t>(address), firstRegister, std::bit_cast<std::uint32_t>(value));
    });
}

} // namespace
} // namespace trovel::api

using trovel::api::ReadFloatParameter;
using trovel::api::Sign;
using trovel::api::WriteFloatParameter;
namespace reg = trovel::reg;

extern "C" {
int TROVEL_CALL GetBeginPoint(int address, float* value) { return ReadFloatParameter(address, reg::BeginPoint, value); }
int TROVEL_CALL GetEndPoint(int address, float* value) { return ReadFloatParameter(address, reg::EndPoint, value); }
int TROVEL_CALL GetAutoBeginPoint(int address, float* value) { return ReadFloatParameter(address, reg::AutoBeginPoint, value); }
int TROVEL_CALL GetAutoEndPoint(int address, float* value) { return ReadFloatParameter(address, reg::AutoEndPoint, value); }
int TROVEL_CALL GetResolution(int address, float* value) { return ReadFloatParameter(address, reg::Resolution, value); }
int TROVEL_CALL GetDiameter(int address, float* value) { return ReadFloatParameter(address, reg::Diameter, value); }
int TROVEL_CALL GetMotorSpeed(int address, float* value) { return ReadFloatParameter(address, reg::MotorSpeed, value); }
int TROVEL_CALL GetMotorAcc(int address, float* value) { return ReadFloatParameter(address, reg::MotorAcc, value); }
int TROVEL_CALL GetPulseCount(int address, float* value) { return ReadFloatParameter(address, reg::PulseCount, value); }
int TROVEL_CALL GetDelayTime(int address, float* value) { return ReadFloatParameter(address, reg::DelayTime, value); }
int TROVEL_CALL GetCurrentPoint(int address, float* value) { return ReadFloatParameter(address, reg::CurrentPoint, value); }

int TROVEL_CALL SetMotorSpeed(int address, float value) { return WriteFloatParameter(address, reg::MotorSpeed, Sign::NotNegative, value); }
int TROVEL_CALL SetMotorAcc(int address, float value) { return WriteFloatParameter(address, reg::MotorAcc, Sign::NotNegative, value); }
int TROVEL_CALL SetPulseCount(int address, float value) { return WriteFloatParameter(address, reg::PulseCount, Sign::NotNegative, value); }
int TROVEL_CALL SetBeginPoint(int address, float value) { return WriteFloatParameter(address, reg::BeginPoint, Sign::Any, value); }
int TROVEL_CALL SetEndPoint(int address, float value) { return WriteFloatParameter(address, reg::EndPoint, Sign::Any, value); }
int TROVEL_CALL SetAutoBeginPoint(int address, float value) { return WriteFloatParameter(address, reg::AutoBeginPoint, Sign::Any, value); }
int TROVEL_CALL SetAutoEndPoint(int address, float value) { return WriteFloatParameter(address, reg::AutoEndPoint, Sign::Any, value); }
int TROVEL_CALL SetResolution(int address, float value) { return WriteFloatParameter(address, reg::Resolution, Sign::NotNegative, value); }
int TROVEL_CALL SetDiameter(int address, float value) { return WriteFloatParameter(address, reg::Diameter, Sign::NotNegative, value); }
int TROVEL_CALL SetDelayTime(int address, float value) { return WriteFloatParameter(address, reg::DelayTime, Sign::NotNegative, value); }
int TROVEL_CALL FixedCurrentPoint(int address, float value) { return WriteFloatParameter(address, reg::FixedCurrentPoint, Sign::Any, value); }
}
