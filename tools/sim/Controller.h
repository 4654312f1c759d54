#pragma once
// One simulated sliding-screen controller: its holding registers as a Modbus master sees
// them, and the screen that its motion commands move.

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "sim/Clock.h"
#include "sim/Drive.h"

namespace trovel::sim {

// Modbus exception codes a controller answers with.
enum class Exception : std::uint8_t {
    None = 0,
    IllegalFunction = 1,
    IllegalDataAddress = 2,
    IllegalDataValue = 3,
    DeviceFailure = 4,
};

// Values of the run state register (404): bit 0 moving left, bit 1 moving right, bit 2
// automatic run. Automatic run with neither direction bit is the pause at an end.
namespace run {
inline constexpr std::uint16_t Stopped = 0;
inline constexpr std::uint16_t Left = 1u << 0;
inline constexpr std::uint16_t Right = 1u << 1;
inline constexpr std::uint16_t Auto = 1u << 2;
} // namespace run

class Controller {
public:
    explicit Controller(std::uint8_t address);

    // The address it answers under; register 220 changes it.
    std::uint8_t Address() const noexcept { return address_; }

    // Bus view. Reads and writes are all or nothing: a register outside the map anywhere in
    // the range refuses the whole request.
    Exception Read(std::uint16_t first, std::span<std::uint16_t> out) const;
    Exception Write(std::uint16_t first, std::span<const std::uint16_t> values);

    // What a read of one register returns now, 0 for a register outside the map.
    std::uint16_t Register(std::uint16_t reg) const;

    // Moves the screen on by `dt` of simulated time.
    void Advance(Duration dt);

    // Direct access for tests and for the program's status line.
    double Position() const noexcept { return drive_.Position(); }
    double Velocity() const noexcept { return drive_.Velocity(); }
    std::uint16_t RunState() const noexcept;
    std::uint16_t Inputs() const noexcept;
    float Float(std::uint16_t firstRegister) const noexcept;
    void SetFloat(std::uint16_t firstRegister, float value) noexcept;
    // Inputs 4-7 are wired to nothing the controller drives; tests set them.
    // `bits` 0-3 become inputs 4-7.
    void SetAuxiliaryInputs(std::uint8_t bits) noexcept { auxInputs_ = static_cast<std::uint8_t>(bits & 0x0F); }
    // 1-4 while a key of the remote control is held, 0 when none is.
    void SetRemoteKey(std::uint16_t key) noexcept { remoteKey_ = key; }
    std::string Status() const;

private:
    enum class Mode { Idle, Left, Right, Auto };

    void Command(std::uint16_t value);
    void StoreRegister(std::uint16_t reg, std::uint16_t value);
    void RestoreDefaults();
    DriveLimits Limits() const noexcept;
    bool AtLeftLimit() const noexcept;
    bool AtRightLimit() const noexcept;

    static constexpr std::size_t kRegisterSpace = 706; // through the last serial number register

    std::uint8_t address_;
    std::array<std::uint16_t, kRegisterSpace> registers_{};
    Drive drive_;
    Mode mode_ = Mode::Idle;
    bool autoHeadingRight_ = true;
    double pauseLeft_ = 0.0; // seconds still to wait at an end of the automatic run
    std::uint8_t auxInputs_ = 0;
    std::uint16_t remoteKey_ = 0;
};

} // namespace trovel::sim
