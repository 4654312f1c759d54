// Status and mode reads: one register each, mapped to a small integer.

#include "TrovelSdk.h"
#include "api/Controller.h"
#include "api/Library.h"
#include "modbus/RegisterMap.h"

namespace trovel::api {
namespace {

using Mapping = std::int32_t (*)(std::uint16_t value);

// Two-valued settings fold anything unexpected into one answer.
std::int32_t WorkModeValue(std::uint16_t v) { return v <= 1 ? v : -1; }
std::int32_t NonZeroIsOne(std::uint16_t v) { return v == 0 ? 0 : 1; }
std::int32_t PassThrough(std::uint16_t v) { return v; }
std::int32_t RemoteKeyValue(std::uint16_t v) { return v >= 1 && v <= 4 ? v : 0; }

int ReadStatus(TrovelLine* handle, std::int32_t address, std::uint16_t reg, Mapping map, int* out) noexcept
{
    return ControllerCall(handle, address, {}, [&](Line& line, std::uint8_t device) {
        if (out == nullptr)
            return Cause::Argument;
        std::uint16_t value = 0;
        const Cause cause = ReadRegister(line, device, reg, value);
        if (cause == Cause::Ok)
            *out = map(value);
        return cause;
    });
}

} // namespace
} // namespace trovel::api

using namespace trovel::api;
namespace reg = trovel::reg;

extern "C" {
int TROVEL_CALL GetWorkMode(int address, int* mode) { return ReadStatus(nullptr, address, reg::WorkMode, WorkModeValue, mode); }
int TROVEL_CALL GetMotorVeer(int address, int* direction) { return ReadStatus(nullptr, address, reg::MotorVeer, NonZeroIsOne, direction); }
int TROVEL_CALL GetRemoteFunction(int address, int* function) { return ReadStatus(nullptr, address, reg::RemoteFunction, NonZeroIsOne, function); }
int TROVEL_CALL GetRunState(int address, int* state) { return ReadStatus(nullptr, address, reg::RunState, PassThrough, state); }
int TROVEL_CALL GetRemoteKeyState(int address, int* key) { return ReadStatus(nullptr, address, reg::RemoteKeyState, RemoteKeyValue, key); }

int TROVEL_CALL TrovelGetWorkMode(TrovelLine* line, int address, int* mode) { return ReadStatus(line, address, reg::WorkMode, WorkModeValue, mode); }
int TROVEL_CALL TrovelGetMotorVeer(TrovelLine* line, int address, int* direction) { return ReadStatus(line, address, reg::MotorVeer, NonZeroIsOne, direction); }
int TROVEL_CALL TrovelGetRemoteFunction(TrovelLine* line, int address, int* function) { return ReadStatus(line, address, reg::RemoteFunction, NonZeroIsOne, function); }
int TROVEL_CALL TrovelGetRunState(TrovelLine* line, int address, int* state) { return ReadStatus(line, address, reg::RunState, PassThrough, state); }
int TROVEL_CALL TrovelGetRemoteKeyState(TrovelLine* line, int address, int* key) { return ReadStatus(line, address, reg::RemoteKeyState, RemoteKeyValue, key); }
}
