// trovelctl's console control handler called as Windows calls it, for the events wine cannot
// deliver: Ctrl-Break ends the program with the status of its POSIX counterpart, and closing
// the window holds the program until the moving screen has been stopped.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Platform.h"
#include "PlatformWin32.h"

namespace trovelctl {
namespace {

using namespace std::chrono_literals;

TEST(ConsoleControl, CtrlBreakRaisesTheGuardWith131)
{
    const InterruptGuard guard;
    EXPECT_FALSE(InterruptGuard::Raised());
    EXPECT_TRUE(ConsoleControl(CTRL_BREAK_EVENT)); // handled: the program is not ended
    EXPECT_EQ(InterruptGuard::Name(), "Ctrl-Break");
    EXPECT_EQ(InterruptGuard::ExitCode(), 131);
}

TEST(ConsoleControl, ClosingTheWindowWaitsForTheGuardToGo)
{
    std::atomic<bool> returned{false};
    std::thread windows;
    const auto closed = std::chrono::steady_clock::now();
    {
        const InterruptGuard guard; // as while a screen moves
        windows = std::thread([&] {
            ConsoleControl(CTRL_CLOSE_EVENT);
            returned = true;
        });
        for (int i = 0; i < 200 && !InterruptGuard::Raised(); ++i)
            std::this_thread::sleep_for(10ms);
        EXPECT_EQ(InterruptGuard::Name(), "closing the console window");
        EXPECT_EQ(InterruptGuard::ExitCode(), 129);
        std::this_thread::sleep_for(300ms);
        EXPECT_FALSE(returned); // Windows ends the program once it returns: not before the stop
    }
    windows.join();
    EXPECT_LT(std::chrono::steady_clock::now() - closed, 2s); // the guard's end let it go
}

} // namespace
} // namespace trovelctl
