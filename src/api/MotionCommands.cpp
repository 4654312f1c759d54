// Motion commands: one bit written to the motion command register; SetInit also switches
// every output off, but only after the stop was acknowledged.

#include "api/MotionCommands.h"

#include "TrovelSdk.h"
#include "api/Controller.h"
#include "api/Library.h"
#include "modbus/RegisterMap.h"

namespace trovel::api {
namespace {

bool WriteCommandRegister(std::int32_t address, std::uint16_t reg, std::uint16_t value) noexcept
{
    return Guarded([&] {
        return EntryChecksPass(address) && WriteRegister(static_cast<std::uint8_t>(address), reg, value);
    }) == 1;
}

int Move(std::int32_t address, std::uint16_t command) noexcept
{
    return EntryChecksPass(address) && WriteMotionCommand(address, command) ? 1 : 0;
}

} // namespace

bool WriteMotionCommand(std::int32_t address, std::uint16_t value) noexcept
{
    return WriteCommandRegister(address, reg::MotionCommand, value);
}

bool WriteSwitchOutputs(std::int32_t address, std::uint16_t value) noexcept
{
    return WriteCommandRegister(address, reg::SwitchOutputs, value);
}

} // namespace trovel::api

using trovel::api::Move;
namespace motion = trovel::reg::motion;

extern "C" {
int TROVEL_CALL SetMoveLeft(int address) { return Move(address, motion::Left); }
int TROVEL_CALL SetMoveRight(int address) { return Move(address, motion::Right); }
int TROVEL_CALL SetMoveAuto(int address) { return Move(address, motion::Auto); }
int TROVEL_CALL SetMoveStop(int address) { return Move(address, motion::Stop); }

int TROVEL_CALL SetInit(int address)
{
    using namespace trovel::api;
    if (!EntryChecksPass(address) || !WriteMotionCommand(address, motion::Stop))
        return 0;
    return WriteSwitchOutputs(address, 0x0000) ? 1 : 0;
}
}
