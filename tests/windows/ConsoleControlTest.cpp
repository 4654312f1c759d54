// trovelctl's console control handler called as Windows calls it, for the events wine cannot
// deliver: each ends the program with the status of its POSIX signal, and closing the window
// holds the program until the moving screen has been stopped.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Platform.h"
#include "PlatformWin32.h"

namespace trovelctl {
namespace {

using namespace std::chrono_literals;

TEST(ConsoleControl, EachKeyRaisesTheGuardWithItsExitCode)
{
    struct Case {
        DWORD event;
        const char* name;
        int exitCode;
    };
    for (const Case& c : {Case{CTRL_C_EVENT, "Ctrl-C", 130}, Case{CTRL_BREAK_EVENT, "Ctrl-Break", 131}}) {
        const InterruptGuard guard;
        EXPECT_FALSE(InterruptGuard::Raised());
        EXPECT_TRUE(ConsoleControl(c.event)) << c.name; // handled: the program is not ended
        EXPECT_TRUE(InterruptGuard::Raised()) << c.name;
        EXPECT_EQ(InterruptGuard::Name(), c.name);
        EXPECT_EQ(InterruptGuard::ExitCode(), c.exitCode);
    }
}

TEST(ConsoleControl, ClosingTheWindowWaitsForTheGuardToGo)
{
    std::atomic<bool> returned{false};
    std::thread windows;
    const auto closedAt = std::chrono::steady_clock::now();
    {
        const InterruptGuard guard; // as while a screen moves
        windows = std::thread([&] {
            ConsoleControl(CTRL_CLOSE_EVENT);
            returned = true;
        });
        for (int i = 0; i < 200 && !InterruptGuard::Raised(); ++i)
            std::this_thread::sleep_for(10ms);
        ASSERT_TRUE(InterruptGuard::Raised());
        EXPECT_EQ(InterruptGuard::Name(), "closing the console window");
        EXPECT_EQ(InterruptGuard::ExitCode(), 129);
        std::this_thread::sleep_for(300ms);
        // Windows ends the program once the handler returns: not before the stop is sent.
        EXPECT_FALSE(returned);
    }
    windows.join();
    EXPECT_LT(std::chrono::steady_clock::now() - closedAt, 2s); // the guard's end let it go
}

} // namespace
} // namespace trovelctl
