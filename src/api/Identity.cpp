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

int ReadSerial(TrovelLine* handle, std::int32_t address, char** text) noexcept
{
    return ControllerCall(handle, address, {}, [&](Line& line, std::uint8_t device) {
        char* out = HostBuffer(text);
        if (out == nullptr)
            return Cause::Argument;
        ReplyBuffer buffer;
        std::span<const std::uint8_t> data;
        const Cause cause = ReadRegisters(line, device, reg::SerialNumber, reg::SerialNumberRegisters, buffer, data);
        if (cause != Cause::Ok)
            return cause;
        const auto rendered = util::RenderSerial(data.first<util::kSerialBytes>());
        std::copy(rendered.begin(), rendered.end(), out);
        return Cause::Ok;
    });
}

int ReadDate(TrovelLine* handle, std::int32_t address, std::uint16_t firstRegister, Bounds bounds, char** text) noexcept
{
    return ControllerCall(handle, address, {}, [&](Line& line, std::uint8_t device) {
        char* out = HostBuffer(text);
        if (out == nullptr)
            return Cause::Argument;
        std::uint32_t bits = 0;
        const Cause cause = ReadRegisterPair(line, device, firstRegister, bits);
        if (cause != Cause::Ok)
            return cause;
        auto date = static_cast<std::int32_t>(bits);
        if (bounds == Bounds::FactoryWindow && (date <= kEarliestFactoryDate || date > kLatestFactoryDate))
            date = kEarliestFactoryDate;
        const auto rendered = util::RenderDate(date);
        // Too few digits for the two dashes: the value has no text form, and the host's
        // buffer stays as it was.
        if (!rendered)
            return Cause::BadValue;
        std::copy_n(rendered->begin(), std::char_traits<char>::length(rendered->data()) + 1, out);
        return Cause::Ok;
    });
}

int WriteFactoryDate(TrovelLine* handle, std::int32_t address, char* text) noexcept
{
    return ControllerCall(handle, address, {}, [&](Line& line, std::uint8_t device) {
        if (text == nullptr)
            return Cause::Argument;
        // The dashes go from the host's text whatever happens next (again on a repeat,
        // which changes nothing).
        util::RemoveDashes(text);
        const auto date = util::ParseLeadingInt(text);
        if (!date)
            return Cause::Argument; // no number to write: refuse rather than send an arbitrary value
        return WriteRegisterPair(line, device, reg::FactoryDate, static_cast<std::uint32_t>(*date));
    });
}

} // namespace
} // namespace trovel::api

using namespace trovel::api;
namespace reg = trovel::reg;

extern "C" {
int TROVEL_CALL GetSerial(int address, char** text) { return ReadSerial(nullptr, address, text); }
int TROVEL_CALL GetBiosDate(int address, char** text) { return ReadDate(nullptr, address, reg::BiosDate, Bounds::None, text); }
int TROVEL_CALL GetFactroyDate(int address, char** text) { return ReadDate(nullptr, address, reg::FactoryDate, Bounds::FactoryWindow, text); }
int TROVEL_CALL SetFactroyDate(int address, char* text) { return WriteFactoryDate(nullptr, address, text); }

int TROVEL_CALL TrovelGetSerial(TrovelLine* line, int address, char** text) { return ReadSerial(line, address, text); }
int TROVEL_CALL TrovelGetBiosDate(TrovelLine* line, int address, char** text) { return ReadDate(line, address, reg::BiosDate, Bounds::None, text); }
int TROVEL_CALL TrovelGetFactroyDate(TrovelLine* line, int address, char** text) { return ReadDate(line, address, reg::FactoryDate, Bounds::FactoryWindow, text); }
int TROVEL_CALL TrovelSetFactroyDate(TrovelLine* line, int address, char* text) { return WriteFactoryDate(line, address, text); }
}
