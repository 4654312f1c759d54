#pragma once
// Counts and queue waits, kept per line and per client for the statistics in the log.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace trovel::gateway {

// Modbus exceptions the gateway answers with, besides the controllers' own.
inline constexpr std::uint8_t kIllegalFunction = 0x01;
inline constexpr std::uint8_t kIllegalAddress = 0x02;
inline constexpr std::uint8_t kIllegalValue = 0x03;
inline constexpr std::uint8_t kServerBusy = 0x06;
inline constexpr std::uint8_t kPathUnavailable = 0x0A;
inline constexpr std::uint8_t kTargetFailed = 0x0B;

struct Counts {
    std::uint64_t requests = 0;
    std::uint64_t answered = 0;                // normal replies
    std::array<std::uint64_t, 256> exceptions{}; // by code

    void Add(std::uint8_t exception) noexcept
    {
        ++requests;
        if (exception == 0)
            ++answered;
        else
            ++exceptions[exception];
    }
    // "requests 120, answered 117, exceptions 0B x3"
    std::string Text() const;
};

struct Percentiles {
    std::size_t samples = 0;
    double p50Ms = 0;
    double p99Ms = 0;
};

// The most recent waits, enough for a stable p99 over a few minutes of a busy line.
class WaitSamples {
public:
    void Add(std::chrono::steady_clock::duration wait) noexcept
    {
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(wait).count();
        ring_[next_++ % ring_.size()] = static_cast<std::uint32_t>(std::clamp<long long>(us, 0, UINT32_MAX));
        count_ = std::min(count_ + 1, ring_.size());
    }
    // The percentiles of the samples since the last Take, which forgets them.
    Percentiles Take()
    {
        std::vector<std::uint32_t> sorted(ring_.begin(), ring_.begin() + static_cast<std::ptrdiff_t>(count_));
        std::sort(sorted.begin(), sorted.end());
        Percentiles out{sorted.size()};
        if (!sorted.empty()) {
            out.p50Ms = sorted[(sorted.size() - 1) / 2] / 1000.0;
            out.p99Ms = sorted[(sorted.size() - 1) * 99 / 100] / 1000.0;
        }
        count_ = 0;
        next_ = 0;
        return out;
    }

private:
    std::array<std::uint32_t, 4096> ring_{};
    std::size_t next_ = 0;
    std::size_t count_ = 0;
};

} // namespace trovel::gateway
