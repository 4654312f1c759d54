// Win32 serial backend: the comm API. At open the driver gets the classic time-outs; each
// read then returns as soon as bytes are queued (or its deadline passes), so the line's own
// rules decide when a reply has ended.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <vector>

#include "device/Backends.h"

namespace trovel::device {

namespace {

constexpr DWORD kPurgeEverything = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr DWORD kQueueSize = 4096;            // driver queues, four times the largest read
constexpr DWORD kClassicIntervalMs = 100;     // the time-outs a port gets at open
constexpr DWORD kClassicTotalMs = 250;
constexpr DWORD kWriteTotalMs = 250;

// Errors by which a handle says its device went away (a USB adapter pulled).
bool MeansGone(DWORD error) noexcept
{
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_BAD_COMMAND:
    case ERROR_INVALID_HANDLE:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_NOT_READY:
        return true;
    default:
        return false;
    }
}

class SerialPort final : public Device {
public:
    explicit SerialPort(HANDLE handle) noexcept : handle_(handle) {}
    ~SerialPort() override
    {
        ::PurgeComm(handle_, kPurgeEverything);
        ::CloseHandle(handle_);
    }
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    Io ReadSome(std::span<std::uint8_t> into, const util::Deadline& until) noexcept override
    {
        DWORD errors = 0;
        COMSTAT status{};
        // A pending line error would fail every read; clearing it keeps queued bytes queued.
        if (!::ClearCommError(handle_, &errors, &status))
            return {0, MeansGone(::GetLastError())};
        if (errors != 0)
            ::PurgeComm(handle_, PURGE_RXABORT);
        // Nothing queued: wait for one byte, which a read of one byte with only a total
        // time-out does on every implementation of the comm API. (MAXDWORD, MAXDWORD, n would
        // say "the first byte, else n ms" in one read, but wine takes it as "n ms or a full
        // buffer", so every read lasted its whole deadline.) Whole-millisecond timers may
        // end the wait a little early: it goes on until the deadline has passed.
        if (into.empty())
            return {0, false};
        std::size_t got = 0;
        if (status.cbInQue == 0) {
            while (got == 0) {
                const DWORD ms = until.RemainingMsCeil();
                if (ms == 0)
                    break;
                const Io first = Read(into.first(1), {0, 0, ms, 0, kWriteTotalMs});
                if (first.gone)
                    return first;
                got = first.count;
            }
        }
        if (got == into.size())
            return {got, false};
        // Then whatever else is queued, without waiting.
        const Io rest = Read(into.subspan(got), {MAXDWORD, 0, 0, 0, kWriteTotalMs});
        return {got + rest.count, rest.gone};
    }

    Io Write(std::span<const std::uint8_t> frame, const util::Deadline& until) noexcept override
    {
        DWORD errors = 0;
        if (!::ClearCommError(handle_, &errors, nullptr))
            return {0, MeansGone(::GetLastError())};
        if (errors != 0)
            ::PurgeComm(handle_, PURGE_TXABORT);
        COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, std::max<DWORD>(1, until.RemainingMsCeil())};
        if (!::SetCommTimeouts(handle_, &timeouts))
            return {0, MeansGone(::GetLastError())};
        DWORD taken = 0;
        if (!::WriteFile(handle_, frame.data(), static_cast<DWORD>(frame.size()), &taken, nullptr))
            return {taken, MeansGone(::GetLastError())};
        return {taken, false};
    }

    void DiscardInput() noexcept override { ::PurgeComm(handle_, PURGE_RXCLEAR); }

private:
    Io Read(std::span<std::uint8_t> into, COMMTIMEOUTS timeouts) noexcept
    {
        if (!::SetCommTimeouts(handle_, &timeouts))
            return {0, MeansGone(::GetLastError())};
        DWORD got = 0;
        if (!::ReadFile(handle_, into.data(), static_cast<DWORD>(into.size()), &got, nullptr))
            return {got, MeansGone(::GetLastError())};
        return {got, false};
    }

    HANDLE handle_;
};

// Only the line format changes; flow control, DTR/RTS and the special characters stay as
// the driver reports them.
bool ApplyLineFormat(HANDLE h) noexcept
{
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (::GetCommState(h, &dcb) != 1)
        return false;
    dcb.fParity = FALSE;
    dcb.BaudRate = CBR_19200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    return ::SetCommState(h, &dcb) == 1;
}

// Queue sizes and the classic time-outs, then both queues discarded.
bool Configure(HANDLE h) noexcept
{
    if (!::SetupComm(h, kQueueSize, kQueueSize))
        return false;
    COMMTIMEOUTS timeouts{};
    if (!::GetCommTimeouts(h, &timeouts))
        return false;
    timeouts.ReadIntervalTimeout = kClassicIntervalMs;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = kClassicTotalMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = kWriteTotalMs;
    if (!::SetCommTimeouts(h, &timeouts))
        return false;
    return ::PurgeComm(h, kPurgeEverything) != 0;
}

OpenError FromLastError(DWORD error) noexcept
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
        return OpenError::NoDevice;
    // A COM port that another program holds answers "access denied".
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        return OpenError::Busy;
    default:
        return OpenError::Other;
    }
}

// "COM12" -> "\\.\COM12": ports above 9 are reachable only through the device namespace,
// and the prefix does no harm below.
std::wstring DeviceName(const std::string& name)
{
    std::wstring wide(name.begin(), name.end());
    const bool comName = wide.size() > 3 && (wide[0] == L'C' || wide[0] == L'c') && (wide[1] == L'O' || wide[1] == L'o') &&
                         (wide[2] == L'M' || wide[2] == L'm') &&
                         std::all_of(wide.begin() + 3, wide.end(), [](wchar_t c) { return std::iswdigit(c) != 0; });
    return comName ? L"\\\\.\\" + wide : wide;
}

} // namespace

std::string PortName(std::uint32_t number)
{
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\COM%u", number);
    return name;
}

Opened OpenSerial(const std::string& name)
{
    const std::wstring device = DeviceName(name);
    const HANDLE h = ::CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0 /* no other opener */, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return {nullptr, FromLastError(::GetLastError())};
    if (!ApplyLineFormat(h)) {
        ::CloseHandle(h);
        return {nullptr, OpenError::NotSerial};
    }
    if (!Configure(h)) {
        ::CloseHandle(h);
        return {nullptr, OpenError::Other};
    }
    return {std::make_unique<SerialPort>(h), OpenError::None};
}

std::vector<std::string> ListPorts()
{
    // Every DOS device name, NUL-separated; the buffer grows until the list fits.
    std::vector<char> names(16 * 1024);
    for (;;) {
        const DWORD length = ::QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
        if (length != 0)
            break;
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() > (1u << 22))
            return {};
        names.resize(names.size() * 2);
    }
    std::vector<std::pair<unsigned long, std::string>> ports;
    for (const char* p = names.data(); *p != '\0'; p += std::strlen(p) + 1) {
        const std::string name(p);
        if (name.size() > 3 && name.compare(0, 3, "COM") == 0 &&
            std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
            ports.emplace_back(std::stoul(name.substr(3)), name);
    }
    std::sort(ports.begin(), ports.end());
    std::vector<std::string> out;
    for (auto& port : ports)
        out.push_back(std::move(port.second));
    return out;
}

std::optional<std::string> Environment(const char* name)
{
    // The process environment, as SetEnvironmentVariable leaves it; the C runtime's copy
    // may be older.
    char value[1024];
    const DWORD length = ::GetEnvironmentVariableA(name, value, sizeof value);
    if (length == 0 || length >= sizeof value)
        return std::nullopt;
    return std::string(value, length);
}

std::optional<std::string> LibraryDirectory()
{
    HMODULE self = nullptr;
    if (!::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCSTR>(&LibraryDirectory), &self))
        return std::nullopt;
    char path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameA(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return std::nullopt;
    const std::string full(path, length);
    const auto slash = full.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : full.substr(0, slash);
}

} // namespace trovel::device
