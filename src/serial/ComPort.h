#pragma once
// The port object: the library's one connection to the controllers' serial line.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>

#include "serial/PortDevice.h"

namespace trovel::serial {

inline constexpr std::uint32_t kLastPortNumber = 1024;

class ComPort {
public:
    ComPort() noexcept = default;
    ComPort(const ComPort&) = delete;
    ComPort& operator=(const ComPort&) = delete;
    ~ComPort();

    // Opens port 1..1024 with the controllers' line format; false leaves the port closed.
    bool OpenByNumber(std::uint32_t number);
    // As OpenByNumber, naming the device by path (USB adapters, pseudo-terminals).
    bool OpenByPath(const std::string& path);

    // Closes an open port, discarding both queues; does nothing on a closed one.
    void ReleaseHandle() noexcept;

    // The port class can run worker threads in modes this library never enables, so there
    // is never a worker to stop and the answer is always false.
    bool StopWorkers() noexcept { return false; }

    bool IsOpen() const noexcept { return handle_.load(std::memory_order_acquire) != kInvalidHandle; }

    // Both return 0 on a closed port or for an empty span, and add their result to the counts.
    std::uint32_t ReadBytes(std::span<std::uint8_t> buffer) noexcept;
    std::uint32_t WriteBytes(std::span<const std::uint8_t> data) noexcept;
    void DiscardInput() noexcept;

    // The exchange lock: the port object owns it but never takes it itself.
    std::mutex& ExchangeLock() noexcept { return exchangeLock_; }

    std::uint32_t ReceivedCount() const noexcept { return receivedCount_; }
    std::uint32_t SentCount() const noexcept { return sentCount_; }
    void ClearCounts() noexcept { receivedCount_ = 0; sentCount_ = 0; }

    // Kept from the last open attempt that passed the range check, also after close.
    std::int32_t PortNumber() const noexcept { return portNumber_; }
    const std::string& PortName() const noexcept { return portName_; }

private:
    bool OpenNamedDevice();

    std::atomic<NativeHandle> handle_{kInvalidHandle};
    std::int32_t portNumber_ = -1;
    std::string portName_;
    std::mutex exchangeLock_;
    std::uint32_t receivedCount_ = 0;
    std::uint32_t sentCount_ = 0;
};

} // namespace trovel::serial
