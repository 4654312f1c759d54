#pragma once
// The commissioning console: an HTTP server (cpp-httplib) for the page in tools/gateway/web
// and the JSON API under /api/v1 that the page and scripts use. Beyond loopback it demands a
// password or a token: a login page then a session cookie, or a Bearer token for scripts;
// every command from a page carries its session's CSRF token.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "gateway/Log.h"
#include "gateway/Net.h"
#include "gateway/Service.h"

namespace trovel::gateway {

struct HttpSettings {
    bool enabled = false;
    net::HostPort where{"127.0.0.1", 8080};
    std::string password; // for the login page
    std::string token;    // for scripts: Authorization: Bearer TOKEN
    bool readOnly = false;
    bool confirmMoves = true; // a move asks for a second click
    std::string tlsCertificate, tlsKey; // both: HTTPS, where the build has OpenSSL
    std::chrono::minutes sessionLifetime{12 * 60};
};

// False with the reason when the settings cannot be served safely or at all.
bool CheckHttp(const HttpSettings& settings, std::string& error);

class StateStore; // what the poller last read (State.h)

class HttpServer {
public:
    HttpServer(HttpSettings settings, std::vector<LineService*> lines, StateStore& store, Log& log);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    bool Start(std::string& error);
    void Stop();
    std::string Url() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace trovel::gateway
