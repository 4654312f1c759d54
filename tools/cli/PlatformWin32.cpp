// Windows: the console control handler, the console's modes, COMn names.

#include "Platform.h"
#include "PlatformWin32.h"

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <string_view>

namespace trovelctl {

namespace {

// What ended the program, as the number of the POSIX signal it stands for, so the exit
// codes are the same on both systems.
constexpr int kHangUp = 1; // the console window closed, or the user logs off
constexpr int kCtrlC = 2;
constexpr int kCtrlBreak = 3;

std::atomic<int> interrupted{0};

// Set when the guard goes: the moving screen has been stopped by then.
HANDLE finished = nullptr;
// Windows ends the program about 5 s after a close event, whatever the handler does.
constexpr DWORD kCloseGraceMs = 4500;

bool IsDumb()
{
    const char* term = std::getenv("TERM");
    return term && std::string_view(term) == "dumb";
}

} // namespace

BOOL WINAPI ConsoleControl(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
        interrupted = kCtrlC;
        return TRUE;
    case CTRL_BREAK_EVENT:
        interrupted = kCtrlBreak;
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // The program ends when this returns, so it returns only once the screen is stopped.
        interrupted = kHangUp;
        ::WaitForSingleObject(finished, kCloseGraceMs);
        return TRUE;
    default:
        return FALSE;
    }
}

void PrepareConsole()
{
    // The console's code page and modes belong to the window, which outlives the program:
    // they are put back at exit.
    static const struct Restore {
        HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
        UINT codePage = ::GetConsoleOutputCP();
        DWORD mode = 0;
        bool console = ::GetConsoleMode(out, &mode) != 0;
        ~Restore()
        {
            if (codePage != 0)
                ::SetConsoleOutputCP(codePage);
            if (console)
                ::SetConsoleMode(out, mode);
        }
    } restore;
    // The messages carry a few non-ASCII characters (the dash).
    ::SetConsoleOutputCP(CP_UTF8);
    if (restore.console)
        ::SetConsoleMode(restore.out, restore.mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

bool StdoutDraws()
{
    // Consoles before Windows 10 refuse virtual-terminal mode: they get plain lines.
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode) &&
           (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 && !IsDumb();
}

int TerminalWidth()
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_OUTPUT_HANDLE), &info) &&
        info.srWindow.Right > info.srWindow.Left)
        return info.srWindow.Right - info.srWindow.Left + 1;
    return 80;
}

InterruptGuard::InterruptGuard()
{
    interrupted = 0;
    if (!finished)
        finished = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::ResetEvent(finished);
    ::SetConsoleCtrlHandler(ConsoleControl, TRUE);
}

InterruptGuard::~InterruptGuard()
{
    ::SetEvent(finished);
    ::SetConsoleCtrlHandler(ConsoleControl, FALSE);
}

bool InterruptGuard::Raised() { return interrupted != 0; }

std::string InterruptGuard::Name()
{
    switch (interrupted) {
    case kCtrlC:
        return "Ctrl-C";
    case kCtrlBreak:
        return "Ctrl-Break";
    case kHangUp:
        return "closing the console window";
    default:
        return "event " + std::to_string(interrupted.load());
    }
}

int InterruptGuard::ExitCode() { return 128 + interrupted; }

std::string ComPortDevice(unsigned number) { return "COM" + std::to_string(number); }

std::string ComPortName(unsigned number) { return ComPortDevice(number); }

std::string PermissionAdvice(const std::string&) { return {}; }

std::string LocalClock()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_s(&local, &now);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

} // namespace trovelctl
