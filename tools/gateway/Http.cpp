#include "gateway/Http.h"

#include <httplib.h>

#include <algorithm>
#include <map>
#include <random>
#include <thread>

#include "gateway/Console.h"
#include "gateway/WebAssets.h"

namespace trovel::gateway {

namespace {

constexpr const char* kCookie = "trovel_session";
constexpr std::size_t kMostSessions = 256;
constexpr std::chrono::milliseconds kLoginPenalty{500}; // per failure in a row, from one address
constexpr std::chrono::milliseconds kLongestPenalty{5000};
constexpr std::chrono::seconds kEventWait{15};
constexpr std::size_t kWorkers = 64;          // then a comment keeps proxies from closing

// "127.0.0.1:8080", "[::1]:8080", "localhost:8080"
bool LoopbackHost(const std::string& host)
{
    const std::string name = host.rfind('[', 0) == 0 ? host.substr(0, host.find(']') + 1) : host.substr(0, host.find(':'));
    return name == "localhost" || name == "[::1]" || name.rfind("127.", 0) == 0;
}

std::string RandomHex(std::size_t bytes)
{
    static std::mutex mutex;
    static std::random_device device;
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    const std::lock_guard hold(mutex);
    for (std::size_t i = 0; i < bytes; ++i) {
        const auto b = static_cast<unsigned>(device()) & 0xFFu;
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

// The time a comparison takes says nothing of where two secrets differ.
bool SameSecret(const std::string& a, const std::string& b)
{
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
    return diff == 0 && !a.empty();
}

std::string CookieValue(const httplib::Request& req, const std::string& name)
{
    const auto header = req.get_header_value("Cookie");
    std::size_t at = 0;
    while (at < header.size()) {
        while (at < header.size() && (header[at] == ' ' || header[at] == ';'))
            ++at;
        const auto end = std::min(header.find(';', at), header.size());
        const auto eq = header.find('=', at);
        if (eq != std::string::npos && eq < end && header.compare(at, eq - at, name) == 0)
            return header.substr(eq + 1, end - eq - 1);
        at = end;
    }
    return {};
}

void Send(httplib::Response& res, const ApiReply& reply)
{
    res.status = reply.status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(reply.body, reply.type.c_str());
}

} // namespace

struct HttpServer::Impl {
    struct Session {
        std::string csrf;
        Clock::time_point expires;
    };
    struct Failures {
        int inARow = 0;
    };
    // Who is asking: whether they may, and the CSRF token their commands must carry.
    struct Caller {
        bool known = false;
        bool bearer = false; // scripts: no CSRF token, the token is not a cookie
        std::string csrf;
    };

    Impl(HttpSettings s, std::vector<LineService*> l, Log& lg) : settings(std::move(s)), lines(std::move(l)), log(lg) {}

    HttpSettings settings;
    std::vector<LineService*> lines;
    Log& log;
    StateStore* store = nullptr;
    std::unique_ptr<httplib::Server> server;
    std::unique_ptr<Console> console;
    std::thread thread;
    int port = 0;
    const std::string openCsrf = RandomHex(16); // when no password is asked for

    std::mutex mutex;
    std::map<std::string, Session> sessions;
    std::map<std::string, Failures> failures;

    bool Protected() const { return !settings.password.empty() || !settings.token.empty(); }

    Caller Identify(const httplib::Request& req)
    {
        Caller c;
        if (!Protected())
            return {true, false, openCsrf};
        const auto authorization = req.get_header_value("Authorization");
        if (authorization.rfind("Bearer ", 0) == 0) {
            // The token only: the password goes through the login page, where guesses are slowed.
            c.known = !settings.token.empty() && SameSecret(authorization.substr(7), settings.token);
            c.bearer = c.known;
            if (!c.known)
                Failed(req, "token");
            return c;
        }
        const auto id = CookieValue(req, kCookie);
        const std::lock_guard hold(mutex);
        const auto it = sessions.find(id);
        if (id.empty() || it == sessions.end())
            return c;
        if (it->second.expires < Clock::now()) {
            sessions.erase(it);
            return c;
        }
        return {true, false, it->second.csrf};
    }

    void Login(const httplib::Request& req, httplib::Response& res)
    {
        const auto given = req.has_param("password") ? req.get_param_value("password") : std::string();
        if (!settings.password.empty() && SameSecret(given, settings.password)) {
            std::string id = RandomHex(32);
            {
                const std::lock_guard hold(mutex);
                failures.erase(req.remote_addr);
                if (sessions.size() >= kMostSessions)
                    sessions.erase(std::min_element(sessions.begin(), sessions.end(), [](auto& a, auto& b) {
                        return a.second.expires < b.second.expires;
                    }));
                sessions[id] = {RandomHex(16), Clock::now() + settings.sessionLifetime};
            }
            log.Info("console: login from " + req.remote_addr);
            res.set_header("Set-Cookie", std::string(kCookie) + "=" + id + "; Path=/; HttpOnly; SameSite=Strict" +
                                             (settings.tlsCertificate.empty() ? "" : "; Secure"));
            res.set_redirect("/", 303);
            return;
        }
        Failed(req, "login");
        res.set_redirect("/login?failed=1", 303);
    }

    // Guessing costs time; the answer is the same whatever was wrong.
    void Failed(const httplib::Request& req, const char* what)
    {
        int inARow;
        {
            const std::lock_guard hold(mutex);
            if (failures.size() >= kMostSessions && failures.count(req.remote_addr) == 0)
                failures.clear(); // many addresses guessing: start the counts again rather than grow
            inARow = ++failures[req.remote_addr].inARow;
        }
        log.Warning(std::string("console: failed ") + what + " from " + req.remote_addr + " (" +
                    std::to_string(inARow) + " in a row)");
        std::this_thread::sleep_for(std::min(kLoginPenalty * inARow, kLongestPenalty));
    }

    void Logout(const httplib::Request& req, httplib::Response& res)
    {
        {
            const std::lock_guard hold(mutex);
            sessions.erase(CookieValue(req, kCookie));
        }
        res.set_header("Set-Cookie", std::string(kCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
        Send(res, {200, "{\"ok\":true}"});
    }

    // Before any route: who may see and who may command.
    httplib::Server::HandlerResponse Gate(const httplib::Request& req, httplib::Response& res)
    {
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("X-Frame-Options", "DENY");
        res.set_header("Referrer-Policy", "no-referrer");
        res.set_header("Content-Security-Policy", "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
        const bool api = req.path.rfind("/api/", 0) == 0;
        if (req.path == "/login" || req.path == "/login.css" || req.path == "/login.js")
            return httplib::Server::HandlerResponse::Unhandled;
        if (!Protected() && !LoopbackHost(req.get_header_value("Host"))) {
            // Open on loopback only for pages of this computer: a site whose name was pointed at
            // 127.0.0.1 would otherwise be the console's own origin and could move screens.
            Send(res, {403, "{\"error\":\"without a password the console answers only to 127.0.0.1, [::1] and localhost\"}"});
            return httplib::Server::HandlerResponse::Handled;
        }
        const Caller caller = Identify(req);
        if (!caller.known) {
            if (api) {
                res.set_header("WWW-Authenticate", "Bearer");
                Send(res, {401, "{\"error\":\"log in first, or send Authorization: Bearer TOKEN\"}"});
            } else {
                res.set_redirect("/login", 303);
            }
            return httplib::Server::HandlerResponse::Handled;
        }
        const bool reads = req.method == "GET" || req.method == "HEAD";
        if (!reads && !caller.bearer && !SameSecret(req.get_header_value("X-CSRF-Token"), caller.csrf)) {
            log.Warning("console: " + req.method + " " + req.path + " from " + req.remote_addr +
                        " refused: no valid CSRF token");
            Send(res, {403, "{\"error\":\"the request carries no valid CSRF token (X-CSRF-Token)\"}"});
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!reads && settings.readOnly && req.path != "/logout") {
            Send(res, {403, "{\"error\":\"the console is read-only\"}"});
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.path == "/api/v1/session") {
            Send(res, {200, std::string("{\"readOnly\":") + (settings.readOnly ? "true" : "false") +
                                ",\"confirmMoves\":" + (settings.confirmMoves ? "true" : "false") +
                                ",\"login\":" + (Protected() ? "true" : "false") + ",\"csrf\":\"" +
                                (caller.bearer ? "" : caller.csrf) + "\"}"});
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    }

    void Routes()
    {
        auto& s = *server;
        s.set_pre_routing_handler([this](const auto& req, auto& res) { return Gate(req, res); });
        s.Post("/login", [this](const auto& req, auto& res) { Login(req, res); });
        s.Post("/logout", [this](const auto& req, auto& res) { Logout(req, res); });
        s.Get("/api/v1/events", [this](const httplib::Request&, httplib::Response& res) {
            auto queue = console->Subscribe();
            std::string first = "retry: 2000\n\n";
            queue->Push(first);
            res.set_header("Cache-Control", "no-store");
            res.set_chunked_content_provider(
                "text/event-stream",
                [queue](std::size_t, httplib::DataSink& sink) {
                    std::string text = queue->Take(kEventWait);
                    if (queue->Closed())
                        return false;
                    if (text.empty())
                        text = ": still here\n\n";
                    return sink.write(text.data(), text.size());
                },
                [this, queue](bool) { console->Unsubscribe(queue); });
        });
        const auto api = [this](const httplib::Request& req, httplib::Response& res) {
            std::map<std::string, std::string> query;
            for (const auto& [k, v] : req.params)
                query[k] = v;
            try {
                Send(res, console->Handle(req.method, req.path.substr(7), req.body, query));
            } catch (const std::exception& e) {
                Send(res, {500, "{\"error\":\"internal failure\"}"});
                log.Error(std::string("console: ") + req.path + ": " + e.what());
            }
        };
        s.Get("/api/v1/openapi.json", [](const httplib::Request&, httplib::Response& res) {
            for (const auto& asset : WebAssets())
                if (std::string_view(asset.path) == "/openapi.json")
                    res.set_content(reinterpret_cast<const char*>(asset.data), asset.size, asset.type);
        });
        s.Get(R"(/api/v1/.*)", api);
        s.Put(R"(/api/v1/.*)", api);
        s.Post(R"(/api/v1/.*)", api);
        s.Get(R"(/.*)", [](const httplib::Request& req, httplib::Response& res) {
            const std::string path = req.path == "/" ? "/index.html" : req.path == "/login" ? "/login.html" : req.path;
            for (const auto& asset : WebAssets())
                if (path == asset.path) {
                    res.set_header("Cache-Control", "no-cache");
                    res.set_content(reinterpret_cast<const char*>(asset.data), asset.size, asset.type);
                    return;
                }
            res.status = 404;
            res.set_content("not found", "text/plain");
        });
    }
};

HttpServer::HttpServer(HttpSettings settings, std::vector<LineService*> lines, StateStore& store, Log& log)
    : impl_(std::make_unique<Impl>(std::move(settings), std::move(lines), log))
{
    impl_->store = &store;
}

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::Start(std::string& error)
{
    auto& i = *impl_;
    if (!CheckHttp(i.settings, error))
        return false;
#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
    if (!i.settings.tlsCertificate.empty()) {
        error = "this build has no TLS (built without OpenSSL): serve plain HTTP behind a TLS proxy";
        return false;
    }
#endif
#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
    if (!i.settings.tlsCertificate.empty())
        i.server = std::make_unique<httplib::SSLServer>(i.settings.tlsCertificate.c_str(), i.settings.tlsKey.c_str());
    else
#endif
        i.server = std::make_unique<httplib::Server>();
    // Server-Sent Events hold a worker each for as long as a page is open: room for many pages.
    i.server->new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    if (!i.server->is_valid()) {
        error = "cannot read the TLS certificate or key";
        return false;
    }
    i.console = std::make_unique<Console>(i.lines, *i.store, i.log);
    i.Routes();
    i.server->set_payload_max_length(64 * 1024);
    // Headers and body go out as separate writes: without this, each answer waits for the
    // browser's delayed acknowledgement.
    i.server->set_tcp_nodelay(true);
    const auto& where = i.settings.where;
    if (where.port == 0)
        i.port = i.server->bind_to_any_port(where.host);
    else
        i.port = i.server->bind_to_port(where.host, where.port) ? where.port : -1;
    if (i.port <= 0) {
        error = "cannot listen on " + where.host + ":" + std::to_string(where.port);
        return false;
    }
    i.console->Start();
    i.thread = std::thread([&i] { i.server->listen_after_bind(); });
    return true;
}

void HttpServer::Stop()
{
    auto& i = *impl_;
    if (i.console)
        i.console->Stop();
    if (i.server)
        i.server->stop();
    if (i.thread.joinable())
        i.thread.join();
}

std::string HttpServer::Url() const
{
    const auto& h = impl_->settings.where.host;
    const std::string host = h.find(':') != std::string::npos ? "[" + h + "]" : h;
    return std::string(impl_->settings.tlsCertificate.empty() ? "http" : "https") + "://" + host + ":" +
           std::to_string(impl_->port) + "/";
}

} // namespace trovel::gateway
