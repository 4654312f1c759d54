// Motion commands: one bit written to the motion command register; SetInit also switches
// every output off, but only after the stop was acknowledged.

#include "api/MotionCommands.h"

#include "TrovelSdk.h"
#include "api/Controller.h"
#include "api/Library.h"
#include "modbus/RegisterMap.h"

namespace trovel::api {

Cause WriteMotionCommand(Line& line, std::uint8_t address, std::uint16_t value)
{
    return WriteRegister(line, address, reg::MotionCommand, value);
}

Cause WriteSwitchOutputs(Line& line, std::uint8_t address, std::uint16_t value)
{
    return WriteRegister(line, address, reg::SwitchOutputs, value);
}

namespace {

int Move(TrovelLine* handle, std::int32_t address, std::uint16_t command) noexcept
{
    return ControllerCall(handle, address, {},
                          [&](Line& line, std::uint8_t device) { return WriteMotionCommand(line, device, command); });
}

int Init(TrovelLine* handle, std::int32_t address) noexcept
{
    return ControllerCall(handle, address, {}, [&](Line& line, std::uint8_t device) {
        const Cause stopped = WriteMotionCommand(line, device, reg::motion::Stop);
        return stopped == Cause::Ok ? WriteSwitchOutputs(line, device, 0x0000) : stopped;
    });
}

} // namespace
} // namespace trovel::api

using namespace trovel::api;
namespace motion = trovel::reg::motion;

extern "C" {
int TROVEL_CALL SetMoveLeft(int address) { return Move(nullptr, address, motion::Left); }
int TROVEL_CALL SetMoveRight(int address) { return Move(nullptr, address, motion::Right); }
int TROVEL_CALL SetMoveAuto(int address) { return Move(nullptr, address, motion::Auto); }
int TROVEL_CALL SetMoveStop(int address) { return Move(nullptr, address, motion::Stop); }
int TROVEL_CALL SetInit(int address) { return Init(nullptr, address); }

int TROVEL_CALL TrovelSetMoveLeft(TrovelLine* line, int address) { return Move(line, address, motion::Left); }
int TROVEL_CALL TrovelSetMoveRight(TrovelLine* line, int address) { return Move(line, address, motion::Right); }
int TROVEL_CALL TrovelSetMoveAuto(TrovelLine* line, int address) { return Move(line, address, motion::Auto); }
int TROVEL_CALL TrovelSetMoveStop(TrovelLine* line, int address) { return Move(line, address, motion::Stop); }
int TROVEL_CALL TrovelSetInit(TrovelLine* line, int address) { return Init(line, address); }
}
