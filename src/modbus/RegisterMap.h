#pragma once
// Holding registers of the sliding-screen controller, as the library and the simulator use them.
// 32-bit values occupy a register pair: the named register holds bits 15-0, the next one bits 31-16.

#include <cstdint>

namespace trovel::reg {

inline constexpr std::uint16_t MotionCommand = 10;   // move left/right/auto/stop, one bit each
inline constexpr std::uint16_t SwitchOutputs = 12;   // bits 0-5: the six switch outputs
inline constexpr std::uint16_t DefaultsOrder = 14;   // write 1: restore factory parameters
inline constexpr std::uint16_t ResetBeginOrder = 20; // write 1: reset the begin point

// Float parameter block, 100-119: ten floats, two registers each.
inline constexpr std::uint16_t MotorSpeed = 100;
inline constexpr std::uint16_t MotorAcc = 102;
inline constexpr std::uint16_t PulseCount = 104;
inline constexpr std::uint16_t BeginPoint = 106;
inline constexpr std::uint16_t EndPoint = 108;
inline constexpr std::uint16_t AutoBeginPoint = 110;
inline constexpr std::uint16_t AutoEndPoint = 112;
inline constexpr std::uint16_t Resolution = 114;
inline constexpr std::uint16_t Diameter = 116;
inline constexpr std::uint16_t DelayTime = 118;
inline constexpr std::uint16_t ParameterBlockFirst = 100;
inline constexpr std::uint16_t ParameterBlockLast = 119;

inline constexpr std::uint16_t WorkMode = 200;
inline constexpr std::uint16_t MotorVeer = 202;       // motor direction
inline constexpr std::uint16_t RemoteFunction = 206;
inline constexpr std::uint16_t DeviceAddress = 220;

inline constexpr std::uint16_t FactoryDate = 300;     // pair, integer YYYYMMDD

inline constexpr std::uint16_t InputStatus = 400;     // bits 0-7: inputs
inline constexpr std::uint16_t SwitchStatus = 402;    // bits 6-11 mirror switch outputs 0-5
inline constexpr std::uint16_t RunState = 404;
inline constexpr std::uint16_t RemoteKeyState = 406;

inline constexpr std::uint16_t CurrentPoint = 500;      // pair, float, read only
inline constexpr std::uint16_t FixedCurrentPoint = 510; // pair, float, write only
inline constexpr std::uint16_t BiosDate = 608;          // pair, integer YYYYMMDD
inline constexpr std::uint16_t SerialNumber = 700;      // six registers, 12 bytes
inline constexpr std::uint8_t SerialNumberRegisters = 6;

// Values of the motion command register: exactly one bit set.
namespace motion {
inline constexpr std::uint16_t Left = 0x0008;
inline constexpr std::uint16_t Right = 0x0010;
inline constexpr std::uint16_t Auto = 0x0020;
inline constexpr std::uint16_t Stop = 0x0040;
} // namespace motion

// Bits of the input status register.
namespace input {
inline constexpr std::uint16_t LeftLimit = 1u << 0;
inline constexpr std::uint16_t RightLimit = 1u << 1;
inline constexpr std::uint16_t LeftExtremity = 1u << 2;
inline constexpr std::uint16_t RightExtremity = 1u << 3;
} // namespace input

inline constexpr unsigned SwitchCount = 6;
inline constexpr std::uint16_t AllSwitchesOn = 0x003F;
inline constexpr unsigned SwitchStatusShift = 6; // status bit 6+i belongs to output bit i

} // namespace trovel::reg
