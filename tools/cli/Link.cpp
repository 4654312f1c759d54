#include "Link.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <utility>

#include "Format.h"
#include "Platform.h"

namespace trovelctl {

void FailUsage(const std::string& message) { throw Failure(kExitUsage, message); }
void FailController(const std::string& message, int cause) { throw Failure(kExitController, message, cause); }

Json CauseJson(int cause)
{
    if (cause == TROVEL_OK)
        return {};
    return Json::Object{{"code", cause}, {"text", std::string(TrovelErrorText(cause))}};
}

namespace {

// The library's gap after the last byte of a reply, kept when only the total is changed.
constexpr int kDefaultGapMs = 100;

// What to check for each cause of a failed exchange; the library's text says what happened.
constexpr std::array<std::pair<int, const char*>, 7> kAdvice{{
    {TROVEL_ERR_NO_REPLY, "check the address and the wiring"},
    {TROVEL_ERR_SHORT_REPLY, "check for line noise and a controller that restarts"},
    {TROVEL_ERR_CRC, "check termination and line noise"},
    {TROVEL_ERR_MISMATCH, "check for two controllers at one address or a second master on the line"},
    {TROVEL_ERR_TWO_FRAMES, "an adapter that echoes needs --local-echo; a slow controller a longer --reply-timeout"},
    {TROVEL_ERR_ECHO, "this adapter does not echo: leave out --local-echo"},
    {TROVEL_ERR_DEVICE_GONE, "the adapter was pulled or the connection lost"},
}};

bool IsNetwork(const std::string& device) { return device.find("://") != std::string::npos; }

// Where the line's time of day is shown with the frames, as in the library's own trace file.
std::string UtcTimeOfDay()
{
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() % (86400LL * 1000);
    char text[24];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%03lldZ", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60,
                  ms % 1000);
    return text;
}

std::string Hex(const unsigned char* bytes, int length)
{
    std::string text;
    char byte[4];
    for (int i = 0; i < length; ++i) {
        std::snprintf(byte, sizeof byte, " %02X", bytes[i]);
        text += byte;
    }
    return text;
}

constexpr std::array<StatsField, 16> kStatsFields{{
    {&TrovelLineStats::exchanges, "exchanges", "exchanges", false},
    {&TrovelLineStats::successes, "successes", "successes", false},
    {&TrovelLineStats::failures, "failures", "failures", false},
    {&TrovelLineStats::noReply, "no_reply", "no reply", true},
    {&TrovelLineStats::shortReplies, "short_replies", "short reply", true},
    {&TrovelLineStats::crcErrors, "crc_errors", "CRC error", true},
    {&TrovelLineStats::mismatches, "mismatches", "foreign reply", true},
    {&TrovelLineStats::twoFrames, "two_frames", "two frames", true},
    {&TrovelLineStats::exceptions, "exceptions", "exception", true},
    {&TrovelLineStats::echoErrors, "echo_errors", "echo error", true},
    {&TrovelLineStats::deviceGone, "device_gone", "device gone", true},
    {&TrovelLineStats::retries, "retries", "retries", false},
    {&TrovelLineStats::settles, "settles", "settles", false},
    {&TrovelLineStats::reopens, "reopens", "reopens", false},
    {&TrovelLineStats::bytesSent, "bytes_sent", "bytes sent", false},
    {&TrovelLineStats::bytesReceived, "bytes_received", "bytes received", false},
}};

} // namespace

std::string CauseMessage(int cause, int replyTimeoutMs, std::optional<unsigned> reg)
{
    if (cause > TROVEL_ERR_EXCEPTION_BASE)
        return (reg ? "refused register " + std::to_string(*reg) : std::string("refused the request")) + ": " +
               TrovelErrorText(cause);
    const std::string what = cause == TROVEL_ERR_NO_REPLY ? "no reply within " + std::to_string(replyTimeoutMs) + " ms"
                                                          : std::string(TrovelErrorText(cause));
    for (const auto& [code, advice] : kAdvice)
        if (code == cause)
            return what + " — " + advice;
    return what;
}

std::string OpenMessage(int cause, const std::string& device)
{
    switch (cause) {
    case TROVEL_ERR_NO_DEVICE:
        return IsNetwork(device) ? "no such host" : "no such device — 'trovelctl ports' lists the serial ports";
    case TROVEL_ERR_BUSY:
        return "busy: another program holds it (a terminal program, ModemManager, another trovelctl)";
    case TROVEL_ERR_PERMISSION: {
        const std::string advice = PermissionAdvice(device);
        return "permission denied" + (advice.empty() ? std::string() : " — " + advice);
    }
    case TROVEL_ERR_CONNECT:
        return "cannot connect — check the gateway's address and port, that it is on, and firewalls";
    default:
        return TrovelErrorText(cause);
    }
}

std::optional<Rs485Choice> ParseRs485(const std::string& text)
{
    constexpr std::array<std::pair<const char*, int>, 3> kModes{
        {{"off", TROVEL_RS485_OFF}, {"rts-high", TROVEL_RS485_RTS_HIGH}, {"rts-low", TROVEL_RS485_RTS_LOW}}};
    const auto comma = text.find(',');
    const std::string word = text.substr(0, comma);
    const auto mode = std::find_if(kModes.begin(), kModes.end(), [&](const auto& m) { return word == m.first; });
    if (mode == kModes.end())
        return std::nullopt;
    Rs485Choice choice{mode->second};
    if (comma == std::string::npos)
        return choice;
    // Two whole numbers of milliseconds after the mode, nothing else.
    int before = -1, after = -1;
    char rest = 0;
    if (std::sscanf(text.c_str() + comma + 1, "%3d,%3d%c", &before, &after, &rest) != 2 || before < 0 ||
        after < 0 || before > TROVEL_RS485_MAX_DELAY_MS || after > TROVEL_RS485_MAX_DELAY_MS ||
        text.find_first_not_of("0123456789,", comma) != std::string::npos)
        return std::nullopt;
    choice.delayBeforeMs = before;
    choice.delayAfterMs = after;
    return choice;
}

Line::Line(const LineOptions& options) : verbose_(options.verbose)
{
    const std::string device = options.device.empty() ? ComPortDevice(options.port) : options.device;
    name_ = options.device.empty() ? ComPortName(options.port) : options.device;
    handle_ = TrovelOpenLine(device.c_str());
    if (!handle_) {
        const int cause = TrovelLastError();
        throw Failure(kExitPort, "cannot open " + name_ + ": " + OpenMessage(cause, device), cause);
    }
    // The values were checked on the command line, within the library's ranges.
    if (options.replyTimeoutMs) {
        replyTimeoutMs_ = *options.replyTimeoutMs;
        gapMs_ = std::min(kDefaultGapMs, replyTimeoutMs_);
        TrovelSetTimeouts(handle_, replyTimeoutMs_, gapMs_);
    }
    frameReplies_ = options.frameReplies;
    retries_ = options.retries.value_or(0);
    Retry(true);
    TrovelSetLocalEcho(handle_, options.localEcho ? 1 : 0);
    TrovelSetReplyMode(handle_, options.frameReplies ? TROVEL_REPLY_FRAME : TROVEL_REPLY_SILENCE);
    // An adapter that cannot switch direction on request still carries the line: said, not fatal.
    if (options.rs485) {
        const auto rs485 = ParseRs485(*options.rs485); // checked on the command line
        if (rs485 && TrovelSetRs485(handle_, rs485->mode, rs485->delayBeforeMs, rs485->delayAfterMs) == 0)
            std::fprintf(stderr, "trovelctl: --rs485 %s not set on %s: %s\n", options.rs485->c_str(), name_.c_str(),
                         TrovelErrorText(TrovelLastError()));
    }
    // Always on: a refusal's message names the register of the request it refused.
    TrovelSetTrace(handle_, OnExchange, this);
}

Line::~Line() { TrovelCloseLine(handle_); }

void TROVEL_CALL Line::OnExchange(void* user, TrovelLine*, int address, const unsigned char* request,
                                  int requestLength, const unsigned char* reply, int replyLength,
                                  int elapsedMicroseconds, int outcome)
{
    // Nothing may leave a callback through the library's C frames.
    try {
        auto& self = *static_cast<Line*>(user);
        self.lastRequest_.assign(request, request + std::max(requestLength, 0));
        if (!self.verbose_)
            return;
        // The layout of the library's trace file (TROVEL_TRACE), without the date.
        std::fprintf(stderr, "%s %s #%d >%s <%s %.1f ms %s\n", UtcTimeOfDay().c_str(), self.name_.c_str(), address,
                     Hex(request, requestLength).c_str(), Hex(reply, replyLength).c_str(),
                     elapsedMicroseconds / 1000.0, TrovelErrorText(outcome));
        std::fflush(stderr);
    } catch (...) {
    }
}

std::optional<unsigned> Line::LastRegister() const
{
    // Address, function, then the first register for reads (3) and writes (6, 16) alike.
    if (lastRequest_.size() < 4 || (lastRequest_[1] != 3 && lastRequest_[1] != 6 && lastRequest_[1] != 16))
        return std::nullopt;
    return static_cast<unsigned>(lastRequest_[2] << 8 | lastRequest_[3]);
}

void Line::Retry(bool on) const { TrovelSetRetries(handle_, on ? retries_ : 0); }

TrovelLineStats Line::Stats() const
{
    TrovelLineStats stats{};
    stats.size = sizeof stats;
    TrovelGetLineStats(handle_, &stats);
    return stats;
}

std::span<const StatsField> StatsFields() { return kStatsFields; }

TrovelLineStats Since(const TrovelLineStats& before, const TrovelLineStats& after)
{
    TrovelLineStats difference = after;
    for (const auto& field : kStatsFields)
        difference.*field.count = after.*field.count - before.*field.count;
    return difference;
}

void Add(TrovelLineStats& sum, const TrovelLineStats& more)
{
    for (const auto& field : kStatsFields)
        sum.*field.count += more.*field.count;
}

std::string FailuresByCause(const TrovelLineStats& counts)
{
    std::string list;
    for (const auto& field : kStatsFields)
        if (field.failure && counts.*field.count != 0)
            AppendItem(list, std::string(field.label) + " " + std::to_string(counts.*field.count), ", ");
    return list;
}

std::string Controller::Who() const { return "controller " + std::to_string(address_) + " on " + line_.Name(); }

std::string Controller::Why(const std::string& doing) const
{
    return CauseMessage(TrovelLastError(), line_.ReplyTimeoutMs(), line_.LastRegister()) + " (" + doing + ")";
}

std::string Controller::Failed(const std::string& doing) const
{
    const bool refused = TrovelLastError() > TROVEL_ERR_EXCEPTION_BASE; // "controller 3 ... refused register"
    return Who() + (refused ? " " : ": ") + Why(doing);
}

void Controller::Fail(const std::string& doing) const
{
    const int cause = TrovelLastError();
    throw Failure(kExitController, Failed(doing), cause);
}

void Controller::Require(int result, const std::string& doing) const
{
    if (!result)
        Fail(doing);
}

float Controller::Read(FloatRead read, const std::string& doing) const
{
    float value = 0;
    Require(read(Handle(), address_, &value), doing);
    return value;
}

int Controller::Read(IntRead read, const std::string& doing) const
{
    int value = 0;
    Require(read(Handle(), address_, &value), doing);
    return value;
}

std::string Controller::Read(TextRead read, const std::string& doing) const
{
    auto text = TryRead(read);
    if (!text)
        Fail(doing);
    return *text;
}

std::optional<float> Controller::TryRead(FloatRead read) const
{
    float value = 0;
    return read(Handle(), address_, &value) ? std::optional(value) : std::nullopt;
}

std::optional<int> Controller::TryRead(IntRead read) const
{
    int value = 0;
    return read(Handle(), address_, &value) ? std::optional(value) : std::nullopt;
}

std::optional<std::string> Controller::TryRead(TextRead read) const
{
    // Room for the longest text any read writes (the 28-byte serial number).
    std::array<char, 64> buffer{};
    char* text = buffer.data();
    if (!read(Handle(), address_, &text))
        return std::nullopt;
    return std::string(buffer.data());
}

} // namespace trovelctl
