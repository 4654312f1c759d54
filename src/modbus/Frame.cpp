#include "modbus/Frame.h"

#include <algorithm>

#include "modbus/Crc16.h"

namespace trovel::modbus {

namespace {
constexpr std::uint8_t High(std::uint16_t v) noexcept { return static_cast<std::uint8_t>(v >> 8); }
constexpr std::uint8_t Low(std::uint16_t v) noexcept { return static_cast<std::uint8_t>(v & 0xFFu); }
} // namespace

void AppendCrc(std::span<std::uint8_t> frame) noexcept
{
    if (frame.size() < kCrcSize)
        return;
    const std::uint16_t crc = Crc16(frame.first(frame.size() - kCrcSize));
    frame[frame.size() - 2] = High(crc);
    frame[frame.size() - 1] = Low(crc);
}

bool BuildReadRequest(std::uint32_t address, std::uint16_t firstRegister, std::uint8_t count,
                      std::span<std::uint8_t, kReadRequestSize> out) noexcept
{
    if (!IsDeviceAddress(address))
        return false;
    out[0] = static_cast<std::uint8_t>(address);
    out[1] = kReadHolding;
    out[2] = High(firstRegister);
    out[3] = Low(firstRegister);
    out[4] = 0x00;
    out[5] = count;
    AppendCrc(out);
    return true;
}

std::array<std::uint8_t, kWriteSingleSize> BuildWriteSingle(std::uint8_t address, std::uint16_t reg,
                                                            std::uint16_t value) noexcept
{
    std::array<std::uint8_t, kWriteSingleSize> frame{address, kWriteSingle, High(reg), Low(reg), High(value), Low(value)};
    AppendCrc(frame);
    return frame;
}

std::array<std::uint8_t, kWriteMultipleSize> BuildWriteMultiple(std::uint8_t address, std::uint16_t firstRegister,
                                                                std::uint32_t value) noexcept
{
    const auto data = PlacePair(value);
    std::array<std::uint8_t, kWriteMultipleSize> frame{
        address, kWriteMultiple, High(firstRegister), Low(firstRegister), 0x00, 0x02, 0x04,
        data[0], data[1],        data[2],             data[3]};
    AppendCrc(frame);
    return frame;
}

bool FrameCrcValid(std::span<const std::uint8_t> frame) noexcept
{
    if (frame.size() < kCrcSize || frame.size() > kMaxFrameSize)
        return false;
    const std::uint16_t crc = Crc16(frame.first(frame.size() - kCrcSize));
    return frame[frame.size() - 2] == High(crc) && frame[frame.size() - 1] == Low(crc);
}

std::size_t BuildWriteRegisters(std::uint8_t address, std::uint16_t first, std::span<const std::uint16_t> values,
                                std::span<std::uint8_t> out) noexcept
{
    constexpr std::size_t kHeader = 7; // address, function, register, count, byte count
    const std::size_t length = kHeader + 2 * values.size() + kCrcSize;
    if (values.empty() || values.size() > kMaxWriteCount || out.size() < length)
        return 0;
    const auto count = static_cast<std::uint16_t>(values.size());
    const std::array<std::uint8_t, kHeader> header{address,     kWriteMultiple, High(first), Low(first),
                                                   High(count), Low(count),     static_cast<std::uint8_t>(2 * count)};
    std::copy(header.begin(), header.end(), out.begin());
    for (std::size_t i = 0; i < values.size(); ++i) {
        out[kHeader + 2 * i] = High(values[i]);
        out[kHeader + 2 * i + 1] = Low(values[i]);
    }
    AppendCrc(out.first(length));
    return length;
}

bool CheckReplyCrc(const std::uint8_t* reply, std::size_t length) noexcept
{
    if (reply == nullptr || length < kCrcSize || length > kMaxCheckedReply)
        return false;
    // Work on a copy of fixed size: the check never reads past `length` of the caller's buffer.
    std::array<std::uint8_t, kMaxCheckedReply> copy{};
    std::copy_n(reply, length, copy.begin());
    const std::uint16_t crc = Crc16(std::span(copy).first(length - kCrcSize));
    return copy[length - 2] == High(crc) && copy[length - 1] == Low(crc);
}

} // namespace trovel::modbus
