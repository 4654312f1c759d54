// Switch outputs and input states. Outputs travel as a six-character '0'/'1' string, least
// significant first (character i is output bit i); inputs as an eight-character string,
// most significant first.

#include <algorithm>
#include <array>
#include <bit>

#include "TrovelSdk.h"
#include "api/Controller.h"
#include "api/Library.h"
#include "api/MotionCommands.h"
#include "modbus/RegisterMap.h"
#include "util/BitString.h"

namespace trovel::api {
namespace {

inline constexpr std::size_t kSwitchStringSize = reg::SwitchCount + 1; // six characters and NUL
inline constexpr std::size_t kInputBits = 8;
inline constexpr std::size_t kInputStringSize = kInputBits + 1;

using SwitchString = std::array<char, kSwitchStringSize>;
using InputString = std::array<char, kInputStringSize>;

Cause ReadSwitchString(Line& line, std::uint8_t address, SwitchString& text)
{
    std::uint16_t value = 0;
    const Cause cause = ReadRegister(line, address, reg::SwitchStatus, value);
    if (cause != Cause::Ok)
        return cause;
    for (unsigned i = 0; i < reg::SwitchCount; ++i)
        text[i] = (value >> (reg::SwitchStatusShift + i)) & 1u ? '1' : '0';
    text[reg::SwitchCount] = '\0';
    return Cause::Ok;
}

// Byte 0 holds the low byte of the input status register, byte 1 the high byte.
Cause ReadInputRegister(Line& line, std::uint8_t address, std::array<std::uint8_t, 2>& bytes)
{
    std::uint16_t value = 0;
    const Cause cause = ReadRegister(line, address, reg::InputStatus, value);
    if (cause == Cause::Ok)
        bytes = {static_cast<std::uint8_t>(value & 0xFFu), static_cast<std::uint8_t>(value >> 8)};
    return cause;
}

InputString RenderInputs(const std::array<std::uint8_t, 2>& bytes) noexcept
{
    InputString text{};
    for (std::size_t j = 0; j < kInputBits; ++j)
        text[j] = (bytes[0] >> (kInputBits - 1 - j)) & 1u ? '1' : '0';
    return text;
}

int ReadInputBit(TrovelLine* handle, std::int32_t address, std::uint16_t bit, int* out) noexcept
{
    return ControllerCall(handle, address, {}, [&](Line& line, std::uint8_t device) {
        if (out == nullptr)
            return Cause::Argument;
        std::array<std::uint8_t, 2> bytes{};
        const Cause cause = ReadInputRegister(line, device, bytes);
        if (cause != Cause::Ok)
            return cause;
        // Position in the input string of bit b is 7 - b.
        const std::size_t position = kInputBits - 1 - static_cast<std::size_t>(std::countr_zero(bit));
        *out = RenderInputs(bytes)[position] == '1' ? 1 : 0;
        return Cause::Ok;
    });
}

int SwitchAll(TrovelLine* handle, std::int32_t address, std::uint16_t value) noexcept
{
    return ControllerCall(handle, address, {},
                          [&](Line& line, std::uint8_t device) { return WriteSwitchOutputs(line, device, value); });
}

// Reads the outputs, changes one, writes them back; a repeat runs both steps again, so the
// write always carries what was just read.
int SwitchOne(TrovelLine* handle, std::int32_t address, std::int32_t index, std::int32_t state) noexcept
{
    return ControllerCall(handle, address, {}, [&](Line& line, std::uint8_t device) {
        if (index < 1 || index > static_cast<std::int32_t>(reg::SwitchCount))
            return Cause::Argument;
        SwitchString text{};
        const Cause cause = ReadSwitchString(line, device, text);
        if (cause != Cause::Ok)
            return cause;
        // Output i is character i-1; the other outputs keep what was read.
        text[static_cast<std::size_t>(index - 1)] = state != 0 ? '1' : '0';
        return WriteSwitchOutputs(line, device, static_cast<std::uint16_t>(util::BitStringToInt(text.data())));
    });
}

int ReadSwitches(TrovelLine* handle, std::int32_t address, char** text) noexcept
{
    return ControllerCall(handle, address, {}, [&](Line& line, std::uint8_t device) {
        char* out = HostBuffer(text);
        if (out == nullptr)
            return Cause::Argument;
        SwitchString read{};
        const Cause cause = ReadSwitchString(line, device, read);
        if (cause == Cause::Ok)
            std::copy(read.begin(), read.end(), out);
        return cause;
    });
}

int ReadInputs(TrovelLine* handle, std::int32_t address, char** text) noexcept
{
    return ControllerCall(handle, address, {}, [&](Line& line, std::uint8_t device) {
        char* out = HostBuffer(text);
        if (out == nullptr)
            return Cause::Argument;
        std::array<std::uint8_t, 2> bytes{};
        const Cause cause = ReadInputRegister(line, device, bytes);
        if (cause == Cause::Ok) {
            const auto rendered = RenderInputs(bytes);
            std::copy(rendered.begin(), rendered.end(), out);
        }
        return cause;
    });
}

} // namespace
} // namespace trovel::api

using namespace trovel::api;
namespace reg = trovel::reg;

extern "C" {
int TROVEL_CALL SetSwichAllOff(int address) { return SwitchAll(nullptr, address, 0x0000); }
int TROVEL_CALL SetSwichAllOn(int address) { return SwitchAll(nullptr, address, reg::AllSwitchesOn); }
int TROVEL_CALL SetSwichState(int address, int index, int state) { return SwitchOne(nullptr, address, index, state); }
int TROVEL_CALL GetSwichState(int address, char** text) { return ReadSwitches(nullptr, address, text); }
int TROVEL_CALL GetIoInputState(int address, char** text) { return ReadInputs(nullptr, address, text); }
int TROVEL_CALL GetRightExtremity(int address, int* state) { return ReadInputBit(nullptr, address, reg::input::RightExtremity, state); }
int TROVEL_CALL GetLeftExtremity(int address, int* state) { return ReadInputBit(nullptr, address, reg::input::LeftExtremity, state); }
int TROVEL_CALL GetRightLimit(int address, int* state) { return ReadInputBit(nullptr, address, reg::input::RightLimit, state); }
int TROVEL_CALL GetLeftLimit(int address, int* state) { return ReadInputBit(nullptr, address, reg::input::LeftLimit, state); }

int TROVEL_CALL TrovelSetSwichAllOff(TrovelLine* line, int address) { return SwitchAll(line, address, 0x0000); }
int TROVEL_CALL TrovelSetSwichAllOn(TrovelLine* line, int address) { return SwitchAll(line, address, reg::AllSwitchesOn); }
int TROVEL_CALL TrovelSetSwichState(TrovelLine* line, int address, int index, int state) { return SwitchOne(line, address, index, state); }
int TROVEL_CALL TrovelGetSwichState(TrovelLine* line, int address, char** text) { return ReadSwitches(line, address, text); }
int TROVEL_CALL TrovelGetIoInputState(TrovelLine* line, int address, char** text) { return ReadInputs(line, address, text); }
int TROVEL_CALL TrovelGetRightExtremity(TrovelLine* line, int address, int* state) { return ReadInputBit(line, address, reg::input::RightExtremity, state); }
int TROVEL_CALL TrovelGetLeftExtremity(TrovelLine* line, int address, int* state) { return ReadInputBit(line, address, reg::input::LeftExtremity, state); }
int TROVEL_CALL TrovelGetRightLimit(TrovelLine* line, int address, int* state) { return ReadInputBit(line, address, reg::input::RightLimit, state); }
int TROVEL_CALL TrovelGetLeftLimit(TrovelLine* line, int address, int* state) { return ReadInputBit(line, address, reg::input::LeftLimit, state); }
}
