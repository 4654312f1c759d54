// trovel-gateway: one process owns the controllers' lines and serves each to any number of
// Modbus TCP and RTU-over-TCP clients, with the line's reply matching, settle, retries and
// reopen behind every request.

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TrovelSdk.h"
#include "TrovelSdkVersion.h"
#include "gateway/Config.h"
#include "gateway/Endpoint.h"
#include "gateway/Http.h"
#include "gateway/Log.h"
#include "gateway/Mqtt.h"
#include "gateway/Poller.h"
#include "gateway/Platform.h"
#include "gateway/Service.h"
#include "gateway/State.h"

using namespace trovel::gateway;

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitSetup = 1;

// What the command line says; each option overrides the file's setting.
struct Options {
    std::string config, check, installService;
    bool removeService = false;
    std::string device, replyMode, controllers, logLevel, logFile;
    std::vector<std::string> modbusTcp, rtu, allow;
    std::optional<int> retries, replyTimeout, queue, deadline, maxConnections, idleTimeout, statsInterval;
    bool localEcho = false, readOnly = false;
    std::string http;
    bool httpReadOnly = false;
    std::string mqtt, name, discoveryPrefix;
};

std::string Ms(double ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f ms", ms);
    return text;
}

void Report(Log& log, std::vector<std::unique_ptr<LineService>>& lines,
            std::vector<std::pair<LineService*, std::unique_ptr<Endpoint>>>& endpoints)
{
    for (auto& line : lines) {
        const auto r = line->TakeReport();
        char busy[16];
        std::snprintf(busy, sizeof busy, "%.1f%%", 100.0 * r.busyShare);
        log.Info("stats " + line->Settings().name + ": " + r.counts.Text() + "; queue wait p50 " + Ms(r.wait.p50Ms) +
                 ", p99 " + Ms(r.wait.p99Ms) + " (" + std::to_string(r.wait.samples) + " requests); line busy " + busy +
                 "; queued " + std::to_string(r.queued) + "; line exchanges " + std::to_string(r.line.exchanges) +
                 ", no reply " + std::to_string(r.line.noReply) + ", crc " + std::to_string(r.line.crcErrors) +
                 ", mismatches " + std::to_string(r.line.mismatches) + ", reopens " + std::to_string(r.line.reopens));
    }
    for (auto& [line, endpoint] : endpoints)
        for (const auto& c : endpoint->TakeReports())
            log.Info("stats " + line->Settings().name + " client " + c.peer + " on " + c.endpoint + ": " +
                     c.counts.Text() + "; queue wait p50 " + Ms(c.wait.p50Ms) + ", p99 " + Ms(c.wait.p99Ms));
}

// The file's settings with the options over them.
bool Assemble(const Options& o, Config& config, std::vector<std::string>& errors)
{
    if (!o.config.empty() && !LoadConfig(o.config, config, errors))
        return false;
    if (!o.logLevel.empty() && !ParseLevel(o.logLevel, config.level))
        errors.push_back("--log-level takes error, warning, info or debug");
    if (!o.logFile.empty())
        config.logFile = o.logFile;
    if (o.statsInterval)
        config.statsMinutes = *o.statsInterval;
    if (!o.http.empty()) {
        std::string error;
        config.http.enabled = true;
        if (!net::ParseHostPort(o.http, config.http.where, error))
            errors.push_back("--http: " + error);
    }
    if (o.httpReadOnly)
        config.http.readOnly = true;
    // Secrets stay out of the process list: the environment may give them instead of the file.
    for (const auto& [name, field] : {std::pair{"TROVEL_HTTP_PASSWORD", &config.http.password},
                                      std::pair{"TROVEL_HTTP_TOKEN", &config.http.token}})
        if (const char* value = std::getenv(name); value != nullptr && *value != '\0')
            *field = value;
    const bool lineOptions = !o.device.empty() || !o.modbusTcp.empty() || !o.rtu.empty();
    if (lineOptions && config.lines.size() > 1)
        errors.push_back("--line and --listen-… name one line; with several lines in the file, set them there");
    if (config.lines.empty() && lineOptions)
        config.lines.emplace_back();
    for (auto& line : config.lines) {
        if (!o.device.empty())
            line.line.device = o.device;
        if (!o.replyMode.empty())
            line.line.replyMode = o.replyMode == "frame" ? TROVEL_REPLY_FRAME : TROVEL_REPLY_SILENCE;
        if (o.retries)
            line.line.retries = *o.retries;
        if (o.replyTimeout)
            line.line.timeoutMs = *o.replyTimeout;
        if (o.localEcho)
            line.line.localEcho = true;
        if (o.queue)
            line.line.queueLimit = static_cast<std::size_t>(*o.queue);
        if (o.deadline)
            line.line.deadline = std::chrono::milliseconds(*o.deadline);
        if (!o.controllers.empty() && !ParseUnits(o.controllers, line.line.units))
            errors.push_back("--controllers wants addresses 1 to 16 such as 1-4 or 1,3,5");
        for (const auto& [texts, protocol] : {std::pair{&o.modbusTcp, Protocol::ModbusTcp}, std::pair{&o.rtu, Protocol::Rtu}})
            for (const auto& text : *texts) {
                EndpointSettings e;
                e.protocol = protocol;
                std::string error;
                if (!net::ParseHostPort(text, e.where, error))
                    errors.push_back(error);
                line.endpoints.push_back(e);
            }
        for (auto& e : line.endpoints) {
            if (o.readOnly)
                e.readOnly = true;
            if (o.maxConnections)
                e.maxConnections = *o.maxConnections;
            if (o.idleTimeout)
                e.idleTimeout = std::chrono::seconds(*o.idleTimeout);
            for (const auto& text : o.allow) {
                net::Network network;
                if (!net::ParseNetwork(text, network))
                    errors.push_back("--allow " + text + ": not a network such as 10.0.0.0/24");
                e.allow.push_back(network);
            }
        }
    }
    if (!o.mqtt.empty()) {
        config.mqtt.enabled = true;
        net::HostPort where;
        std::string error;
        const bool portGiven = o.mqtt.find(':') != std::string::npos && o.mqtt.back() != ']';
        if (!net::ParseHostPort(portGiven ? o.mqtt : o.mqtt + ":1883", where, error))
            errors.push_back("--mqtt: " + error);
        config.mqtt.host = where.host;
        config.mqtt.port = where.port;
    }
    if (!o.name.empty())
        config.mqtt.name = o.name;
    if (config.mqtt.name.empty())
        config.mqtt.name = HostName();
    if (!o.discoveryPrefix.empty())
        config.mqtt.discoveryPrefix = o.discoveryPrefix;
    if (std::string why; config.mqtt.enabled && !MqttBuiltIn(why))
        errors.push_back(why);
    return errors.empty() && CheckConfig(config, errors);
}

int Serve(const Config& config)
{
    Log log;
    log.SetLevel(config.level);
    if (!config.logFile.empty() && !log.ToFile(config.logFile))
        log.Warning("cannot write the log file " + config.logFile + ": logging to stderr");
    Events events; // before any thread starts
    std::vector<std::unique_ptr<LineService>> lines;
    std::vector<std::pair<LineService*, std::unique_ptr<Endpoint>>> endpoints;
    StateStore store;
    std::vector<std::unique_ptr<Poller>> pollers;
    std::unique_ptr<HttpServer> http;
    std::unique_ptr<MqttBridge> mqtt;
    const auto stopAll = [&] {
        if (http)
            http->Stop();
        if (mqtt)
            mqtt->Stop();
        for (auto& poller : pollers)
            poller->Stop();
        for (auto& [line, endpoint] : endpoints)
            endpoint->Stop();
        for (auto& line : lines)
            line->Stop();
    };
    for (const auto& lc : config.lines) {
        auto line = std::make_unique<LineService>(lc.line);
        std::string error;
        if (!line->Start(error)) {
            log.Error(error);
            stopAll();
            return kExitSetup;
        }
        log.Info(lc.line.name + ": " + lc.line.device + " open");
        for (const auto& es : lc.endpoints) {
            auto endpoint = std::make_unique<Endpoint>(es, *line, log);
            if (!endpoint->Start(error)) {
                log.Error(lc.line.name + ": " + error);
                stopAll();
                return kExitSetup;
            }
            // The URL alone on stdout, as trovel-sim prints its own, for scripts to read.
            std::printf("%s\n", endpoint->Url().c_str());
            std::fflush(stdout);
            log.Info(lc.line.name + ": listening on " + endpoint->Url() + (es.readOnly ? " (read-only)" : ""));
            endpoints.emplace_back(line.get(), std::move(endpoint));
        }
        lines.push_back(std::move(line));
    }
    // The poller and the state store serve the front ends that show the controllers.
    if (config.mqtt.enabled || config.http.enabled)
        for (auto& line : lines)
            pollers.push_back(std::make_unique<Poller>(*line, store, config.poll, log));
    if (config.mqtt.enabled) {
        std::vector<Poller*> served;
        for (auto& poller : pollers)
            served.push_back(poller.get());
        std::string error;
        mqtt = StartMqtt(config.mqtt, store, served, log, error);
        if (!mqtt) {
            log.Error(error);
            stopAll();
            return kExitSetup;
        }
    }
    if (config.http.enabled) {
        std::vector<LineService*> served;
        for (auto& line : lines)
            served.push_back(line.get());
        http = std::make_unique<HttpServer>(config.http, served, store, log);
        std::string error;
        if (!http->Start(error)) {
            log.Error("console: " + error);
            stopAll();
            return kExitSetup;
        }
        std::printf("%s\n", http->Url().c_str());
        std::fflush(stdout);
        log.Info("console at " + http->Url() + (config.http.readOnly ? " (read-only)" : ""));
    }
    for (auto& poller : pollers)
        poller->Start();
    const auto interval = std::chrono::minutes(config.statsMinutes);
    auto nextReport = std::chrono::steady_clock::now() + interval;
    for (;;) {
        const auto event = events.Wait(std::chrono::milliseconds(1000));
        if (event == Event::Stop) {
            log.Info(events.LastName() + ": stopping after the exchanges in flight");
            break;
        }
        if (event == Event::Report || (config.statsMinutes > 0 && std::chrono::steady_clock::now() >= nextReport)) {
            Report(log, lines, endpoints);
            nextReport = std::chrono::steady_clock::now() + interval;
        }
    }
    Report(log, lines, endpoints);
    stopAll();
    log.Info("stopped");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"trovel-gateway: serves controller lines to Modbus TCP and RTU-over-TCP clients"};
    app.set_version_flag("--version", std::string("trovel-gateway ") + TROVELSDK_VERSION_STRING);
    Options o;
    app.add_option("-c,--config", o.config, "Configuration file (TOML); options override it");
    app.add_option("--check-config", o.check, "Check a configuration file, explain each error with its line, exit");
    app.add_option("--line", o.device, "Device of the line: serial port, rtu+tcp://HOST:PORT, modbus+tcp://HOST[:PORT]");
    app.add_option("--listen-modbus-tcp", o.modbusTcp, "Serve the line to Modbus TCP clients at HOST:PORT (127.0.0.1 "
                                                       "unless a host is given; port 0 picks one); repeatable");
    app.add_option("--listen-rtu", o.rtu, "Serve the line as RTU frames over TCP at HOST:PORT; repeatable");
    app.add_option("--reply-mode", o.replyMode, "frame: a read ends once its answer is in; silence: after the gap")
        ->check(CLI::IsMember({"frame", "silence"}));
    app.add_option("--retries", o.retries, "Repeat an exchange that got no valid answer up to N times (0-5)")
        ->check(CLI::Range(0, 5));
    app.add_option("--reply-timeout", o.replyTimeout, "A reply must be complete MS after the request (10-10000)")
        ->check(CLI::Range(10, 10000));
    app.add_flag("--local-echo", o.localEcho, "The adapter hands each request back before the reply");
    app.add_option("--controllers", o.controllers, "Addresses served, such as 1-4 or 1,3,5 (default 1-16)");
    app.add_option("--queue", o.queue, "Requests queued per line before clients get busy (06) (default 64)")
        ->check(CLI::Range(1, 4096));
    app.add_option("--deadline", o.deadline, "A request not sent within MS is answered 0B, never sent (default 2000)")
        ->check(CLI::Range(1, 600000));
    app.add_option("--allow", o.allow, "Client network allowed on every endpoint (CIDR); repeatable (default loopback)");
    app.add_flag("--read-only", o.readOnly, "Refuse writes (functions 6 and 16) with exception 01");
    app.add_option("--max-connections", o.maxConnections, "Connections per endpoint (default 32)")->check(CLI::Range(1, 1024));
    app.add_option("--idle-timeout", o.idleTimeout, "Disconnect a client quiet for S seconds (default 60)")
        ->check(CLI::Range(1, 86400));
    app.add_option("--log-level", o.logLevel, "error, warning, info (default) or debug");
    app.add_option("--log-file", o.logFile, "Log to FILE instead of stderr");
    app.add_option("--stats-interval", o.statsInterval, "Statistics in the log every N minutes (default 15; 0: only "
                                                        "on SIGUSR1)")
        ->check(CLI::Range(0, 1440));
    app.add_option("--http", o.http, "Serve the console at HOST:PORT (127.0.0.1 unless a host is given; port 0 picks "
                                     "one; beyond loopback a password or token is required)");
    app.add_flag("--http-read-only", o.httpReadOnly, "The console shows everything and commands nothing");
    app.add_option("--mqtt", o.mqtt, "Linux: publish the controllers to the MQTT broker at HOST[:PORT] (the rest from [mqtt])");
    app.add_option("--name", o.name, "The gateway's name in MQTT topics (default: the host name)");
    app.add_option("--discovery-prefix", o.discoveryPrefix, "Home Assistant's discovery prefix (default homeassistant)");
    app.add_option("--install-service", o.installService, "Windows: install the service, run with CONFIG");
    app.add_flag("--remove-service", o.removeService, "Windows: remove the service");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }

    if (!o.check.empty()) {
        Config config;
        std::vector<std::string> errors;
        if (LoadConfig(o.check, config, errors))
            CheckConfig(config, errors);
        for (const auto& e : errors)
            std::fprintf(stderr, "%s\n", e.c_str());
        if (!errors.empty())
            return kExitSetup;
        std::size_t endpoints = 0;
        for (const auto& l : config.lines)
            endpoints += l.endpoints.size();
        std::printf("%s: ok, %zu line(s), %zu endpoint(s)\n", o.check.c_str(), config.lines.size(), endpoints);
        return 0;
    }
    if (!o.installService.empty())
        return InstallService(argv[0], o.installService);
    if (o.removeService)
        return RemoveService();

    Config config;
    std::vector<std::string> errors;
    if (!Assemble(o, config, errors)) {
        for (const auto& e : errors)
            std::fprintf(stderr, "trovel-gateway: %s\n", e.c_str());
        return kExitUsage;
    }
    int status = 0;
    if (RunAsService([&] { return Serve(config); }, status))
        return status;
    return Serve(config);
}
