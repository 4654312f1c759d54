#pragma once
// The line and the controllers on it, as trovelctl sees them through the library: every
// failed call becomes a message that names the controller, the line, the cause the library
// gives and what to check.

#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "Json.h"
#include "TrovelSdk.h"

namespace trovelctl {

// Exit codes that scripts rely on.
inline constexpr int kExitOk = 0;
inline constexpr int kExitController = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitPort = 3;

// Ends the command with its message on stderr and its exit code; with --json, stdout gets
// the message and the library's cause too, unless the command's own output carried them.
class Failure : public std::runtime_error {
public:
    Failure(int exitCode, const std::string& message, int cause = TROVEL_OK)
        : std::runtime_error(message), exitCode_(exitCode), cause_(cause)
    {
    }
    int ExitCode() const noexcept { return exitCode_; }
    int Cause() const noexcept { return cause_; } // TROVEL_OK when no library call failed
    bool Reported() const noexcept { return reported_; }
    Failure& MarkReported(bool reported = true) noexcept
    {
        reported_ = reported;
        return *this;
    }

private:
    int exitCode_;
    int cause_;
    bool reported_ = false;
};

[[noreturn]] void FailUsage(const std::string& message);
[[noreturn]] void FailController(const std::string& message, int cause = TROVEL_OK);

// {"code": 20, "text": "no reply within the time-out"}; null for TROVEL_OK.
Json CauseJson(int cause);

// What a failed exchange means for the person at the line: "no reply within 250 ms — check
// the address and the wiring", "refused register 300: illegal data address (exception 02)".
std::string CauseMessage(int cause, int replyTimeoutMs, std::optional<unsigned> reg);
// Why a line could not be opened: "busy: in use by another program or line".
std::string OpenMessage(int cause, const std::string& device);

// "rts-high", "rts-low" or "off", optionally with ",BEFORE_MS,AFTER_MS" (0 to 100 each):
// the mode and delays of TrovelSetRs485; nothing for any other text.
struct Rs485Choice {
    int mode;
    int delayBeforeMs = 0;
    int delayAfterMs = 0;
};
std::optional<Rs485Choice> ParseRs485(const std::string& text);

// Which line and how to talk on it.
struct LineOptions {
    std::string device;  // a serial device, COMn or a network URL
    unsigned port = 0;   // else a port number as OpenCom takes it
    std::optional<int> replyTimeoutMs;
    std::optional<int> retries;
    bool localEcho = false;
    bool frameReplies = true; // end a read as soon as the reply is complete
    bool verbose = false;     // every exchange on stderr
    std::optional<std::string> rs485; // "rts-high", "rts-low" or "off", then optionally ",BEFORE,AFTER"
};

// The open line for the life of the command; closed by the destructor.
class Line {
public:
    explicit Line(const LineOptions& options); // a Failure with kExitPort when it cannot be opened
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    const std::string& Name() const noexcept { return name_; }
    TrovelLine* Handle() const noexcept { return handle_; }
    int ReplyTimeoutMs() const noexcept { return replyTimeoutMs_; }
    int GapMs() const noexcept { return gapMs_; }
    bool FrameReplies() const noexcept { return frameReplies_; }
    // The register named by the last request sent, for messages about a refusal.
    std::optional<unsigned> LastRegister() const;
    TrovelLineStats Stats() const;
    // Turns the retries the command line asked for off and on again.
    void Retry(bool on) const;

private:
    static void TROVEL_CALL OnExchange(void* user, TrovelLine* line, int address, const unsigned char* request,
                                       int requestLength, const unsigned char* reply, int replyLength,
                                       int elapsedMicroseconds, int outcome);

    std::string name_;
    TrovelLine* handle_ = nullptr;
    int replyTimeoutMs_ = 250;
    int gapMs_ = 100;
    bool frameReplies_ = true;
    int retries_ = 0;
    bool verbose_ = false;
    std::vector<unsigned char> lastRequest_;
};

// Each count of the line statistics with its JSON key and its words; `failure` marks the
// counts of one cause of failure.
struct StatsField {
    unsigned TrovelLineStats::*count;
    const char* key;
    const char* label;
    bool failure;
};
std::span<const StatsField> StatsFields();
// Counts of a stretch of exchanges: the difference of two statistics of one line.
TrovelLineStats Since(const TrovelLineStats& before, const TrovelLineStats& after);
void Add(TrovelLineStats& sum, const TrovelLineStats& more);
// "no reply 2, CRC error 1", or "" when nothing failed.
std::string FailuresByCause(const TrovelLineStats& counts);

class Controller {
public:
    using FloatRead = int(TROVEL_CALL*)(TrovelLine*, int, float*);
    using IntRead = int(TROVEL_CALL*)(TrovelLine*, int, int*);
    using TextRead = int(TROVEL_CALL*)(TrovelLine*, int, char**);
    using Order = int(TROVEL_CALL*)(TrovelLine*, int);
    using FloatWrite = int(TROVEL_CALL*)(TrovelLine*, int, float);
    using IntWrite = int(TROVEL_CALL*)(TrovelLine*, int, int);

    Controller(const Line& line, int address) : line_(line), address_(address) {}
    int Address() const noexcept { return address_; }
    const Line& OnLine() const noexcept { return line_; }
    TrovelLine* Handle() const noexcept { return line_.Handle(); }
    std::string Who() const; // "controller 3 on /dev/ttyUSB0"

    // Why the call just made failed, from the cause the library recorded for it:
    // "controller 3 on /dev/ttyUSB0: no reply within 250 ms — check the address and the
    // wiring (reading the run state)".
    std::string Failed(const std::string& doing) const;
    // The same without the controller: "no reply within 250 ms — ... (reading the run state)".
    std::string Why(const std::string& doing) const;
    [[noreturn]] void Fail(const std::string& doing) const;

    // Throws the failure with its cause when the call returned 0.
    void Require(int result, const std::string& doing) const;
    bool Send(Order order) const { return order(Handle(), address_) != 0; }
    float Read(FloatRead read, const std::string& doing) const;
    int Read(IntRead read, const std::string& doing) const;
    std::string Read(TextRead read, const std::string& doing) const;

    // Nothing when the exchange failed; TrovelLastError() tells why.
    std::optional<float> TryRead(FloatRead read) const;
    std::optional<int> TryRead(IntRead read) const;
    std::optional<std::string> TryRead(TextRead read) const;

private:
    const Line& line_;
    int address_;
};

} // namespace trovelctl
