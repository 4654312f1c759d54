#pragma once
// What a person at a terminal sees and does: live lines, the screen width, Ctrl-C.

#include <chrono>
#include <string>

namespace trovelctl {

// Bars and the live view go to a terminal that takes cursor controls only; pipes, files and
// TERM=dumb get plain lines. The tool prints no colour, so NO_COLOR needs nothing more.
bool StdoutDraws();
int TerminalWidth(); // columns of stdout, 80 when unknown

// While one exists, the signals that end a program at a terminal or in a pipeline (SIGINT,
// SIGTERM, SIGHUP, SIGQUIT, SIGPIPE) only raise a flag, so a moving screen can be stopped
// before the program ends. The previous handlers come back when it goes.
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

    static bool Raised();
    static int Signal(); // the signal that came, 0 before one did
    static std::string SignalName();
    // The shell's status for a program ended by that signal: 128 + its number (130 for SIGINT).
    static int ExitCode();
};

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
