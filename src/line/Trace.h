#pragma once
// The frame trace as text: every exchange of every line, one line each, in the file that
// TROVEL_TRACE names when the library is loaded (or on stderr), so that a host that cannot
// be rebuilt can be diagnosed by setting a variable.

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "device/Device.h"
#include "line/Cause.h"
#include "util/Mutex.h"

namespace trovel::line {

// One exchange as a trace shows it.
struct ExchangeRecord {
    std::string_view lineName;
    std::uint8_t address;
    std::span<const std::uint8_t> request;
    std::span<const std::uint8_t> reply; // every byte the read received, local echo included
    std::chrono::microseconds elapsed;   // from the request to the end of the read
    Cause cause;
};

class TraceFile {
public:
    // Null when TROVEL_TRACE is not set or its file cannot be opened (a note on stderr says
    // why). A reader that goes away turns the trace off; the host never stops for it.
    static std::unique_ptr<TraceFile> FromEnvironment();
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    // "2026-12-09 10:11:12.345Z /dev/ttyUSB0 #1 > 01 03 00 64 00 02 85 D4 < 01 03 ... 105.2 ms ok"
    void Write(const ExchangeRecord& record) noexcept;
    // A remark of the library's own, such as a setting from the environment it ignored.
    void Note(std::string_view text) noexcept;

private:
    explicit TraceFile(std::unique_ptr<device::TextSink> sink) noexcept : sink_(std::move(sink)) {}
    void Put(std::string_view line) noexcept;

    util::Mutex mutex_;
    std::unique_ptr<device::TextSink> sink_;
};

} // namespace trovel::line
