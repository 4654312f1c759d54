#include "sim/Line.h"

#include <algorithm>
#include <charconv>

#include "modbus/Crc16.h"
#include "modbus/Frame.h"

namespace trovel::sim {

namespace {

constexpr std::size_t kMinFrame = 4;           // address, function, CRC
constexpr std::size_t kRequestHeader = 6;      // address, function, register, count or value
constexpr std::size_t kMultipleHeader = 7;     // ... and the data byte count
constexpr std::uint16_t kMaxReadCount = 125;   // a reply must fit 256 bytes
constexpr std::uint16_t kMaxWriteCount = 123;  // as must a request

std::uint16_t Word(std::span<const std::uint8_t> frame, std::size_t offset) noexcept
{
    return modbus::AssembleRegister(frame[offset], frame[offset + 1]);
}

void PutWord(Bytes& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value & 0xFFu));
}

Bytes WithCrc(Bytes frame)
{
    frame.resize(frame.size() + modbus::kCrcSize);
    modbus::AppendCrc(frame);
    return frame;
}

} // namespace

bool FrameCrcValid(std::span<const std::uint8_t> frame) noexcept
{
    if (frame.size() < modbus::kCrcSize + 1)
        return false;
    const std::uint16_t crc = modbus::Crc16(frame.first(frame.size() - modbus::kCrcSize));
    return frame[frame.size() - 2] == (crc >> 8) && frame[frame.size() - 1] == (crc & 0xFFu);
}

Bytes ExceptionReply(std::uint8_t address, std::uint8_t function, Exception code)
{
    return WithCrc({address, static_cast<std::uint8_t>(function | modbus::kExceptionBit), static_cast<std::uint8_t>(code)});
}

std::optional<std::vector<std::uint8_t>> ParseAddresses(std::string_view text)
{
    std::vector<std::uint8_t> out;
    const auto number = [](std::string_view t, unsigned& v) {
        const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
        return ec == std::errc() && end == t.data() + t.size() && modbus::IsDeviceAddress(v);
    };
    while (!text.empty()) {
        const auto comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (comma != std::string_view::npos && text.empty())
            return std::nullopt; // a trailing comma
        unsigned first = 0;
        unsigned last = 0;
        const auto dash = item.find('-');
        if (!number(item.substr(0, dash), first))
            return std::nullopt;
        last = first;
        if (dash != std::string_view::npos && !number(item.substr(dash + 1), last))
            return std::nullopt;
        if (last < first)
            return std::nullopt;
        for (unsigned a = first; a <= last; ++a) {
            if (std::find(out.begin(), out.end(), a) != out.end())
                return std::nullopt;
            out.push_back(static_cast<std::uint8_t>(a));
        }
    }
    if (out.empty())
        return std::nullopt;
    return out;
}

const Clock& DefaultClock()
{
    static const SteadyClock clock;
    return clock;
}

Line::Line(const std::vector<std::uint8_t>& addresses, const Clock& clock) : clock_(clock), lastUpdate_(clock.Now())
{
    for (const std::uint8_t address : addresses) {
        if (!modbus::IsDeviceAddress(address))
            throw std::invalid_argument("device addresses are 1 to 16");
        controllers_.emplace_back(address);
    }
}

void Line::CatchUp()
{
    const Duration now = clock_.Now();
    if (now <= lastUpdate_)
        return;
    for (auto& c : controllers_)
        c.Advance(now - lastUpdate_);
    lastUpdate_ = now;
}

Controller* Line::Addressee(std::uint8_t address) noexcept
{
    // Two controllers given the same address would both answer and garble each other on a
    // real line; here the first one wins.
    const auto it = std::find_if(controllers_.begin(), controllers_.end(),
                                 [address](const Controller& c) { return c.Address() == address; });
    return it == controllers_.end() ? nullptr : &*it;
}

Controller& Line::Find(std::uint8_t address)
{
    Controller* c = Addressee(address);
    if (c == nullptr)
        throw std::out_of_range("no controller answers address " + std::to_string(address));
    return *c;
}

bool Line::Answers(std::span<const std::uint8_t> frame) const
{
    if (frame.size() < kMinFrame || !FrameCrcValid(frame) || frame[0] == modbus::kBroadcastAddress)
        return false;
    const std::lock_guard lock(mutex_);
    return std::any_of(controllers_.begin(), controllers_.end(),
                       [&](const Controller& c) { return c.Address() == frame[0]; });
}

std::optional<Bytes> Line::Respond(std::span<const std::uint8_t> frame)
{
    if (frame.size() < kMinFrame || !FrameCrcValid(frame))
        return std::nullopt;
    const std::lock_guard lock(mutex_);
    CatchUp();
    if (frame[0] == modbus::kBroadcastAddress) {
        for (auto& c : controllers_)
            static_cast<void>(Execute(c, frame));
        return std::nullopt;
    }
    Controller* c = Addressee(frame[0]);
    if (c == nullptr)
        return std::nullopt;
    return Execute(*c, frame);
}

std::optional<Bytes> Line::Execute(Controller& controller, std::span<const std::uint8_t> frame)
{
    const std::uint8_t address = frame[0];
    const std::uint8_t function = frame[1];
    const auto body = frame.first(frame.size() - modbus::kCrcSize);
    const auto fail = [&](Exception code) { return ExceptionReply(address, function, code); };

    switch (function) {
    case modbus::kReadHolding: {
        if (body.size() != kRequestHeader)
            return fail(Exception::IllegalDataValue);
        const std::uint16_t first = Word(body, 2);
        const std::uint16_t count = Word(body, 4);
        if (count < 1 || count > kMaxReadCount)
            return fail(Exception::IllegalDataValue);
        std::vector<std::uint16_t> values(count);
        if (const Exception e = controller.Read(first, values); e != Exception::None)
            return fail(e);
        Bytes reply{address, function, static_cast<std::uint8_t>(2 * count)};
        for (const std::uint16_t v : values)
            PutWord(reply, v);
        return WithCrc(std::move(reply));
    }
    case modbus::kWriteSingle: {
        if (body.size() != kRequestHeader)
            return fail(Exception::IllegalDataValue);
        const std::uint16_t value = Word(body, 4);
        if (const Exception e = controller.Write(Word(body, 2), std::span(&value, 1)); e != Exception::None)
            return fail(e);
        // The echo repeats the request as it came, under the address it was sent to, even
        // when the write just gave the controller a new one.
        return Bytes(frame.begin(), frame.end());
    }
    case modbus::kWriteMultiple: {
        if (body.size() < kMultipleHeader)
            return fail(Exception::IllegalDataValue);
        const std::uint16_t first = Word(body, 2);
        const std::uint16_t count = Word(body, 4);
        const std::size_t byteCount = body[6];
        if (count < 1 || count > kMaxWriteCount || byteCount != 2u * count || body.size() != kMultipleHeader + byteCount)
            return fail(Exception::IllegalDataValue);
        std::vector<std::uint16_t> values(count);
        for (std::size_t i = 0; i < count; ++i)
            values[i] = Word(body, kMultipleHeader + 2 * i);
        if (const Exception e = controller.Write(first, values); e != Exception::None)
            return fail(e);
        Bytes reply(body.begin(), body.begin() + kRequestHeader);
        return WithCrc(std::move(reply));
    }
    default:
        return fail(Exception::IllegalFunction);
    }
}

std::vector<std::string> Line::Status()
{
    const std::lock_guard lock(mutex_);
    CatchUp();
    std::vector<std::string> lines;
    for (const auto& c : controllers_)
        lines.push_back(c.Status());
    return lines;
}

} // namespace trovel::sim
