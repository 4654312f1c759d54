// The library's state, built when it is loaded and torn down when it is unloaded: the trace
// file the environment asks for, the default line with the settings the environment gives
// it, and the table of the lines the host opened.

#include "api/Library.h"

#include <array>
#include <charconv>
#include <optional>
#include <string>
#include <string_view>

#include "device/Device.h"
#include "util/Mutex.h"
#include "util/ThreadSlot.h"

namespace trovel::api {

namespace {

// Handles are numbers, not addresses: slot and generation, so that a handle to a closed
// line is refused even after its slot has been given to a new one. Slot 0 is the default
// line's. A handle is taken only when every bit of it is one this table gave out: on 64-bit
// hosts the upper half must be zero, so no alias of a handle reaches its line.
class LineTable {
public:
    static constexpr std::size_t kSlots = 256;
    static constexpr unsigned kSlotBits = 8;
    // Fits a 32-bit pointer beside the slot; counting wraps inside these bits (never to 0).
    static constexpr std::uint32_t kGenerationMask = 0xFFFFFFu;

    TrovelLine* Insert(std::shared_ptr<Line> line)
    {
        const std::lock_guard hold(mutex_);
        for (std::size_t i = 1; i < kSlots; ++i) {
            Slot& slot = slots_[i];
            if (slot.line)
                continue;
            slot.generation = Next(slot.generation);
            TrovelLine* handle = Encode(i, slot.generation);
            line->SetHandle(handle);
            slot.line = std::move(line);
            return handle;
        }
        return nullptr;
    }

    LineRef Find(TrovelLine* handle) noexcept
    {
        const std::lock_guard hold(mutex_);
        const Slot* slot = SlotOf(handle);
        return slot == nullptr ? nullptr : slot->line;
    }

    LineRef Remove(TrovelLine* handle) noexcept
    {
        const std::lock_guard hold(mutex_);
        Slot* slot = SlotOf(handle);
        if (slot == nullptr || !slot->line)
            return nullptr;
        slot->generation = Next(slot->generation); // the handle is refused from now on
        return std::move(slot->line);
    }

    static TrovelLine* Encode(std::size_t index, std::uint32_t generation) noexcept
    {
        return reinterpret_cast<TrovelLine*>((static_cast<std::uintptr_t>(generation & kGenerationMask) << kSlotBits) | index);
    }

    // For tests: a slot that has been reused `count` more times, without opening anything.
    void AdvanceGeneration(std::size_t index, std::uint32_t count) noexcept
    {
        const std::lock_guard hold(mutex_);
        if (index == 0 || index >= kSlots || slots_[index].line)
            return;
        slots_[index].generation = (slots_[index].generation + count) & kGenerationMask;
    }

private:
    struct Slot {
        std::shared_ptr<Line> line;
        std::uint32_t generation = 0;
    };

    static std::uint32_t Next(std::uint32_t generation) noexcept
    {
        const std::uint32_t next = (generation + 1) & kGenerationMask;
        return next == 0 ? 1 : next;
    }

    // The slot a handle names, when the handle is exactly what that slot's current
    // generation encodes.
    Slot* SlotOf(TrovelLine* handle) noexcept
    {
        const auto index = reinterpret_cast<std::uintptr_t>(handle) & (kSlots - 1);
        if (index == 0 || slots_[index].generation == 0 || Encode(index, slots_[index].generation) != handle)
            return nullptr;
        return &slots_[index];
    }

    util::Mutex mutex_;
    std::array<Slot, kSlots> slots_{};
};

std::optional<int> ParseInt(std::string_view text)
{
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// "rts-high", "rts-low" or "off", then optionally ",BEFORE_MS,AFTER_MS".
std::optional<device::Rs485> ParseRs485(const std::string& text)
{
    const auto comma = text.find(',');
    const std::string mode = text.substr(0, comma);
    device::Rs485 settings;
    if (mode == "rts-high")
        settings.mode = device::Rs485Mode::RtsHighOnSend;
    else if (mode == "rts-low")
        settings.mode = device::Rs485Mode::RtsLowOnSend;
    else if (mode != "off")
        return std::nullopt;
    if (comma == std::string::npos)
        return settings;
    const std::string delays = text.substr(comma + 1);
    const auto second = delays.find(',');
    const int before = ParseInt(std::string_view(delays).substr(0, second)).value_or(-1);
    const int after = second == std::string::npos ? -1 : ParseInt(std::string_view(delays).substr(second + 1)).value_or(-1);
    const auto inRange = [](int ms) { return ms >= 0 && ms <= device::kMaxRs485DelayMs; };
    if (!inRange(before) || !inRange(after))
        return std::nullopt;
    settings.delayBeforeMs = before;
    settings.delayAfterMs = after;
    return settings;
}

// Settings for hosts that cannot be rebuilt. A value the line refuses is left out, with a
// remark in the trace when there is one.
void ApplyEnvironment(Line& line, line::TraceFile* trace)
{
    const auto refuse = [trace](const char* name, const std::string& value) {
        if (trace != nullptr)
            trace->Note(std::string(name) + "=" + value + " ignored: not a valid value");
    };
    if (const auto value = device::Environment("TROVEL_TIMEOUTS")) {
        const auto comma = value->find(',');
        const auto total = ParseInt(std::string_view(*value).substr(0, comma));
        const auto gap = comma == std::string::npos ? std::nullopt : ParseInt(std::string_view(*value).substr(comma + 1));
        if (!total || !gap || !line.SetTimeouts(*total, *gap))
            refuse("TROVEL_TIMEOUTS", *value);
    }
    if (const auto value = device::Environment("TROVEL_RETRIES")) {
        const auto count = ParseInt(*value);
        if (!count || !line.SetRetries(*count))
            refuse("TROVEL_RETRIES", *value);
    }
    if (const auto value = device::Environment("TROVEL_LOCAL_ECHO")) {
        if (*value == "1" || *value == "0")
            line.SetLocalEcho(*value == "1");
        else
            refuse("TROVEL_LOCAL_ECHO", *value);
    }
    if (const auto value = device::Environment("TROVEL_RS485")) {
        const auto settings = ParseRs485(*value);
        if (!settings)
            refuse("TROVEL_RS485", *value);
        else
            static_cast<void>(line.SetRs485(*settings)); // the line is closed: kept for the open
    }
    if (const auto value = device::Environment("TROVEL_REPLY_MODE")) {
        if (*value == "frame" || *value == "silence")
            line.SetReplyMode(*value == "frame" ? TROVEL_REPLY_FRAME : TROVEL_REPLY_SILENCE);
        else
            refuse("TROVEL_REPLY_MODE", *value);
    }
}

// In this order: the default line writes to the trace file, and the table's lines are
// closed before the default line goes.
const std::unique_ptr<line::TraceFile> theTrace = line::TraceFile::FromEnvironment();

Line& MakeDefaultLine()
{
    static Line line(theTrace.get());
    line.SetHandle(LineTable::Encode(0, 1));
    ApplyEnvironment(line, theTrace.get());
    return line;
}

Line& theDefaultLine = MakeDefaultLine();
LineTable theTable;

util::ThreadSlot theLastCause;

} // namespace

Line& DefaultLine() noexcept
{
    return theDefaultLine;
}

TrovelLine* DefaultHandle() noexcept
{
    return LineTable::Encode(0, 1);
}

LineRef Resolve(TrovelLine* handle) noexcept
{
    // The default line is not owned by a reference: an aliasing pointer without a count.
    if (handle == nullptr || handle == DefaultHandle())
        return LineRef(LineRef(), &theDefaultLine);
    return theTable.Find(handle);
}

TrovelLine* OpenLine(const char* device, Cause& cause)
{
    if (device == nullptr || *device == '\0') {
        cause = Cause::Argument;
        return nullptr;
    }
    auto line = std::make_shared<Line>(theTrace.get());
    cause = line->Open(device);
    if (cause != Cause::Ok)
        return nullptr;
    TrovelLine* handle = theTable.Insert(line);
    if (handle == nullptr) {
        cause = Cause::OpenFailed; // every slot of the table is taken
        line->Close();
    }
    return handle;
}

void CloseLine(TrovelLine* handle) noexcept
{
    if (handle == nullptr)
        return;
    if (handle == DefaultHandle()) {
        theDefaultLine.Close();
        return;
    }
    if (const LineRef line = theTable.Remove(handle))
        line->Close();
}

void AdvanceSlotGenerationForTest(std::size_t slot, std::uint32_t count) noexcept
{
    theTable.AdvanceGeneration(slot, count);
}

void RecordCause(Cause cause) noexcept
{
    theLastCause.Set(static_cast<int>(cause));
}

int LastCause() noexcept
{
    return theLastCause.Get();
}

} // namespace trovel::api
