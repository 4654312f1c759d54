#pragma once
// What every export shares: the lines (the default line and the table of lines the host
// opened), the frame of a controller call with its entry checks, repeats and catch-all, and
// the cause of the calling thread's last call.

#include <cstdint>
#include <memory>

#include "TrovelSdk.h"
#include "line/Line.h"
#include "modbus/Frame.h"

namespace trovel::api {

using line::Cause;
using line::Line;

// A line a call works on. It keeps the line alive for the call, even when another thread
// closes the line meanwhile.
using LineRef = std::shared_ptr<Line>;

// The line of the classic exports: always there, never freed, settings kept across close
// and reopen.
Line& DefaultLine() noexcept;
TrovelLine* DefaultHandle() noexcept;

// The line a handle names: null names the default line; a handle that is not (or no
// longer) open gives an empty reference.
LineRef Resolve(TrovelLine* handle) noexcept;

// Opens a new line and enters it in the table; null, with the cause, when it cannot.
TrovelLine* OpenLine(const char* device, Cause& cause);
// Takes a line out of the table and closes it; the default line is only closed.
void CloseLine(TrovelLine* handle) noexcept;

// A test hook, not exported: makes a free slot of the table look as if it had been opened and
// closed `count` more times, so that the wrap of its generation can be tried without
// millions of opens.
void AdvanceSlotGenerationForTest(std::size_t slot, std::uint32_t count) noexcept;

// The cause of the calling thread's last call that talked to a controller or opened a port.
void RecordCause(Cause cause) noexcept;
int LastCause() noexcept;

// Runs `body` inside the catch-all and records its cause; 1 for success, else 0.
template <class Body>
int Recorded(Body&& body) noexcept
{
    Cause cause = Cause::Internal;
    try {
        cause = body();
    } catch (...) {
        cause = Cause::Internal; // no exception may cross into the host
    }
    RecordCause(cause);
    return cause == Cause::Ok ? 1 : 0;
}

struct CallRule {
    bool broadcast = false;  // address 0 is allowed too
    bool repeatable = true;  // false: never repeated (the request may have taken effect)
};

// The frame of every call that talks to a controller, classic or twin: the line is open,
// the device address lies in 1 to 16 (or is the broadcast address where allowed), then
// `body(line, address)` makes the call's own checks and its exchanges. A failure of the
// exchange is repeated as a whole, up to the line's retries, unless the rule or a broadcast
// forbids it.
template <class Body>
int ControllerCall(TrovelLine* handle, std::int32_t address, CallRule rule, Body&& body) noexcept
{
    return Recorded([&] {
        const LineRef line = Resolve(handle);
        if (!line)
            return Cause::BadLine;
        if (!line->IsOpen())
            return Cause::NotOpen;
        if (!modbus::IsDeviceAddress(address) && !(rule.broadcast && address == modbus::kBroadcastAddress))
            return Cause::Argument;
        const auto device = static_cast<std::uint8_t>(address);
        int repeats = rule.repeatable && device != modbus::kBroadcastAddress ? line->Retries() : 0;
        for (;;) {
            const Cause cause = body(*line, device);
            if (cause == Cause::Ok || !line::Repeatable(cause) || repeats-- == 0)
                return cause;
            line->CountRetry();
        }
    });
}

// Text results go into the buffer the host's own pointer points to; the host passes the
// address of that pointer. Null when either is missing, and the call then writes nothing.
inline char* HostBuffer(char** text) noexcept
{
    return text == nullptr ? nullptr : *text;
}

} // namespace trovel::api
