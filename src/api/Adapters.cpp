// Real adapters: RS-485 direction control of a line, and the serial ports with what the
// system tells about each.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

#include "TrovelSdk.h"
#include "api/Library.h"
#include "device/PortInfo.h"

using namespace trovel::api;

namespace {

static_assert(static_cast<int>(Cause::Rs485Unsupported) == TROVEL_ERR_RS485_UNSUPPORTED &&
              static_cast<int>(Cause::SettingRefused) == TROVEL_ERR_SETTING_REFUSED);
static_assert(static_cast<int>(trovel::device::Rs485Mode::RtsHighOnSend) == TROVEL_RS485_RTS_HIGH &&
              static_cast<int>(trovel::device::Rs485Mode::RtsLowOnSend) == TROVEL_RS485_RTS_LOW &&
              trovel::device::kMaxRs485DelayMs == TROVEL_RS485_MAX_DELAY_MS);

// Always NUL-terminated; cut to the field.
template <std::size_t N>
void Copy(char (&field)[N], const std::string& text) noexcept
{
    const std::size_t length = std::min(text.size(), N - 1);
    std::memcpy(field, text.data(), length);
    field[length] = '\0';
}

TrovelPortInfo ToHost(const trovel::device::PortInfo& port) noexcept
{
    TrovelPortInfo out{};
    out.size = sizeof out;
    Copy(out.name, port.name);
    Copy(out.description, port.description);
    Copy(out.manufacturer, port.manufacturer);
    Copy(out.serialNumber, port.serialNumber);
    Copy(out.location, port.location);
    out.vendorId = port.vendorId;
    out.productId = port.productId;
    out.latencyTimerMs = port.latencyTimerMs;
    out.inUse = port.inUse;
    return out;
}

} // namespace

extern "C" {

int TROVEL_CALL TrovelSetRs485(TrovelLine* line, int mode, int delayBeforeMs, int delayAfterMs)
{
    return Recorded([&] {
        const LineRef target = Resolve(line);
        if (!target)
            return Cause::BadLine;
        const auto inRange = [](int ms) { return ms >= 0 && ms <= trovel::device::kMaxRs485DelayMs; };
        if (mode < TROVEL_RS485_OFF || mode > TROVEL_RS485_RTS_LOW || !inRange(delayBeforeMs) || !inRange(delayAfterMs))
            return Cause::Argument;
        return target->SetRs485({static_cast<trovel::device::Rs485Mode>(mode), delayBeforeMs, delayAfterMs});
    });
}

int TROVEL_CALL TrovelListPortsInfo(TrovelPortInfo* ports, int count)
{
    constexpr std::size_t kSmallest = offsetof(TrovelPortInfo, description);
    const bool writing = ports != nullptr && count > 0;
    if (writing && ports[0].size < kSmallest)
        return -1;
    try {
        const auto all = trovel::device::ListPortsInfo();
        if (writing) {
            // The host's stride, read before anything is written over it.
            const std::size_t stride = ports[0].size;
            const std::size_t part = std::min<std::size_t>(stride, sizeof(TrovelPortInfo));
            auto* bytes = reinterpret_cast<unsigned char*>(ports);
            for (std::size_t i = 0; i < all.size() && i < static_cast<std::size_t>(count); ++i) {
                TrovelPortInfo one = ToHost(all[i]);
                one.size = static_cast<unsigned int>(stride);
                std::memcpy(bytes + i * stride, &one, part);
            }
        }
        return static_cast<int>(all.size());
    } catch (...) {
        return 0;
    }
}
}
