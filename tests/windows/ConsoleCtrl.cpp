// Runs a program on a console and, once its output shows a text, presses Ctrl-C (or
// Ctrl-Break) there as a person at the keyboard would; exits with the program's exit code.
// The program's output passes through.
//
//   console_ctrl.exe c|break TEXT PROGRAM [ARGUMENTS]

#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 4 || (std::string(argv[1]) != "c" && std::string(argv[1]) != "break")) {
        std::fprintf(stderr, "usage: console_ctrl c|break TEXT PROGRAM [ARGUMENTS]\n");
        return 2;
    }
    const DWORD event = std::string(argv[1]) == "c" ? CTRL_C_EVENT : CTRL_BREAK_EVENT;
    // A console's own handles replace these when it is made; the output goes where ours goes.
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
    // Wine gives a program started from a pipe a console without a window, which takes no
    // control events: that one is left for a console of its own.
    if (!::GetConsoleWindow() && (::FreeConsole(), !::AllocConsole())) {
        std::fprintf(stderr, "console_ctrl: no console (error %lu)\n", ::GetLastError());
        return 2;
    }

    std::string command;
    for (int i = 3; i < argc; ++i)
        command += std::string(i > 3 ? " \"" : "\"") + argv[i] + "\"";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ::CreatePipe(&readEnd, &writeEnd, &inherit, 0);
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(err, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = err;
    // Ctrl-Break goes to a process group by its number (wine refuses group 0 for it); a new
    // group would ignore Ctrl-C, so Ctrl-C goes to the whole console instead.
    const DWORD flags = event == CTRL_BREAK_EVENT ? CREATE_NEW_PROCESS_GROUP : 0;
    PROCESS_INFORMATION child{};
    if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup,
                          &child)) {
        std::fprintf(stderr, "console_ctrl: cannot start %s (error %lu)\n", argv[3], ::GetLastError());
        return 2;
    }
    ::CloseHandle(writeEnd);
    // The event reaches every process on the console, this one too. Set only now: the child
    // would inherit it.
    ::SetConsoleCtrlHandler(nullptr, TRUE);

    std::string seen;
    bool pressed = false;
    char buffer[512];
    DWORD got = 0, written = 0;
    while (::ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        ::WriteFile(out, buffer, got, &written, nullptr);
        seen.append(buffer, got);
        if (!pressed && seen.find(argv[2]) != std::string::npos) {
            pressed = true;
            if (!::GenerateConsoleCtrlEvent(event, event == CTRL_BREAK_EVENT ? child.dwProcessId : 0)) {
                std::fprintf(stderr, "console_ctrl: GenerateConsoleCtrlEvent failed (error %lu)\n", ::GetLastError());
                ::TerminateProcess(child.hProcess, 2);
            }
        }
    }
    DWORD code = 2;
    ::WaitForSingleObject(child.hProcess, INFINITE);
    ::GetExitCodeProcess(child.hProcess, &code);
    if (!pressed)
        std::fprintf(stderr, "console_ctrl: the program ended before '%s' appeared\n", argv[2]);
    return pressed ? static_cast<int>(code) : 2;
}
