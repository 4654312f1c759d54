#pragma once
// What differs between Linux and Windows, and nothing else: the console, the ways a program
// is told to end, port names and the clock's words. PlatformPosix.cpp and PlatformWin32.cpp
// implement it; the commands never ask which system they run on.

#include <string>

namespace trovelctl {

// Makes the console take UTF-8 and cursor controls where it can; once, before any output.
void PrepareConsole();

// Bars and the live view go to a terminal that takes cursor controls only; pipes, files,
// TERM=dumb and consoles without virtual-terminal mode get plain lines. The tool prints no
// colour, so NO_COLOR needs nothing more.
bool StdoutDraws();
int TerminalWidth(); // columns of stdout, 80 when unknown

// While one exists, whatever would end the program at a terminal or in a pipeline only raises
// a flag, so a moving screen can be stopped before the program ends: SIGINT, SIGTERM,
// SIGHUP, SIGQUIT and SIGPIPE on Linux; Ctrl-C, Ctrl-Break and closing the console window on
// Windows. The previous handling comes back when it goes.
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

    static bool Raised();
    static std::string Name(); // "SIGINT", "Ctrl-C", "closing the console window"
    // The shell's status for a program ended that way: 128 + the signal's number (130 for
    // SIGINT and Ctrl-C, 129 for a hang-up or a closed console window).
    static int ExitCode();
};

// The device OpenCom(n) opens: COMn on Windows, /dev/ttyS<n-1> on Linux.
std::string ComPortDevice(unsigned number);
// "/dev/ttyS0 (COM1)" where the device's name does not say the number, else the device.
std::string ComPortName(unsigned number);

// What to do about a device this user may not open: the group to join on Linux.
std::string PermissionAdvice(const std::string& device);

// "14:03:59", local time.
std::string LocalClock();

} // namespace trovelctl
