#pragma once
// What the console serves besides files: the JSON API's answers, the live events for the
// page (state changes from the state store, every exchange from each line's trace, scans)
// and the position log. Every exchange it makes goes through the line's queue as one
// library call, so the library's own checks refuse a bad value before anything is sent.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/Log.h"
#include "gateway/Service.h"
#include "gateway/State.h"

namespace trovel::gateway {

struct ApiReply {
    int status = 200;
    std::string body; // JSON
    std::string type = "application/json";
};

// One subscriber's pending events, already in the text/event-stream form.
class EventQueue {
public:
    void Push(const std::string& event);
    // Waits up to `timeout` for events; empty on time-out or once closed.
    std::string Take(std::chrono::milliseconds timeout);
    void Close();
    bool Closed() const;

private:
    static constexpr std::size_t kLimit = 4000; // a stalled browser loses the oldest
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::string> events_;
    bool closed_ = false;
};

class Console {
public:
    Console(std::vector<LineService*> lines, StateStore& store, Log& log);
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    void Start(); // the trace of every line and the store's notifications
    void Stop();  // ends every event stream

    // method "GET", "PUT", "POST"; path below /api/v1 ("/lines/line1/controllers/2").
    ApiReply Handle(const std::string& method, const std::string& path, const std::string& body,
                    const std::map<std::string, std::string>& query);

    std::shared_ptr<EventQueue> Subscribe();
    void Unsubscribe(const std::shared_ptr<EventQueue>& queue);
    std::size_t Subscribers() const;

private:
    struct Exchange {
        std::uint64_t seq = 0;
        std::int64_t timeMs = 0; // since the epoch
        std::size_t line = 0;
        int address = 0;
        std::vector<std::uint8_t> request, reply;
        int elapsedUs = 0;
        int outcome = 0;
    };
    struct Sample {
        std::int64_t timeMs;
        float position;
    };
    struct TraceContext {
        Console* console;
        std::size_t line;
    };

    static void TROVEL_CALL OnTrace(void* user, TrovelLine* line, int address, const unsigned char* request,
                                    int requestLength, const unsigned char* reply, int replyLength,
                                    int elapsedMicroseconds, int outcome);
    void OnState(const ControllerState& state, unsigned changes);
    void Broadcast(const std::string& event, const std::string& json);

    // Runs `call` on the line's thread through its queue and waits for it: the library's cause.
    int Call(LineService& line, int address, std::function<int(TrovelLine*)> call);
    LineService* FindLine(const std::string& name, std::size_t* index = nullptr) const;

    ApiReply Lines() const;
    ApiReply Controllers(const std::string& line) const;
    ApiReply Controller(const std::string& line, int address) const;
    ApiReply ReadParameters(LineService& line, int address);
    ApiReply WriteParameter(LineService& line, int address, const std::string& name, const std::string& body);
    ApiReply ReadIdentity(LineService& line, int address);
    ApiReply SetFactoryDate(LineService& line, int address, const std::string& body);
    ApiReply Command(LineService& line, int address, const std::string& command);
    ApiReply SetOutput(LineService& line, int address, int output, const std::string& body);
    ApiReply ChangeAddress(LineService& line, int address, const std::string& body);
    ApiReply StartScan(LineService& line, std::size_t index);
    ApiReply Trace(const std::map<std::string, std::string>& query, bool csv) const;
    ApiReply Positions(const std::string& line, int address, bool csv) const;

    std::string ExchangeJson(const Exchange& e) const;

    std::vector<LineService*> lines_;
    std::vector<std::unique_ptr<TraceContext>> contexts_;
    StateStore& store_;
    Log& log_;
    std::uint64_t source_;
    std::uint64_t listener_ = 0;

    mutable std::mutex traceMutex_;
    std::deque<Exchange> trace_;
    std::uint64_t nextSeq_ = 1;
    static constexpr std::size_t kTraceLimit = 5000;

    mutable std::mutex positionsMutex_;
    std::map<std::pair<std::string, int>, std::deque<Sample>> positions_;
    static constexpr std::chrono::minutes kPositionSpan{10};

    mutable std::mutex subscribersMutex_;
    std::vector<std::shared_ptr<EventQueue>> subscribers_;

    std::mutex scanMutex_;
    std::vector<std::thread> scans_; // one per line
    std::vector<std::atomic<bool>> scanning_;
    std::atomic<bool> stopping_{false};
};

// What an exchange means in words: "read motor speed → 80", "move right", "outputs on: 4";
// a read's value only when it was answered.
std::string ExchangeMeaning(const std::uint8_t* request, int requestLength, const std::uint8_t* reply,
                            int replyLength, int outcome);

} // namespace trovel::gateway
