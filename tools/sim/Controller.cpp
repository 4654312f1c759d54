#include "sim/Controller.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>

#include "modbus/Frame.h"
#include "modbus/RegisterMap.h"

namespace trovel::sim {

namespace {

enum class Access { None, ReadOnly, ReadWrite };

Access AccessOf(std::uint16_t r) noexcept
{
    switch (r) {
    case reg::MotionCommand:
    case reg::SwitchOutputs:
    case reg::DefaultsOrder:
    case reg::ResetBeginOrder:
    case reg::WorkMode:
    case reg::MotorVeer:
    case reg::RemoteFunction:
    case reg::DeviceAddress:
    case reg::FactoryDate:
    case reg::FactoryDate + 1:
    case reg::FixedCurrentPoint:
    case reg::FixedCurrentPoint + 1:
        return Access::ReadWrite;
    case reg::InputStatus:
    case reg::SwitchStatus:
    case reg::RunState:
    case reg::RemoteKeyState:
    case reg::CurrentPoint:
    case reg::CurrentPoint + 1:
    case reg::BiosDate:
    case reg::BiosDate + 1:
        return Access::ReadOnly;
    default:
        break;
    }
    if (r >= reg::ParameterBlockFirst && r <= reg::ParameterBlockLast)
        return Access::ReadWrite;
    if (r >= reg::SerialNumber && r < reg::SerialNumber + reg::SerialNumberRegisters)
        return Access::ReadOnly;
    return Access::None;
}

// How close the screen must be to a point for the controller to count it as there; the
// position travels as a float, so exact equality would be too strict after recalibration.
constexpr double kPointTolerance = 1e-3;

constexpr unsigned kAuxiliaryInputShift = 4; // inputs 4-7 follow the limits and extremities
constexpr std::uint16_t kOrderValue = 1; // the one value that triggers registers 14 and 20

constexpr std::uint16_t Low(std::uint32_t v) noexcept { return static_cast<std::uint16_t>(v & 0xFFFFu); }
constexpr std::uint16_t High(std::uint32_t v) noexcept { return static_cast<std::uint16_t>(v >> 16); }

struct FloatDefault {
    std::uint16_t reg;
    float value;
};

// What a controller leaves the factory with, and what the defaults order restores. Points
// are in position units, speed in units per second, acceleration in units per second
// squared, the delay in seconds.
constexpr std::array<FloatDefault, 10> kFloatDefaults{{
    {reg::MotorSpeed, 50.0f},
    {reg::MotorAcc, 100.0f},
    {reg::PulseCount, 1000.0f},
    {reg::BeginPoint, 0.0f},
    {reg::EndPoint, 100.0f},
    {reg::AutoBeginPoint, 10.0f},
    {reg::AutoEndPoint, 90.0f},
    {reg::Resolution, 0.1f},
    {reg::Diameter, 40.0f},
    {reg::DelayTime, 2.0f},
}};

constexpr std::uint32_t kFactoryDate = 20210315;
constexpr std::uint32_t kBiosDate = 20200115;
// "TRVSIM", then the build year, and the device address in the last byte so that every
// controller on a line has its own number.
constexpr std::array<std::uint16_t, reg::SerialNumberRegisters - 1> kSerialPrefix{0x5452, 0x5653, 0x494D, 0x2021,
                                                                                   0x0315};

} // namespace

Controller::Controller(std::uint8_t address) : address_(address)
{
    RestoreDefaults();
    registers_[reg::FactoryDate] = Low(kFactoryDate);
    registers_[reg::FactoryDate + 1] = High(kFactoryDate);
    registers_[reg::BiosDate] = Low(kBiosDate);
    registers_[reg::BiosDate + 1] = High(kBiosDate);
    std::copy(kSerialPrefix.begin(), kSerialPrefix.end(), registers_.begin() + reg::SerialNumber);
    registers_[reg::SerialNumber + reg::SerialNumberRegisters - 1] = address;
}

void Controller::RestoreDefaults()
{
    for (const auto& d : kFloatDefaults)
        SetFloat(d.reg, d.value);
    registers_[reg::WorkMode] = 0;
    registers_[reg::MotorVeer] = 0;
    registers_[reg::RemoteFunction] = 0;
}

std::uint16_t Controller::Register(std::uint16_t r) const
{
    if (AccessOf(r) == Access::None)
        return 0;
    switch (r) {
    case reg::DefaultsOrder:
    case reg::ResetBeginOrder:
        return 0; // orders act when written and keep nothing
    case reg::DeviceAddress:
        return address_;
    case reg::InputStatus:
        return Inputs();
    case reg::SwitchStatus:
        return static_cast<std::uint16_t>((registers_[reg::SwitchOutputs] & reg::AllSwitchesOn) << reg::SwitchStatusShift);
    case reg::RunState:
        return RunState();
    case reg::RemoteKeyState:
        return remoteKey_;
    case reg::CurrentPoint:
    case reg::CurrentPoint + 1: {
        const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(drive_.Position()));
        return r == reg::CurrentPoint ? Low(bits) : High(bits);
    }
    default:
        return registers_[r];
    }
}

Exception Controller::Read(std::uint16_t first, std::span<std::uint16_t> out) const
{
    for (std::size_t i = 0; i < out.size(); ++i)
        if (first + i > 0xFFFF || AccessOf(static_cast<std::uint16_t>(first + i)) == Access::None)
            return Exception::IllegalDataAddress;
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = Register(static_cast<std::uint16_t>(first + i));
    return Exception::None;
}

Exception Controller::Write(std::uint16_t first, std::span<const std::uint16_t> values)
{
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::size_t r = first + i;
        if (r > 0xFFFF || AccessOf(static_cast<std::uint16_t>(r)) != Access::ReadWrite)
            return Exception::IllegalDataAddress;
        if (r == reg::DeviceAddress &&
            (values[i] < modbus::kFirstDeviceAddress || values[i] > modbus::kLastDeviceAddress))
            return Exception::IllegalDataValue;
    }
    for (std::size_t i = 0; i < values.size(); ++i)
        StoreRegister(static_cast<std::uint16_t>(first + i), values[i]);
    return Exception::None;
}

void Controller::StoreRegister(std::uint16_t r, std::uint16_t value)
{
    switch (r) {
    case reg::MotionCommand:
        registers_[r] = value;
        Command(value);
        break;
    case reg::SwitchOutputs:
        registers_[r] = static_cast<std::uint16_t>(value & reg::AllSwitchesOn); // six outputs, nothing more
        break;
    case reg::DefaultsOrder:
        if (value == kOrderValue)
            RestoreDefaults();
        break;
    case reg::ResetBeginOrder:
        // The screen stays put; the place where it stands becomes the begin point.
        if (value == kOrderValue)
            SetFloat(reg::BeginPoint, static_cast<float>(drive_.Position()));
        break;
    case reg::DeviceAddress:
        address_ = static_cast<std::uint8_t>(value);
        break;
    case reg::FixedCurrentPoint:
    case reg::FixedCurrentPoint + 1:
        // The screen stays put; the controller now counts its position from this value.
        registers_[r] = value;
        drive_.Recalibrate(Float(reg::FixedCurrentPoint));
        break;
    default:
        registers_[r] = value;
        break;
    }
}

float Controller::Float(std::uint16_t first) const noexcept
{
    const std::uint32_t bits = (std::uint32_t{Register(static_cast<std::uint16_t>(first + 1))} << 16) | Register(first);
    return std::bit_cast<float>(bits);
}

void Controller::SetFloat(std::uint16_t first, float value) noexcept
{
    if (first + 1u >= kRegisterSpace)
        return;
    const auto bits = std::bit_cast<std::uint32_t>(value);
    registers_[first] = Low(bits);
    registers_[first + 1u] = High(bits);
}

DriveLimits Controller::Limits() const noexcept
{
    return {Float(reg::MotorSpeed), Float(reg::MotorAcc)};
}

bool Controller::AtLeftLimit() const noexcept { return drive_.Position() <= Float(reg::BeginPoint) + kPointTolerance; }

bool Controller::AtRightLimit() const noexcept { return drive_.Position() >= Float(reg::EndPoint) - kPointTolerance; }

void Controller::Command(std::uint16_t value)
{
    switch (value) {
    case reg::motion::Left:
        // A limit switch that is already made blocks the move towards it.
        mode_ = AtLeftLimit() ? Mode::Idle : Mode::Left;
        break;
    case reg::motion::Right:
        mode_ = AtRightLimit() ? Mode::Idle : Mode::Right;
        break;
    case reg::motion::Auto:
        mode_ = Mode::Auto;
        pauseLeft_ = 0.0;
        autoHeadingRight_ = drive_.Position() < Float(reg::AutoEndPoint) - kPointTolerance;
        break;
    case reg::motion::Stop:
        mode_ = Mode::Idle;
        break;
    default:
        break; // not a command this controller knows; the register keeps the value
    }
    if (!Limits().CanRun())
        mode_ = Mode::Idle;
}

void Controller::Advance(Duration dt)
{
    // Enough passes for any number of phases and pauses one slice can hold in practice;
    // a degenerate automatic run (both ends equal, no delay) simply stops consuming time.
    constexpr int kMaxPasses = 64;
    double left = Seconds(dt).count();
    for (int pass = 0; pass < kMaxPasses && left > 0.0; ++pass) {
        const DriveLimits limits = Limits();
        if (mode_ != Mode::Idle && !limits.CanRun()) {
            drive_.Halt();
            mode_ = Mode::Idle;
        }
        switch (mode_) {
        case Mode::Idle:
            if (!drive_.Moving())
                return;
            left -= drive_.Brake(limits, left);
            break;
        case Mode::Left:
        case Mode::Right: {
            const double target = Float(mode_ == Mode::Left ? reg::BeginPoint : reg::EndPoint);
            if (!std::isfinite(target)) {
                mode_ = Mode::Idle;
                break;
            }
            const auto step = drive_.RunTowards(target, limits, left);
            left -= step.used;
            if (step.arrived)
                mode_ = Mode::Idle;
            break;
        }
        case Mode::Auto: {
            if (pauseLeft_ > 0.0) {
                const double t = std::min(pauseLeft_, left);
                pauseLeft_ -= t;
                left -= t;
                if (pauseLeft_ <= 0.0) {
                    pauseLeft_ = 0.0;
                    autoHeadingRight_ = !autoHeadingRight_;
                }
                break;
            }
            const double target = Float(autoHeadingRight_ ? reg::AutoEndPoint : reg::AutoBeginPoint);
            if (!std::isfinite(target)) {
                mode_ = Mode::Idle;
                break;
            }
            const auto step = drive_.RunTowards(target, limits, left);
            left -= step.used;
            if (step.arrived) {
                const double delay = Float(reg::DelayTime);
                pauseLeft_ = std::isfinite(delay) && delay > 0.0 ? delay : 0.0;
                if (pauseLeft_ == 0.0)
                    autoHeadingRight_ = !autoHeadingRight_;
            }
            break;
        }
        }
    }
}

std::uint16_t Controller::RunState() const noexcept
{
    std::uint16_t state = mode_ == Mode::Auto ? run::Auto : run::Stopped;
    const double v = drive_.Velocity();
    if (v < 0.0)
        state |= run::Left;
    else if (v > 0.0)
        state |= run::Right;
    else if (mode_ == Mode::Left)
        state |= run::Left;
    else if (mode_ == Mode::Right)
        state |= run::Right;
    else if (mode_ == Mode::Auto && pauseLeft_ == 0.0)
        state |= autoHeadingRight_ ? run::Right : run::Left;
    return state;
}

std::uint16_t Controller::Inputs() const noexcept
{
    std::uint16_t bits = 0;
    if (AtLeftLimit())
        bits |= reg::input::LeftLimit;
    if (AtRightLimit())
        bits |= reg::input::RightLimit;
    // Extremities: the screen stands beyond a limit point, which only a recalibration or a
    // point moved under it can bring about.
    if (drive_.Position() < Float(reg::BeginPoint) - kPointTolerance)
        bits |= reg::input::LeftExtremity;
    if (drive_.Position() > Float(reg::EndPoint) + kPointTolerance)
        bits |= reg::input::RightExtremity;
    return static_cast<std::uint16_t>(bits | (auxInputs_ << kAuxiliaryInputShift));
}

std::string Controller::Status() const
{
    const std::uint16_t state = RunState();
    const char* motion = "stopped";
    if ((state & run::Auto) != 0)
        motion = (state & run::Left) ? "auto, moving left" : (state & run::Right) ? "auto, moving right" : "auto, pausing";
    else if ((state & run::Left) != 0)
        motion = "moving left";
    else if ((state & run::Right) != 0)
        motion = "moving right";

    const std::uint16_t inputs = Inputs();
    char inputText[9];
    for (int j = 0; j < 8; ++j)
        inputText[j] = (inputs >> (7 - j)) & 1u ? '1' : '0';
    inputText[8] = '\0';
    const std::uint16_t outputs = registers_[reg::SwitchOutputs];
    char outputText[reg::SwitchCount + 1];
    for (unsigned i = 0; i < reg::SwitchCount; ++i)
        outputText[i] = (outputs >> i) & 1u ? '1' : '0';
    outputText[reg::SwitchCount] = '\0';

    char line[160];
    std::snprintf(line, sizeof line, "#%-2u position %9.2f  %-18s run state %u  inputs %s  outputs %s",
                  static_cast<unsigned>(address_), drive_.Position(), motion, static_cast<unsigned>(state), inputText,
                  outputText);
    return line;
}

} // namespace trovel::sim
