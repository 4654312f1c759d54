// Lines that end at a network gateway. A serial device server passes the RTU bytes through
// unchanged; a Modbus TCP gateway wants each request in a header with a transaction number
// and no CRC. Both appear to the line as a device that carries RTU frames, so every rule of
// the line (time-outs, matching, settle, trace) works on them unchanged.

#include <algorithm>
#include <array>
#include <atomic>
#include <vector>

#include "device/Backends.h"
#include "device/Stream.h"
#include "modbus/Crc16.h"
#include "modbus/Frame.h"
#include "modbus/Reply.h"

namespace trovel::device {

namespace {

// Drops what has already arrived, without waiting.
void Drain(Stream& stream) noexcept
{
    std::array<std::uint8_t, 256> discard{};
    while (stream.Receive(discard, util::Deadline::Now()).count > 0) {
    }
}

class RtuOverTcp final : public Device {
public:
    explicit RtuOverTcp(std::unique_ptr<Stream> stream) noexcept : stream_(std::move(stream)) {}
    Io ReadSome(std::span<std::uint8_t> into, const util::Deadline& until) noexcept override { return stream_->Receive(into, until); }
    Io Write(std::span<const std::uint8_t> frame, const util::Deadline& until) noexcept override { return stream_->Send(frame, until); }
    void DiscardInput() noexcept override { Drain(*stream_); }
    void Interrupt() noexcept override { stream_->Interrupt(); }

private:
    std::unique_ptr<Stream> stream_;
};

// Modbus TCP: transaction number, protocol 0, length, unit identifier, then the PDU. The
// reply must carry the request's transaction number; any other is a late answer to an
// earlier request and is dropped here, so it can never be taken for this one.
class ModbusTcp final : public Device {
public:
    static constexpr std::size_t kHeaderSize = 7;
    static constexpr std::size_t kMaxAdu = 260;

    explicit ModbusTcp(std::unique_ptr<Stream> stream) noexcept : stream_(std::move(stream)) {}

    Io Write(std::span<const std::uint8_t> frame, const util::Deadline& until) noexcept override
    {
        if (frame.size() < 2 + modbus::kCrcSize || frame.size() - modbus::kCrcSize + kHeaderSize - 1 > kMaxAdu)
            return {0, false};
        ++transaction_;
        // The RTU frame without its CRC: the unit identifier (the device address) and the PDU.
        const auto unitAndPdu = frame.first(frame.size() - modbus::kCrcSize);
        std::array<std::uint8_t, kMaxAdu> adu{};
        adu[0] = static_cast<std::uint8_t>(transaction_ >> 8);
        adu[1] = static_cast<std::uint8_t>(transaction_);
        adu[4] = static_cast<std::uint8_t>(unitAndPdu.size() >> 8);
        adu[5] = static_cast<std::uint8_t>(unitAndPdu.size());
        std::copy(unitAndPdu.begin(), unitAndPdu.end(), adu.begin() + kHeaderSize - 1);
        const std::size_t size = kHeaderSize - 1 + unitAndPdu.size();
        const Io sent = stream_->Send(std::span(adu).first(size), until);
        // The line counts the RTU frame it handed over.
        return {sent.count == size ? frame.size() : 0, sent.gone};
    }

    Io ReadSome(std::span<std::uint8_t> into, const util::Deadline& until) noexcept override
    {
        for (;;) {
            if (const auto frame = TakeAnswer(into))
                return {*frame, false};
            if (held_ == buffer_.size())
                held_ = 0; // a header that promises more than a Modbus frame can hold: resynchronise
            const Io io = stream_->Receive(std::span(buffer_).subspan(held_), until);
            if (io.count == 0)
                return io;
            held_ += io.count;
        }
    }

    void DiscardInput() noexcept override
    {
        held_ = 0;
        Drain(*stream_);
    }

    void Interrupt() noexcept override { stream_->Interrupt(); }
    bool WholeFrames() const noexcept override { return true; }

private:
    // Takes complete frames off the front of the buffer; the one that answers the current
    // request goes to the line as an RTU frame, with the CRC the serial line would carry.
    std::optional<std::size_t> TakeAnswer(std::span<std::uint8_t> into) noexcept
    {
        while (held_ >= kHeaderSize) {
            const std::size_t length = (std::size_t{buffer_[4]} << 8) | buffer_[5];
            const std::size_t total = kHeaderSize - 1 + length;
            if (length == 0 || total > kMaxAdu) {
                held_ = 0; // not Modbus TCP: nothing in it can be trusted
                return std::nullopt;
            }
            if (held_ < total)
                return std::nullopt;
            std::optional<std::size_t> taken;
            if (Answers(length) && length + modbus::kCrcSize <= into.size()) {
                std::copy_n(buffer_.begin() + kHeaderSize - 1, length, into.begin());
                const std::uint16_t crc = modbus::Crc16(into.first(length));
                into[length] = static_cast<std::uint8_t>(crc >> 8);
                into[length + 1] = static_cast<std::uint8_t>(crc);
                taken = length + modbus::kCrcSize;
            }
            std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(total), buffer_.begin() + static_cast<std::ptrdiff_t>(held_),
                      buffer_.begin());
            held_ -= total;
            if (taken)
                return taken;
        }
        return std::nullopt;
    }

    // Whether the whole frame of `length` bytes at the front is the answer to the current
    // request: its transaction number, protocol 0 (Modbus), and a length that is the one its
    // own PDU declares. Anything else is treated as another transaction's frame.
    bool Answers(std::size_t length) const noexcept
    {
        const auto transaction = static_cast<std::uint16_t>((buffer_[0] << 8) | buffer_[1]);
        const auto protocol = static_cast<std::uint16_t>((buffer_[2] << 8) | buffer_[3]);
        if (transaction != transaction_ || protocol != kModbusProtocol)
            return false;
        // Unit identifier and PDU, as an RTU frame would start; an unknown function is left
        // for the reply's judge to refuse.
        const auto declared = modbus::DeclaredLength(std::span(buffer_).subspan(kHeaderSize - 1, length));
        return !declared || *declared == length + modbus::kCrcSize;
    }

    static constexpr std::uint16_t kModbusProtocol = 0;

    std::unique_ptr<Stream> stream_;
    std::uint16_t transaction_ = 0;
    std::array<std::uint8_t, 2 * kMaxAdu> buffer_{};
    std::size_t held_ = 0;
};

} // namespace

Opened OpenNetwork(const NetworkAddress& address, const util::Deadline& connectBy, const OpenStop& stop)
{
    NameLookups own; // for an open that nothing can stop
    NameLookups& lookups = stop.lookups != nullptr ? *stop.lookups : own;
    const std::uint64_t seen = stop.lookups != nullptr ? stop.stopsSeen : own.Stops();
    const auto found = lookups.Resolve(address.host, address.port, connectBy, seen);
    switch (found.status) {
    case NameLookups::Status::Found: break;
    case NameLookups::Status::NotFound:
    case NameLookups::Status::TimedOut: return {nullptr, OpenError::NoDevice};
    case NameLookups::Status::Stopped: return {nullptr, OpenError::Other};
    }
    auto connected = Connect(found.endpoints, connectBy);
    if (!connected.stream)
        return {nullptr, connected.error};
    if (address.framing == NetworkAddress::Framing::ModbusTcp)
        return {std::make_unique<ModbusTcp>(std::move(connected.stream)), OpenError::None};
    return {std::make_unique<RtuOverTcp>(std::move(connected.stream)), OpenError::None};
}

} // namespace trovel::device
