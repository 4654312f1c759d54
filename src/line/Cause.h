#pragma once
// Why a call ended as it did. The numbers are the host's error codes (TROVEL_ERR_* in the
// public header), so they never change.

#include <cstdint>

#include "device/Device.h"
#include "modbus/Reply.h"

namespace trovel::line {

enum class Cause : int {
    Ok = 0,
    NotOpen = 1,
    Argument = 2,
    BadLine = 3,
    NoDevice = 10,
    Busy = 11,
    Permission = 12,
    NotSerial = 13,
    Connect = 14,
    OpenFailed = 15,
    NoReply = 20,
    ShortReply = 21,
    Crc = 22,
    Mismatch = 23,
    TwoFrames = 24,
    Echo = 25,
    DeviceGone = 26,
    Internal = 27,
    BadValue = 28,
    Rs485Unsupported = 29,
    SettingRefused = 30,
    ExceptionBase = 256, // plus the exception code of a Modbus exception reply
};

constexpr Cause ExceptionCause(std::uint8_t code) noexcept
{
    return static_cast<Cause>(static_cast<int>(Cause::ExceptionBase) + code);
}

constexpr bool IsException(Cause cause) noexcept
{
    const int code = static_cast<int>(cause);
    // Code 0 is no defined exception, but a peer can send it: it is still an answer.
    return code >= static_cast<int>(Cause::ExceptionBase) && code <= static_cast<int>(Cause::ExceptionBase) + 0xFF;
}

// Failures of the exchange itself, which repeating the request may cure. An exception
// reply is an answer; a refused argument or a closed line would fail again.
constexpr bool Repeatable(Cause cause) noexcept
{
    switch (cause) {
    case Cause::NoReply:
    case Cause::ShortReply:
    case Cause::Crc:
    case Cause::Mismatch:
    case Cause::TwoFrames:
    case Cause::Echo:
        return true;
    default:
        return false;
    }
}

constexpr Cause FromOpenError(device::OpenError error) noexcept
{
    switch (error) {
    case device::OpenError::None: return Cause::Ok;
    case device::OpenError::NoDevice: return Cause::NoDevice;
    case device::OpenError::Busy: return Cause::Busy;
    case device::OpenError::Permission: return Cause::Permission;
    case device::OpenError::NotSerial: return Cause::NotSerial;
    case device::OpenError::Connect: return Cause::Connect;
    case device::OpenError::Other: break;
    }
    return Cause::OpenFailed;
}

constexpr Cause FromSettingResult(device::SettingResult result) noexcept
{
    switch (result) {
    case device::SettingResult::Done: return Cause::Ok;
    case device::SettingResult::Unsupported: return Cause::Rs485Unsupported;
    case device::SettingResult::NotSerial: return Cause::NotSerial;
    case device::SettingResult::Refused: break;
    }
    return Cause::SettingRefused;
}

constexpr Cause FromVerdict(const modbus::Verdict& verdict) noexcept
{
    switch (verdict.judgement) {
    case modbus::Judgement::Accepted: return Cause::Ok;
    case modbus::Judgement::NoReply: return Cause::NoReply;
    case modbus::Judgement::Short: return Cause::ShortReply;
    case modbus::Judgement::BadCrc: return Cause::Crc;
    case modbus::Judgement::Mismatch: return Cause::Mismatch;
    case modbus::Judgement::TwoFrames: return Cause::TwoFrames;
    case modbus::Judgement::Exception: return ExceptionCause(verdict.exceptionCode);
    }
    return Cause::Internal;
}

// A short English text for any code, unknown ones included.
const char* CauseText(int code) noexcept;

} // namespace trovel::line
