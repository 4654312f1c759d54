#include "line/Trace.h"

#include <array>
#include <cstdio>
#include <ctime>

#include "device/Device.h"

namespace trovel::line {

namespace {

// Room for a whole 1024-byte reply in hex beside the rest of the line.
constexpr std::size_t kLineSize = 4 * 1024 + 512;

class LineBuilder {
public:
    void Text(std::string_view text) noexcept
    {
        for (const char c : text)
            if (used_ < buffer_.size() - 1)
                buffer_[used_++] = c;
    }
    template <class... Args>
    void Format(const char* format, Args... args) noexcept
    {
        const int n = std::snprintf(buffer_.data() + used_, buffer_.size() - used_, format, args...);
        if (n > 0)
            used_ = std::min(buffer_.size() - 1, used_ + static_cast<std::size_t>(n));
    }
    void Hex(std::span<const std::uint8_t> bytes) noexcept
    {
        for (const auto b : bytes)
            Format(" %02X", b);
    }
    std::string_view View() const noexcept { return {buffer_.data(), used_}; }

private:
    std::array<char, kLineSize> buffer_{};
    std::size_t used_ = 0;
};

// The civil date of a count of days since 1970-01-01 (proleptic Gregorian), so the trace
// needs no platform call to print UTC.
void CivilDate(long long days, int& year, unsigned& month, unsigned& day) noexcept
{
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shifted = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * shifted + 2) / 5 + 1;
    month = shifted < 10 ? shifted + 3 : shifted - 9;
    year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
}

void Timestamp(LineBuilder& line) noexcept
{
    using namespace std::chrono;
    const auto now = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    const long long seconds = now / 1000;
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    CivilDate(seconds / 86400, year, month, day);
    const long long inDay = seconds % 86400;
    line.Format("%04d-%02u-%02u %02lld:%02lld:%02lld.%03lldZ ", year, month, day, inDay / 3600, inDay / 60 % 60,
                inDay % 60, now % 1000);
}

} // namespace

std::unique_ptr<TraceFile> TraceFile::FromEnvironment()
{
    const auto target = device::Environment("TROVEL_TRACE");
    if (!target || target->empty())
        return nullptr;
    auto opened = device::OpenTextSink(*target);
    if (!opened.sink) {
        // Said once, where a person who set the variable will look.
        if (auto stderrSink = device::OpenTextSink("stderr").sink)
            stderrSink->Write("trovelsdk: TROVEL_TRACE=" + *target + " skipped: " + opened.why);
        return nullptr;
    }
    return std::unique_ptr<TraceFile>(new TraceFile(std::move(opened.sink)));
}

TraceFile::~TraceFile() = default;

void TraceFile::Put(std::string_view line) noexcept
{
    const std::lock_guard hold(mutex_);
    sink_->Write(line);
}

void TraceFile::Write(const ExchangeRecord& record) noexcept
{
    LineBuilder line;
    Timestamp(line);
    line.Text(record.lineName);
    line.Format(" #%u >", static_cast<unsigned>(record.address));
    line.Hex(record.request);
    line.Text(" <");
    line.Hex(record.reply);
    const long long tenths = record.elapsed.count() / 100;
    line.Format(" %lld.%lld ms ", tenths / 10, tenths % 10);
    line.Text(CauseText(static_cast<int>(record.cause)));
    Put(line.View());
}

void TraceFile::Note(std::string_view text) noexcept
{
    LineBuilder line;
    Timestamp(line);
    line.Text("trovelsdk: ");
    line.Text(text);
    Put(line.View());
}

} // namespace trovel::line
