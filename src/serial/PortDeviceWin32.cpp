// Win32 serial backend: the comm API with fixed driver time-outs, so that every ReadFile
// and WriteFile ends by itself.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>

#include "serial/PortDevice.h"

namespace trovel::serial::device {

namespace {

HANDLE Native(NativeHandle handle) noexcept { return reinterpret_cast<HANDLE>(handle); }

constexpr DWORD kPurgeEverything = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr std::size_t kPortNameUnits = 64;

} // namespace

std::string PortName(std::uint32_t number)
{
    char name[kPortNameUnits];
    std::snprintf(name, sizeof name, "\\\\.\\COM%u", number);
    return name;
}

NativeHandle Create(const std::string& name) noexcept
{
    // Device names are plain ASCII; widen them unit by unit for CreateFileW.
    wchar_t wide[kPortNameUnits] = {};
    if (name.size() >= kPortNameUnits)
        return kInvalidHandle;
    for (std::size_t i = 0; i < name.size(); ++i)
        wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(name[i]));
    const HANDLE handle = ::CreateFileW(wide, GENERIC_READ | GENERIC_WRITE, 0 /* no other opener */, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return handle == INVALID_HANDLE_VALUE ? kInvalidHandle : reinterpret_cast<NativeHandle>(handle);
}

bool ApplyLineFormat(NativeHandle handle) noexcept
{
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (::GetCommState(Native(handle), &dcb) != 1)
        return false;
    // Only the line format changes; flow control, DTR/RTS and the special characters stay
    // as the driver reports them.
    dcb.fParity = FALSE;
    dcb.BaudRate = CBR_19200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    return ::SetCommState(Native(handle), &dcb) == 1;
}

bool Configure(NativeHandle handle) noexcept
{
    const HANDLE h = Native(handle);
    if (!::SetupComm(h, kQueueSize, kQueueSize))
        return false;
    COMMTIMEOUTS timeouts{};
    if (!::GetCommTimeouts(h, &timeouts))
        return false;
    timeouts.ReadIntervalTimeout = kInterByteTimeoutMs;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = kReadTotalTimeoutMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = kWriteTotalTimeoutMs;
    if (!::SetCommTimeouts(h, &timeouts))
        return false;
    return ::PurgeComm(h, kPurgeEverything) != 0;
}

std::uint32_t Read(NativeHandle handle, std::span<std::uint8_t> buffer) noexcept
{
    const HANDLE h = Native(handle);
    DWORD errors = 0;
    COMSTAT status{};
    // A pending line error would fail every read; clearing it keeps queued bytes queued.
    if (::ClearCommError(h, &errors, &status) && errors != 0)
        ::PurgeComm(h, PURGE_RXABORT);
    DWORD got = 0;
    static_cast<void>(::ReadFile(h, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr));
    return got;
}

std::uint32_t Write(NativeHandle handle, std::span<const std::uint8_t> data) noexcept
{
    const HANDLE h = Native(handle);
    DWORD errors = 0;
    if (::ClearCommError(h, &errors, nullptr) && errors != 0)
        ::PurgeComm(h, PURGE_TXABORT);
    DWORD taken = 0;
    static_cast<void>(::WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &taken, nullptr));
    return taken;
}

void DiscardInput(NativeHandle handle) noexcept
{
    ::PurgeComm(Native(handle), PURGE_RXCLEAR);
}

void Close(NativeHandle handle) noexcept
{
    const HANDLE h = Native(handle);
    ::PurgeComm(h, kPurgeEverything);
    ::CloseHandle(h);
}

} // namespace trovel::serial::device
