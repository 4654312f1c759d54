#pragma once
// Cuts the byte stream of the line into RTU request frames. A frame ends when the length
// its function code implies has arrived, or, for a function whose length cannot be told,
// when the line has been silent for 3.5 character times.

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "modbus/Frame.h"
#include "sim/Clock.h"

namespace trovel::sim {

class RtuFramer {
public:
    struct Frame {
        std::vector<std::uint8_t> bytes;
        bool complete; // false: a fragment that silence cut short, or noise
    };

    explicit RtuFramer(Duration silence = modbus::kInterFrameSilence) : silence_(silence) {}

    void Feed(std::span<const std::uint8_t> bytes, Duration now);

    // The next frame that has ended by `now`, if any.
    std::optional<Frame> Next(Duration now);

    // After a corrupt frame the next frame boundary is unknown: drop what is buffered and
    // whatever arrives until the line falls silent.
    void Resync();

    // When silence would end the bytes now buffered; nothing when none are waiting.
    std::optional<Duration> Deadline() const;

private:
    void EndOfSilence();
    void Split();

    Duration silence_;
    Duration last_{};
    bool resyncing_ = false;
    std::vector<std::uint8_t> buffer_;
    std::deque<Frame> ready_;
};

} // namespace trovel::sim
