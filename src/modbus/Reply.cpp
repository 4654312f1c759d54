#include "modbus/Reply.h"

#include <algorithm>

#include "modbus/Frame.h"

namespace trovel::modbus {

namespace {

inline constexpr std::size_t kExceptionReplySize = 5;
inline constexpr std::size_t kEchoedBytes = 5; // function, register, value or count

// The length a frame at the start of `bytes` gives itself, when that many bytes are there
// with a valid CRC.
std::optional<std::size_t> ValidFrameAtStart(std::span<const std::uint8_t> bytes) noexcept
{
    const auto length = DeclaredLength(bytes);
    if (!length || *length > bytes.size() || !FrameCrcValid(bytes.first(*length)))
        return std::nullopt;
    return length;
}

enum class Fit { Answer, ExceptionToUs, Foreign };

// How a valid frame of `length` bytes relates to the request.
Fit FitOf(const ReplyRule& rule, std::span<const std::uint8_t> frame) noexcept
{
    const auto request = rule.Request();
    if (!rule.AddressMatches(frame[0]))
        return Fit::Foreign;
    if (frame[1] == (request[1] | kExceptionBit))
        return Fit::ExceptionToUs;
    if (frame.size() != rule.Length() || frame[1] != request[1])
        return Fit::Foreign;
    if (request[1] == kReadHolding)
        return frame[2] == 2u * request[5] ? Fit::Answer : Fit::Foreign;
    // A write answers with its register and value (6) or register and count (16).
    return std::equal(request.begin() + 1, request.begin() + 1 + kEchoedBytes, frame.begin() + 1) ? Fit::Answer
                                                                                                   : Fit::Foreign;
}

} // namespace

std::optional<std::size_t> DeclaredLength(std::span<const std::uint8_t> bytes) noexcept
{
    if (bytes.size() < 2)
        return std::nullopt;
    const std::uint8_t function = bytes[1];
    if ((function & kExceptionBit) != 0)
        return kExceptionReplySize;
    if (function == kReadHolding && bytes.size() >= 3)
        return 5u + bytes[2];
    if (function == kWriteSingle || function == kWriteMultiple)
        return kExpectedWriteReply;
    return std::nullopt;
}

std::size_t ReplyRule::Length() const noexcept
{
    if (request_.size() >= kReadRequestSize && request_[1] == kReadHolding)
        return ExpectedReadReply(request_[5]);
    return kExpectedWriteReply;
}

bool ReplyRule::AddressMatches(std::uint8_t address) const noexcept
{
    return !request_.empty() && (address == request_[0] || (otherAddress_ != 0 && address == otherAddress_));
}

Verdict JudgeReply(const ReplyRule& rule, std::span<const std::uint8_t> received, bool endedOnSilence) noexcept
{
    if (received.empty())
        return {Judgement::NoReply};
    const auto frame = ValidFrameAtStart(received);
    if (!frame) {
        if (received.size() < rule.Length())
            return {Judgement::Short};
        // A frame of a function this request never asks for can still carry a valid CRC.
        return {FrameCrcValid(received.first(rule.Length())) ? Judgement::Mismatch : Judgement::BadCrc};
    }
    const std::size_t trailing = received.size() - *frame;
    if (trailing > kTrailingNoise || (trailing > 0 && !endedOnSilence))
        return {Judgement::TwoFrames};
    switch (FitOf(rule, received.first(*frame))) {
    case Fit::Answer:
        return {Judgement::Accepted};
    case Fit::ExceptionToUs:
        return {Judgement::Exception, received[2]};
    case Fit::Foreign:
        break;
    }
    return {Judgement::Mismatch};
}

std::optional<std::size_t> AnswerArrived(const ReplyRule& rule, std::span<const std::uint8_t> received) noexcept
{
    const auto frame = ValidFrameAtStart(received);
    if (!frame || FitOf(rule, received.first(*frame)) == Fit::Foreign)
        return std::nullopt;
    return frame;
}

} // namespace trovel::modbus
