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

int ReadStatus(std::int32_t address, std::uint16_t reg, Mapping map, int* out) noexcept
{
    return Guarded([&] {
        if (!EntryChecksPass(address) || out == nullptr)
            return false;
        std::uint16_t value = 0;
        if (!ReadRegister(address, reg, value))
            return false;
        *out = map(value);
        return true;
    });
}

} // namespace
} // namespace trovel::api

using trovel::api::ReadStatus;
namespace reg = trovel::reg;

extern "C" {
int TROVEL_CALL GetWorkMode(int address, int* mode) { return ReadStatus(address, reg::WorkMode, trovel::api::WorkModeValue, mode); }
int TROVEL_CALL GetMotorVeer(int address, int* direction) { return ReadStatus(address, reg::MotorVeer, trovel::api::NonZeroIsOne, direction); }
int TROVEL_CALL GetRemoteFunction(int address, int* function) { return ReadStatus(address, reg::RemoteFunction, trovel::api::NonZeroIsOne, function); }
int TROVEL_CALL GetRunState(int address, int* state) { return ReadStatus(address, reg::RunState, trovel::api::PassThrough, state); }
int TROVEL_CALL GetRemoteKeyState(int address, int* key) { return ReadStatus(address, reg::RemoteKeyState, trovel::api::RemoteKeyValue, key); }
}
