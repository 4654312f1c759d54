#include "sim/Framer.h"

namespace trovel::sim {

namespace {

constexpr std::size_t kMaxFrame = 256; // the largest RTU frame
constexpr std::size_t kFixedRequest = 8;
constexpr std::size_t kMultipleHeader = 7; // the byte count sits at offset 6
constexpr std::size_t kCrcSize = 2;
constexpr std::size_t kUnknownYet = 0;
constexpr std::size_t kBySilence = static_cast<std::size_t>(-1);

// Request length of the functions a master may send: 1-6 have a fixed eight bytes, 15 and
// 16 carry their data byte count; any other function ends only with silence.
std::size_t ImpliedLength(const std::vector<std::uint8_t>& buffer) noexcept
{
    if (buffer.size() < 2)
        return kUnknownYet;
    const std::uint8_t function = buffer[1];
    if (function >= 1 && function <= 6)
        return kFixedRequest;
    if (function == 15 || function == 16)
        return buffer.size() < kMultipleHeader ? kUnknownYet : kMultipleHeader + buffer[6] + kCrcSize;
    return kBySilence;
}

} // namespace

void RtuFramer::Feed(std::span<const std::uint8_t> bytes, Duration now)
{
    if (bytes.empty())
        return;
    if (now - last_ >= silence_)
        EndOfSilence();
    last_ = now;
    if (resyncing_)
        return;
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    Split();
}

void RtuFramer::Split()
{
    for (;;) {
        const std::size_t length = ImpliedLength(buffer_);
        if (length == kUnknownYet || length == kBySilence || buffer_.size() < length)
            break;
        ready_.push_back({{buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length)}, true});
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length));
    }
    if (buffer_.size() > kMaxFrame) {
        ready_.push_back({std::move(buffer_), false});
        buffer_.clear();
    }
}

void RtuFramer::EndOfSilence()
{
    resyncing_ = false;
    if (buffer_.empty())
        return;
    const bool complete = ImpliedLength(buffer_) == kBySilence;
    ready_.push_back({std::move(buffer_), complete});
    buffer_.clear();
}

std::optional<RtuFramer::Frame> RtuFramer::Next(Duration now)
{
    if (now - last_ >= silence_)
        EndOfSilence();
    if (ready_.empty())
        return std::nullopt;
    Frame frame = std::move(ready_.front());
    ready_.pop_front();
    return frame;
}

void RtuFramer::Resync()
{
    buffer_.clear();
    ready_.clear();
    resyncing_ = true;
}

std::optional<Duration> RtuFramer::Deadline() const
{
    if (buffer_.empty() && !resyncing_)
        return std::nullopt;
    return last_ + silence_;
}

} // namespace trovel::sim
