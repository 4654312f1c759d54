#include "serial/ComPort.h"

namespace trovel::serial {

ComPort::~ComPort()
{
    ReleaseHandle();
}

bool ComPort::OpenByNumber(std::uint32_t number)
{
    if (number == 0 || number > kLastPortNumber)
        return false;
    portNumber_ = static_cast<std::int32_t>(number);
    portName_ = device::PortName(number);
    return OpenNamedDevice();
}

bool ComPort::OpenByPath(const std::string& path)
{
    if (path.empty())
        return false;
    portName_ = path;
    return OpenNamedDevice();
}

bool ComPort::OpenNamedDevice()
{
    ReleaseHandle();
    const NativeHandle handle = device::Create(portName_);
    if (handle == kInvalidHandle)
        return false;
    handle_.store(handle, std::memory_order_release);
    if (!device::ApplyLineFormat(handle) || !device::Configure(handle)) {
        ReleaseHandle();
        return false;
    }
    return true;
}

void ComPort::ReleaseHandle() noexcept
{
    const NativeHandle handle = handle_.exchange(kInvalidHandle, std::memory_order_acq_rel);
    if (handle != kInvalidHandle)
        device::Close(handle);
}

std::uint32_t ComPort::ReadBytes(std::span<std::uint8_t> buffer) noexcept
{
    const NativeHandle handle = handle_.load(std::memory_order_acquire);
    if (handle == kInvalidHandle || buffer.empty())
        return 0;
    const std::uint32_t got = device::Read(handle, buffer);
    receivedCount_ += got;
    return got;
}

std::uint32_t ComPort::WriteBytes(std::span<const std::uint8_t> data) noexcept
{
    const NativeHandle handle = handle_.load(std::memory_order_acquire);
    if (handle == kInvalidHandle || data.empty())
        return 0;
    const std::uint32_t taken = device::Write(handle, data);
    sentCount_ += taken;
    return taken;
}

void ComPort::DiscardInput() noexcept
{
    const NativeHandle handle = handle_.load(std::memory_order_acquire);
    if (handle != kInvalidHandle)
        device::DiscardInput(handle);
}

} // namespace trovel::serial
