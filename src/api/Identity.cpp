// Identity and dates: the serial number and two dates read as text, the factory date set
// from text. Text goes into the host's own buffer, whose address the host passes.

#include <algorithm>
#include <array>
#include <span>

#include "TrovelSdk.h"
#include "api/Controller.h"
#include "api/Library.h"
#include "modbus/RegisterMap.h"
#include "util/DateText.h"

namespace trovel::api {
namespace {

// Factory dates outside this window read as the earliest one.
inline constexpr std::int32_t kEarliestFactoryDate = 20190924;
inline constexpr std::int32_t kLatestFactoryDate = 29991231;

enum class Bounds { None, FactoryWindow };

// The 12 serial bytes from the six registers, in reply order.
bool ReadSerialNumber(std::int32_t address, std::array<std::uint8_t, util::kSerialBytes>& bytes) noexcept
{
    return Guarded([&] {
        if (!EntryChecksPass(address))
            return false;
        ReplyBuffer reply;
        if (!ReadRegisters(address, reg::SerialNumber, reg::SerialNumberRegisters, reply))
            return false;
        std::copy_n(reply.begin() + kReplyDataOffset, bytes.size(), bytes.begin());
        return true;
    }) == 1;
}

int ReadDate(std::int32_t address, std::uint16_t firstRegister, Bounds bounds, char** text) noexcept
{
    return Guarded([&] {
        char* out = HostBuffer(text);
        if (!EntryChecksPass(address) || out == nullptr)
            return false;
        std::uint32_t bits = 0;
        if (!ReadRegisterPair(address, firstRegister, bits))
            return false;
        auto date = static_cast<std::int32_t>(bits);
        if (bounds == Bounds::FactoryWindow && (date <= kEarliestFactoryDate || date > kLatestFactoryDate))
            date = kEarliestFactoryDate;
        const auto rendered = util::RenderDate(date);
        if (!rendered)
            return false; // too few digits for the two dashes: the host's buffer stays as it was
        std::copy_n(rendered->begin(), std::char_traits<char>::length(rendered->data()) + 1, out);
        return true;
    });
}

} // namespace
} // namespace trovel::api

using namespace trovel::api;
namespace reg = trovel::reg;

extern "C" {

int TROVEL_CALL GetSerial(int address, char** text)
{
    char* out = HostBuffer(text);
    if (!EntryChecksPass(address) || out == nullptr)
        return 0;
    std::array<std::uint8_t, trovel::util::kSerialBytes> bytes{};
    if (!ReadSerialNumber(address, bytes))
        return 0;
    const auto rendered = trovel::util::RenderSerial(bytes);
    std::copy(rendered.begin(), rendered.end(), out);
    return 1;
}

int TROVEL_CALL GetBiosDate(int address, char** text) { return ReadDate(address, reg::BiosDate, Bounds::None, text); }
int TROVEL_CALL GetFactroyDate(int address, char** text) { return ReadDate(address, reg::FactoryDate, Bounds::FactoryWindow, text); }

int TROVEL_CALL SetFactroyDate(int address, char* text)
{
    return Guarded([&] {
        if (!EntryChecksPass(address) || text == nullptr)
            return false;
        // The dashes go from the host's text whatever happens next.
        trovel::util::RemoveDashes(text);
        const auto date = trovel::util::ParseLeadingInt(text);
        if (!date)
            return false; // no number to write: refuse rather than send an arbitrary value
        return WriteRegisterPair(static_cast<std::uint8_t>(address), reg::FactoryDate, static_cast<std::uint32_t>(*date));
    });
}
}
