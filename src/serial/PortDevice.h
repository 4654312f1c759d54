#pragma once
// The platform seam: the handful of operating-system calls that the port object needs.
// One implementation per platform (Win32 comm API, POSIX termios); nothing above this
// header sees <windows.h> or <termios.h>.

#include <cstdint>
#include <span>
#include <string>

namespace trovel::serial {

using NativeHandle = std::intptr_t;
inline constexpr NativeHandle kInvalidHandle = -1; // INVALID_HANDLE_VALUE, or fd -1

// Line timing every read and write of the library relies on.
inline constexpr int kInterByteTimeoutMs = 100;  // a read ends this long after a byte with no further one
inline constexpr int kReadTotalTimeoutMs = 250;  // ... or this long after it began
inline constexpr int kWriteTotalTimeoutMs = 250;
inline constexpr std::uint32_t kQueueSize = 4096; // driver queues, four times the largest read

namespace device {

// Device name of port number n: "\\.\COMn" on Windows, "/dev/ttyS<n-1>" elsewhere
// (the convention Wine uses for COMn).
std::string PortName(std::uint32_t number);

// Opens the device for reading and writing, refusing a second opener.
NativeHandle Create(const std::string& name) noexcept;

// 19200 baud, 8 data bits, no parity, one stop bit.
bool ApplyLineFormat(NativeHandle handle) noexcept;

// Queue sizes and time-outs, then discards whatever both queues hold.
bool Configure(NativeHandle handle) noexcept;

// Reads under the read rule: ends when the buffer is full, 100 ms after a byte without a
// further one, or 250 ms after it began. Pending line errors are cleared first.
std::uint32_t Read(NativeHandle handle, std::span<std::uint8_t> buffer) noexcept;

// Hands the bytes to the driver within 250 ms; returns how many it took.
std::uint32_t Write(NativeHandle handle, std::span<const std::uint8_t> data) noexcept;

// Discards what waits in the receive queue.
void DiscardInput(NativeHandle handle) noexcept;

// Discards both queues and closes.
void Close(NativeHandle handle) noexcept;

} // namespace device
} // namespace trovel::serial
