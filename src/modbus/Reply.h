#pragma once
// Reply acceptance: a reply counts only when it answers the request that was sent. Length
// and CRC are not enough on a shared line, where a reply that came too late for an earlier
// request can land in the next exchange's read.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace trovel::modbus {

// What the reply to one request must look like, derived from the request itself.
class ReplyRule {
public:
    // `otherAddress`: an address the controller may answer under as well (a controller given
    // a new address may already answer under it); 0 for none.
    explicit ReplyRule(std::span<const std::uint8_t> request, std::uint8_t otherAddress = 0) noexcept
        : request_(request), otherAddress_(otherAddress)
    {
    }

    std::span<const std::uint8_t> Request() const noexcept { return request_; }
    // 5 + 2n for a read of n registers, 8 for a write.
    std::size_t Length() const noexcept;
    bool AddressMatches(std::uint8_t address) const noexcept;

private:
    std::span<const std::uint8_t> request_;
    std::uint8_t otherAddress_;
};

enum class Judgement { Accepted, NoReply, Short, BadCrc, Mismatch, TwoFrames, Exception };

struct Verdict {
    Judgement judgement;
    std::uint8_t exceptionCode = 0; // for Judgement::Exception
};

// The length, CRC included, that a reply frame at the start of `bytes` gives itself by its
// function code (and byte count); nothing for a function no request of ours asks for, or
// when too few bytes are there to tell.
std::optional<std::size_t> DeclaredLength(std::span<const std::uint8_t> bytes) noexcept;

// At most this many bytes behind an answer pass as the noise of a driver turning off.
inline constexpr std::size_t kTrailingNoise = 3;

// Judges what one read received. The first frame must answer the request: the same address,
// the function (bit 7 set: an exception reply), for a read the byte count, for a write the
// echo of register and value (function 6) or of register and count (16), with a valid CRC.
// Behind it at most 3 bytes of noise, and only when the read ended on silence (not cut by
// the total time-out or a full buffer): anything more is a second frame, and which one
// answers cannot be told.
Verdict JudgeReply(const ReplyRule& rule, std::span<const std::uint8_t> received, bool endedOnSilence) noexcept;

// The length of the complete, valid frame at the start of `received` when it answers the
// request (its answer or an exception reply to it): a read that knows the reply's length
// need not wait for the gap.
std::optional<std::size_t> AnswerArrived(const ReplyRule& rule, std::span<const std::uint8_t> received) noexcept;

} // namespace trovel::modbus
