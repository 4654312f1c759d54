#include "line/Cause.h"

#include <array>
#include <utility>

namespace trovel::line {

namespace {

constexpr std::array<std::pair<Cause, const char*>, 21> kTexts{{
    {Cause::Ok, "success"},
    {Cause::NotOpen, "port not open"},
    {Cause::Argument, "argument refused, nothing sent"},
    {Cause::BadLine, "line handle not open"},
    {Cause::NoDevice, "no such device"},
    {Cause::Busy, "device busy: in use by another program or line"},
    {Cause::Permission, "permission denied"},
    {Cause::NotSerial, "not a serial device"},
    {Cause::Connect, "cannot connect to the network gateway"},
    {Cause::OpenFailed, "cannot open the device"},
    {Cause::NoReply, "no reply within the time-out"},
    {Cause::ShortReply, "reply too short"},
    {Cause::Crc, "CRC error in the reply"},
    {Cause::Mismatch, "reply does not answer the request"},
    {Cause::TwoFrames, "two frames in one reply"},
    {Cause::Echo, "local echo missing or different"},
    {Cause::DeviceGone, "device gone (I/O error)"},
    {Cause::Internal, "internal error"},
    {Cause::BadValue, "the controller's value cannot be expressed"},
    {Cause::Rs485Unsupported, "the adapter does not switch RS-485 direction on request (USB RS-485 adapters "
                              "switch by themselves); the line works as before"},
    {Cause::SettingRefused, "the driver refused the setting; the line works as before"},
}};

// Modbus exception codes by number; the rest share one text.
constexpr std::array<const char*, 12> kExceptions{{
    "Modbus exception with code 00, which Modbus does not define",
    "illegal function (exception 01)",
    "illegal data address (exception 02)",
    "illegal data value (exception 03)",
    "server device failure (exception 04)",
    "acknowledge (exception 05)",
    "server device busy (exception 06)",
    "Modbus exception",
    "memory parity error (exception 08)",
    "Modbus exception",
    "gateway path unavailable (exception 0A)",
    "gateway target device failed to respond (exception 0B)",
}};

} // namespace

const char* CauseText(int code) noexcept
{
    if (IsException(static_cast<Cause>(code))) {
        const int exception = code - static_cast<int>(Cause::ExceptionBase);
        return exception < static_cast<int>(kExceptions.size()) ? kExceptions[static_cast<std::size_t>(exception)]
                                                                 : "Modbus exception";
    }
    for (const auto& [cause, text] : kTexts)
        if (static_cast<int>(cause) == code)
            return text;
    return "unknown error code";
}

} // namespace trovel::line
