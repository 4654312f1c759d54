#pragma once
// RS-485 direction control by the Linux kernel (TIOCGRS485 / TIOCSRS485). Only our flags
// change: the driver's others (termination, receive during send, addressing) are kept, and
// exactly one RTS level is asked for, since some drivers refuse a request with none.

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdint>

#include "device/Device.h"

namespace trovel::device {

inline constexpr std::uint32_t kRs485OurFlags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND;

// The flags to ask for, given the ones the driver reports now. Off clears only "enabled" and
// leaves the RTS levels, so switching on again asks for what was there.
constexpr std::uint32_t Rs485Flags(std::uint32_t present, Rs485Mode mode) noexcept
{
    switch (mode) {
    case Rs485Mode::Off:
        return present & ~static_cast<std::uint32_t>(SER_RS485_ENABLED);
    case Rs485Mode::RtsHighOnSend:
        return (present & ~kRs485OurFlags) | SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    case Rs485Mode::RtsLowOnSend:
        return (present & ~kRs485OurFlags) | SER_RS485_ENABLED | SER_RS485_RTS_AFTER_SEND;
    }
    return present;
}

// ENOTTY: the driver has no RS-485 support at all (USB adapters, pseudo-terminals); EINVAL
// or EOPNOTSUPP: it has the ioctl but not this port or mode.
constexpr SettingResult FromRs485Errno(int error) noexcept
{
    return error == ENOTTY || error == EINVAL || error == EOPNOTSUPP ? SettingResult::Unsupported
                                                                      : SettingResult::Refused;
}

// `ioctl(request, serial_rs485*)` answers as ioctl(2) does, -1 with errno set; a test may
// pass one of its own.
template <class Ioctl>
SettingResult ApplyRs485(Ioctl&& ioctl, const Rs485& settings) noexcept
{
    serial_rs485 present{};
    if (ioctl(TIOCGRS485, &present) != 0)
        return FromRs485Errno(errno);
    serial_rs485 wanted = present;
    wanted.flags = Rs485Flags(present.flags, settings.mode);
    if (settings.mode != Rs485Mode::Off) {
        wanted.delay_rts_before_send = static_cast<std::uint32_t>(settings.delayBeforeMs);
        wanted.delay_rts_after_send = static_cast<std::uint32_t>(settings.delayAfterMs);
    }
    if (ioctl(TIOCSRS485, &wanted) != 0)
        return FromRs485Errno(errno);
    return SettingResult::Done;
}

} // namespace trovel::device
