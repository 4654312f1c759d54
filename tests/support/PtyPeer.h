#pragma once
// A scripted controller on the master side of a pseudo-terminal: the library opens the
// slave side by path; the peer expects request bytes, waits, answers, pauses, answers more.

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "support/Hex.h"

namespace trovel::test {

using Millis = std::chrono::milliseconds;

class PtyPeer {
public:
    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const std::string& DevicePath() const { return path_; }

    // Script steps, run in order by Start() on the peer's own thread.
    PtyPeer& Expect(Bytes request, Millis timeout = Millis(2000));
    PtyPeer& Pause(Millis duration);
    PtyPeer& Send(Bytes reply);
    PtyPeer& SendAtLineSpeed(Bytes reply); // about 0.52 ms per byte, as at 19200 baud

    // Runs the steps given so far; after Finish() a new script may be given and started.
    void Start();
    // Waits for the script to end; true when every expectation so far was met.
    bool Finish();
    std::string Failure() const;

    // Answers every complete request (8 bytes, or 13 for function 16) with what the
    // handler returns, until Stop(); keeps an ordered log of requests and answers.
    using Handler = std::function<Bytes(std::span<const std::uint8_t> request)>;
    void Serve(Handler handler);
    void Stop();
    struct Event {
        bool isRequest;
        Bytes bytes;
    };
    std::vector<Event> Log() const;

    // Everything the peer has read from the line so far, after collecting for `settle`.
    Bytes Received(Millis settle = Millis(0));
    // What arrived beyond the bytes that scripts expected, after collecting for `settle`;
    // marks it as seen.
    Bytes Unexpected(Millis settle);
    // Writes bytes at once, outside any script.
    void Inject(std::span<const std::uint8_t> bytes);

    // When the last byte of each Send step of the scripts so far left, in order: timing
    // rules are measured from the peer's last byte.
    std::vector<std::chrono::steady_clock::time_point> SendTimes() const;

private:
    struct ExpectStep { Bytes bytes; Millis timeout; };
    struct PauseStep { Millis duration; };
    struct SendStep { Bytes bytes; bool paced; };
    using Step = std::variant<ExpectStep, PauseStep, SendStep>;

    void RunScript(const std::vector<Step>& steps);
    void RunServer(Handler handler);
    // Reads what is available within `wait` into the log of received bytes.
    void Collect(Millis wait);
    void WriteAll(std::span<const std::uint8_t> bytes, bool paced);
    void Fail(std::string message);

    int master_ = -1;
    std::string path_;
    std::vector<Step> steps_;
    std::thread thread_;
    bool stopping_ = false;

    mutable std::mutex mutex_;
    Bytes received_;
    std::size_t consumed_ = 0; // received bytes already matched by an Expect step
    std::vector<Event> log_;
    std::vector<std::chrono::steady_clock::time_point> sendTimes_;
    std::string failure_;
};

// Time a callable takes, in milliseconds.
template <class F>
double ElapsedMs(F&& f)
{
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

} // namespace trovel::test
