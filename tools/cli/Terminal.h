#pragma once
// What a person at a terminal sees: live lines, and pauses that Ctrl-C cuts short.

#include <chrono>
#include <string>

#include "Platform.h"

namespace trovelctl {

// Sleeps for `duration`, waking early when an interrupt is raised.
void SleepUnlessInterrupted(std::chrono::milliseconds duration);

// One line redrawn in place; it is left standing when the line is finished.
class LiveLine {
public:
    explicit LiveLine(bool enabled) : enabled_(enabled) {}
    ~LiveLine() { Finish(); }
    LiveLine(const LiveLine&) = delete;
    LiveLine& operator=(const LiveLine&) = delete;

    void Show(const std::string& text);
    // Prints a line of its own above the live one, which is drawn again on the next Show.
    void PrintAbove(const std::string& text);
    void Clear();
    void Finish();

private:
    bool enabled_;
    bool shown_ = false;
};

} // namespace trovelctl
