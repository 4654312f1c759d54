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

// The common core of the two register reads, with the entry checks repeated.
bool ReadStatusRegister(std::int32_t address, std::uint16_t reg, std::uint16_t& value) noexcept
{
    return Guarded([&] { return EntryChecksPass(address) && ReadRegister(address, reg, value); }) == 1;
}

bool ReadSwitchString(std::int32_t address, SwitchString& text) noexcept
{
    std::uint16_t value = 0;
    if (!ReadStatusRegister(address, reg::SwitchStatus, value))
        return false;
    for (unsigned i = 0; i < reg::SwitchCount; ++i)
        text[i] = (value >> (reg::SwitchStatusShift + i)) & 1u ? '1' : '0';
    text[reg::SwitchCount] = '\0';
    return true;
}

// Byte 0 holds the low byte of the input status register, byte 1 the high byte.
bool ReadInputRegister(std::int32_t address, std::array<std::uint8_t, 2>& bytes) noexcept
{
    std::uint16_t value = 0;
    if (!ReadStatusRegister(address, reg::InputStatus, value))
        return false;
    bytes = {static_cast<std::uint8_t>(value & 0xFFu), static_cast<std::uint8_t>(value >> 8)};
    return true;
}

InputString RenderInputs(const std::array<std::uint8_t, 2>& bytes) noexcept
{
    InputString text{};
    for (std::size_t j = 0; j < kInputBits; ++j)
        text[j] = (bytes[0] >> (kInputBits - 1 - j)) & 1u ? '1' : '0';
    return text;
}

int ReadInputBit(std::int32_t address, std::uint16_t bit, int* out) noexcept
{
    if (!EntryChecksPass(address) || out == nullptr)
        return 0;
    std::array<std::uint8_t, 2> bytes{};
    if (!ReadInputRegister(address, bytes))
        return 0;
    // Position in the input string of bit b is 7 - b.
    const std::size_t position = kInputBits - 1 - static_cast<std::size_t>(std::countr_zero(bit));
    *out = RenderInputs(bytes)[position] == '1' ? 1 : 0;
    return 1;
}

int SwitchAll(std::int32_t address, std::uint16_t value) noexcept
{
    return EntryChecksPass(address) && WriteSwitchOutputs(address, value) ? 1 : 0;
}

} // namespace
} // namespace trovel::api

using namespace trovel::api;
namespace reg = trovel::reg;

extern "C" {
int TROVEL_CALL SetSwichAllOff(int address) { return SwitchAll(address, 0x0000); }
int TROVEL_CALL SetSwichAllOn(int address) { return SwitchAll(address, reg::AllSwitchesOn); }

int TROVEL_CALL SetSwichState(int address, int index, int state)
{
    if (!EntryChecksPass(address) || index < 1 || index > static_cast<int>(reg::SwitchCount))
        return 0;
    SwitchString text{};
    if (!ReadSwitchString(address, text))
        return 0;
    // Output i is character i-1; the other outputs keep what was read.
    text[static_cast<std::size_t>(index - 1)] = state != 0 ? '1' : '0';
    return WriteSwitchOutputs(address, static_cast<std::uint16_t>(trovel::util::BitStringToInt(text.data()))) ? 1 : 0;
}

int TROVEL_CALL GetSwichState(int address, char** text)
{
    char* out = HostBuffer(text);
    if (!EntryChecksPass(address) || out == nullptr)
        return 0;
    SwitchString read{};
    if (!ReadSwitchString(address, read))
        return 0;
    std::copy(read.begin(), read.end(), out);
    return 1;
}

int TROVEL_CALL GetIoInputState(int address, char** text)
{
    char* out = HostBuffer(text);
    if (!EntryChecksPass(address) || out == nullptr)
        return 0;
    std::array<std::uint8_t, 2> bytes{};
    if (!ReadInputRegister(address, bytes))
        return 0;
    const auto rendered = RenderInputs(bytes);
    std::copy(rendered.begin(), rendered.end(), out);
    return 1;
}

int TROVEL_CALL GetRightExtremity(int address, int* state) { return ReadInputBit(address, reg::input::RightExtremity, state); }
int TROVEL_CALL GetLeftExtremity(int address, int* state) { return ReadInputBit(address, reg::input::LeftExtremity, state); }
int TROVEL_CALL GetRightLimit(int address, int* state) { return ReadInputBit(address, reg::input::RightLimit, state); }
int TROVEL_CALL GetLeftLimit(int address, int* state) { return ReadInputBit(address, reg::input::LeftLimit, state); }
}
