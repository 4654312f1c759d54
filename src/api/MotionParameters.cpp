// Motion parameters: each a float in a register pair; the exports differ only in the pair
// and, for writes, in whether a negative value is refused. Floats travel as their 32-bit
// patterns and never pass through floating-point registers: on 32-bit x86 a load into the
// x87 stack would quieten a signalling NaN.

#include <bit>
#include <cstring>

#include "TrovelSdk.h"
#include "api/Controller.h"
#include "api/Library.h"
#include "modbus/RegisterMap.h"

namespace trovel::api {
namespace {

enum class Sign { Any, NotNegative };

std::uint32_t Bits(float value) noexcept { return std::bit_cast<std::uint32_t>(value); }

// What `value < 0.0f` says, on the bits: true for negative numbers and -infinity, false for
// -0.0 and every NaN.
constexpr bool BelowZero(std::uint32_t bits) noexcept
{
    constexpr std::uint32_t kSign = 0x8000'0000u;
    constexpr std::uint32_t kExponent = 0x7F80'0000u;
    constexpr std::uint32_t kMantissa = 0x007F'FFFFu;
    const bool nan = (bits & kExponent) == kExponent && (bits & kMantissa) != 0;
    return (bits & kSign) != 0 && (bits & ~kSign) != 0 && !nan;
}

int ReadFloatParameter(TrovelLine* handle, std::int32_t address, std::uint16_t firstRegister, float* out) noexcept
{
    return ControllerCall(handle, address, {}, [&](Line& line, std::uint8_t device) {
        if (out == nullptr)
            return Cause::Argument;
        std::uint32_t bits = 0;
        const Cause cause = ReadRegisterPair(line, device, firstRegister, bits);
        if (cause == Cause::Ok)
            std::memcpy(out, &bits, sizeof bits); // the 32 bits as they came, NaN payloads included
        return cause;
    });
}

int WriteFloatParameter(TrovelLine* handle, std::int32_t address, std::uint16_t firstRegister, Sign sign,
                        std::uint32_t bits) noexcept
{
    return ControllerCall(handle, address, {}, [&](Line& line, std::uint8_t device) {
        if (sign == Sign::NotNegative && BelowZero(bits))
            return Cause::Argument;
        return WriteRegisterPair(line, device, firstRegister, bits);
    });
}

} // namespace
} // namespace trovel::api

using namespace trovel::api;
namespace reg = trovel::reg;

extern "C" {
int TROVEL_CALL GetBeginPoint(int address, float* value) { return ReadFloatParameter(nullptr, address, reg::BeginPoint, value); }
int TROVEL_CALL GetEndPoint(int address, float* value) { return ReadFloatParameter(nullptr, address, reg::EndPoint, value); }
int TROVEL_CALL GetAutoBeginPoint(int address, float* value) { return ReadFloatParameter(nullptr, address, reg::AutoBeginPoint, value); }
int TROVEL_CALL GetAutoEndPoint(int address, float* value) { return ReadFloatParameter(nullptr, address, reg::AutoEndPoint, value); }
int TROVEL_CALL GetResolution(int address, float* value) { return ReadFloatParameter(nullptr, address, reg::Resolution, value); }
int TROVEL_CALL GetDiameter(int address, float* value) { return ReadFloatParameter(nullptr, address, reg::Diameter, value); }
int TROVEL_CALL GetMotorSpeed(int address, float* value) { return ReadFloatParameter(nullptr, address, reg::MotorSpeed, value); }
int TROVEL_CALL GetMotorAcc(int address, float* value) { return ReadFloatParameter(nullptr, address, reg::MotorAcc, value); }
int TROVEL_CALL GetPulseCount(int address, float* value) { return ReadFloatParameter(nullptr, address, reg::PulseCount, value); }
int TROVEL_CALL GetDelayTime(int address, float* value) { return ReadFloatParameter(nullptr, address, reg::DelayTime, value); }
int TROVEL_CALL GetCurrentPoint(int address, float* value) { return ReadFloatParameter(nullptr, address, reg::CurrentPoint, value); }

int TROVEL_CALL TrovelGetBeginPoint(TrovelLine* line, int address, float* value) { return ReadFloatParameter(line, address, reg::BeginPoint, value); }
int TROVEL_CALL TrovelGetEndPoint(TrovelLine* line, int address, float* value) { return ReadFloatParameter(line, address, reg::EndPoint, value); }
int TROVEL_CALL TrovelGetAutoBeginPoint(TrovelLine* line, int address, float* value) { return ReadFloatParameter(line, address, reg::AutoBeginPoint, value); }
int TROVEL_CALL TrovelGetAutoEndPoint(TrovelLine* line, int address, float* value) { return ReadFloatParameter(line, address, reg::AutoEndPoint, value); }
int TROVEL_CALL TrovelGetResolution(TrovelLine* line, int address, float* value) { return ReadFloatParameter(line, address, reg::Resolution, value); }
int TROVEL_CALL TrovelGetDiameter(TrovelLine* line, int address, float* value) { return ReadFloatParameter(line, address, reg::Diameter, value); }
int TROVEL_CALL TrovelGetMotorSpeed(TrovelLine* line, int address, float* value) { return ReadFloatParameter(line, address, reg::MotorSpeed, value); }
int TROVEL_CALL TrovelGetMotorAcc(TrovelLine* line, int address, float* value) { return ReadFloatParameter(line, address, reg::MotorAcc, value); }
int TROVEL_CALL TrovelGetPulseCount(TrovelLine* line, int address, float* value) { return ReadFloatParameter(line, address, reg::PulseCount, value); }
int TROVEL_CALL TrovelGetDelayTime(TrovelLine* line, int address, float* value) { return ReadFloatParameter(line, address, reg::DelayTime, value); }
int TROVEL_CALL TrovelGetCurrentPoint(TrovelLine* line, int address, float* value) { return ReadFloatParameter(line, address, reg::CurrentPoint, value); }

int TROVEL_CALL SetMotorSpeed(int address, float value) { return WriteFloatParameter(nullptr, address, reg::MotorSpeed, Sign::NotNegative, Bits(value)); }
int TROVEL_CALL SetMotorAcc(int address, float value) { return WriteFloatParameter(nullptr, address, reg::MotorAcc, Sign::NotNegative, Bits(value)); }
int TROVEL_CALL SetPulseCount(int address, float value) { return WriteFloatParameter(nullptr, address, reg::PulseCount, Sign::NotNegative, Bits(value)); }
int TROVEL_CALL SetBeginPoint(int address, float value) { return WriteFloatParameter(nullptr, address, reg::BeginPoint, Sign::Any, Bits(value)); }
int TROVEL_CALL SetEndPoint(int address, float value) { return WriteFloatParameter(nullptr, address, reg::EndPoint, Sign::Any, Bits(value)); }
int TROVEL_CALL SetAutoBeginPoint(int address, float value) { return WriteFloatParameter(nullptr, address, reg::AutoBeginPoint, Sign::Any, Bits(value)); }
int TROVEL_CALL SetAutoEndPoint(int address, float value) { return WriteFloatParameter(nullptr, address, reg::AutoEndPoint, Sign::Any, Bits(value)); }
int TROVEL_CALL SetResolution(int address, float value) { return WriteFloatParameter(nullptr, address, reg::Resolution, Sign::NotNegative, Bits(value)); }
int TROVEL_CALL SetDiameter(int address, float value) { return WriteFloatParameter(nullptr, address, reg::Diameter, Sign::NotNegative, Bits(value)); }
int TROVEL_CALL SetDelayTime(int address, float value) { return WriteFloatParameter(nullptr, address, reg::DelayTime, Sign::NotNegative, Bits(value)); }
int TROVEL_CALL FixedCurrentPoint(int address, float value) { return WriteFloatParameter(nullptr, address, reg::FixedCurrentPoint, Sign::Any, Bits(value)); }

int TROVEL_CALL TrovelSetMotorSpeed(TrovelLine* line, int address, float value) { return WriteFloatParameter(line, address, reg::MotorSpeed, Sign::NotNegative, Bits(value)); }
int TROVEL_CALL TrovelSetMotorAcc(TrovelLine* line, int address, float value) { return WriteFloatParameter(line, address, reg::MotorAcc, Sign::NotNegative, Bits(value)); }
int TROVEL_CALL TrovelSetPulseCount(TrovelLine* line, int address, float value) { return WriteFloatParameter(line, address, reg::PulseCount, Sign::NotNegative, Bits(value)); }
int TROVEL_CALL TrovelSetBeginPoint(TrovelLine* line, int address, float value) { return WriteFloatParameter(line, address, reg::BeginPoint, Sign::Any, Bits(value)); }
int TROVEL_CALL TrovelSetEndPoint(TrovelLine* line, int address, float value) { return WriteFloatParameter(line, address, reg::EndPoint, Sign::Any, Bits(value)); }
int TROVEL_CALL TrovelSetAutoBeginPoint(TrovelLine* line, int address, float value) { return WriteFloatParameter(line, address, reg::AutoBeginPoint, Sign::Any, Bits(value)); }
int TROVEL_CALL TrovelSetAutoEndPoint(TrovelLine* line, int address, float value) { return WriteFloatParameter(line, address, reg::AutoEndPoint, Sign::Any, Bits(value)); }
int TROVEL_CALL TrovelSetResolution(TrovelLine* line, int address, float value) { return WriteFloatParameter(line, address, reg::Resolution, Sign::NotNegative, Bits(value)); }
int TROVEL_CALL TrovelSetDiameter(TrovelLine* line, int address, float value) { return WriteFloatParameter(line, address, reg::Diameter, Sign::NotNegative, Bits(value)); }
int TROVEL_CALL TrovelSetDelayTime(TrovelLine* line, int address, float value) { return WriteFloatParameter(line, address, reg::DelayTime, Sign::NotNegative, Bits(value)); }
int TROVEL_CALL TrovelFixedCurrentPoint(TrovelLine* line, int address, float value) { return WriteFloatParameter(line, address, reg::FixedCurrentPoint, Sign::Any, Bits(value)); }
}
