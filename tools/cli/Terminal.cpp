#include "Terminal.h"

#include <cstdio>
#include <thread>

namespace trovelctl {

namespace {

constexpr auto kSleepSlice = std::chrono::milliseconds(20);

} // namespace

void SleepUnlessInterrupted(std::chrono::milliseconds duration)
{
    const auto until = std::chrono::steady_clock::now() + duration;
    while (!InterruptGuard::Raised() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(kSleepSlice);
}

void LiveLine::Show(const std::string& text)
{
    if (!enabled_)
        return;
    // Cut to the width so the line never wraps: a wrapped line cannot be redrawn in place.
    const auto width = static_cast<std::size_t>(TerminalWidth() - 1);
    std::printf("\r%s\x1b[K", text.substr(0, width).c_str());
    std::fflush(stdout);
    shown_ = true;
}

void LiveLine::PrintAbove(const std::string& text)
{
    Clear();
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

void LiveLine::Clear()
{
    if (enabled_ && shown_) {
        std::printf("\r\x1b[K");
        std::fflush(stdout);
        shown_ = false;
    }
}

void LiveLine::Finish()
{
    if (enabled_ && shown_) {
        std::printf("\n");
        std::fflush(stdout);
        shown_ = false;
    }
}

} // namespace trovelctl
