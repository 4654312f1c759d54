#pragma once
// A listening endpoint of one line: Modbus TCP (MBAP) or RTU over TCP. Each connection's
// requests become queue entries of the line's service; answers go back in the order the
// requests came, each with its own transaction id. A client that breaks the protocol,
// stalls mid-frame, idles or floods is disconnected alone.

#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/Log.h"
#include "gateway/Net.h"
#include "gateway/Service.h"
#include "gateway/Stats.h"

namespace trovel::gateway {

enum class Protocol { ModbusTcp, Rtu };

struct EndpointSettings {
    Protocol protocol = Protocol::ModbusTcp;
    net::HostPort where;
    std::vector<net::Network> allow; // empty: loopback only
    bool readOnly = false;           // functions 6 and 16 answer exception 01
    int maxConnections = 32;
    std::chrono::seconds idleTimeout{60};
    std::chrono::milliseconds frameTimeout{1000}; // a frame begun must be complete by then
    std::size_t maxPipeline = 32; // requests queued per connection; more answer busy (06)
};

// Turns a request PDU (function code and data) for `unit` into a queue request: 0, or the
// exception code to answer at once.
std::uint8_t DecodePdu(std::uint8_t unit, std::span<const std::uint8_t> pdu, bool readOnly, const LineService& line,
                       Request& out);
// The reply PDU for a request and its answer into `out`; its length.
std::size_t EncodePdu(const Request& request, std::uint8_t exception, const Answer& answer,
                      std::span<std::uint8_t> out);

struct ClientReport {
    std::string peer;
    std::string endpoint;
    Counts counts;
    Percentiles wait;
};

class Endpoint {
public:
    Endpoint(EndpointSettings settings, LineService& line, Log& log);
    ~Endpoint();
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;

    bool Start(std::string& error);
    // Stops accepting and closes every connection.
    void Stop();
    // "modbus+tcp://127.0.0.1:1502" or "rtu+tcp://…", with the port actually bound.
    std::string Url() const;
    std::vector<ClientReport> TakeReports();

    class Connection;

private:
    void AcceptLoop();
    bool Allowed(const net::Peer& peer) const;
    void Reap(bool all);

    EndpointSettings settings_;
    LineService& line_;
    Log& log_;
    net::Listener listener_;
    std::thread acceptor_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::list<std::shared_ptr<Connection>> connections_;
};

} // namespace trovel::gateway
