#include "gateway/Config.h"

#include <set>

#define TOML_EXCEPTIONS 1
#include <toml++/toml.h>

#include "gateway/MqttConfig.h"

namespace trovel::gateway {

namespace {

class Reader {
public:
    Reader(std::string path, std::vector<std::string>& errors) : path_(std::move(path)), errors_(errors) {}

    void Error(const toml::node& at, const std::string& text)
    {
        errors_.push_back(path_ + ":" + std::to_string(at.source().begin.line) + ": " + text);
    }
    void Error(std::size_t line, const std::string& text)
    {
        errors_.push_back(path_ + ":" + std::to_string(line) + ": " + text);
    }

    // Every key of `table` must be one of `known`.
    void OnlyKnown(const toml::table& table, std::initializer_list<const char*> known, const std::string& where)
    {
        const std::set<std::string> names(known.begin(), known.end());
        for (const auto& [key, node] : table)
            if (names.count(std::string(key.str())) == 0) {
                std::string list;
                for (const char* n : known)
                    list += std::string(list.empty() ? "" : ", ") + n;
                Error(node, "unknown key '" + std::string(key.str()) + "' in " + where + " (known: " + list + ")");
            }
    }

    template <class T>
    void Integer(const toml::table& table, const char* key, T& out, long long low, long long high, const char* unit = "")
    {
        const toml::node* node = table.get(key);
        if (node == nullptr)
            return;
        const auto value = node->value<std::int64_t>();
        if (!node->is_integer() || !value || *value < low || *value > high) {
            Error(*node, std::string(key) + " must be a whole number from " + std::to_string(low) + " to " +
                             std::to_string(high) + unit);
            return;
        }
        out = static_cast<T>(*value);
    }

    void Boolean(const toml::table& table, const char* key, bool& out)
    {
        if (const toml::node* node = table.get(key)) {
            if (!node->is_boolean())
                Error(*node, std::string(key) + " must be true or false");
            else
                out = *node->value<bool>();
        }
    }

    bool Text(const toml::table& table, const char* key, std::string& out)
    {
        const toml::node* node = table.get(key);
        if (node == nullptr)
            return false;
        if (!node->is_string()) {
            Error(*node, std::string(key) + " must be a quoted text");
            return false;
        }
        out = *node->value<std::string>();
        return true;
    }

    void Endpoint(const toml::table& table, LineConfig& line)
    {
        OnlyKnown(table, {"modbus-tcp", "rtu", "allow", "read-only", "max-connections", "idle-timeout", "frame-timeout",
                          "max-pipeline"},
                  "[[line.listen]]");
        EndpointSettings e;
        std::string where;
        const bool modbus = Text(table, "modbus-tcp", where);
        std::string rtu;
        const bool isRtu = Text(table, "rtu", rtu);
        if (modbus == isRtu) {
            Error(table, "a [[line.listen]] takes exactly one of modbus-tcp = \"HOST:PORT\" or rtu = \"HOST:PORT\"");
            return;
        }
        e.protocol = modbus ? Protocol::ModbusTcp : Protocol::Rtu;
        std::string error;
        if (!net::ParseHostPort(modbus ? where : rtu, e.where, error))
            Error(*table.get(modbus ? "modbus-tcp" : "rtu"), error);
        if (const toml::node* allow = table.get("allow")) {
            if (!allow->is_array()) {
                Error(*allow, "allow must be a list of networks, such as [\"10.0.0.0/24\", \"127.0.0.1\"]");
            } else {
                for (const auto& item : *allow->as_array()) {
                    net::Network network;
                    const auto text = item.value<std::string>();
                    if (!text || !net::ParseNetwork(*text, network))
                        Error(item, "allow: not a network (such as \"10.0.0.0/24\", \"192.168.1.7\" or \"::1/128\")");
                    else
                        e.allow.push_back(network);
                }
            }
        }
        Boolean(table, "read-only", e.readOnly);
        Integer(table, "max-connections", e.maxConnections, 1, 1024);
        long long idle = e.idleTimeout.count();
        Integer(table, "idle-timeout", idle, 1, 86400, " (seconds)");
        e.idleTimeout = std::chrono::seconds(idle);
        long long frame = e.frameTimeout.count();
        Integer(table, "frame-timeout", frame, 10, 60000, " (milliseconds)");
        e.frameTimeout = std::chrono::milliseconds(frame);
        Integer(table, "max-pipeline", e.maxPipeline, 1, 1024);
        line.endpoints.push_back(e);
    }

    void Line(const toml::table& table, std::size_t index, Config& config)
    {
        OnlyKnown(table, {"name", "device", "reply-mode", "retries", "reply-timeout", "reply-gap", "local-echo", "queue",
                          "deadline", "controllers", "listen"},
                  "[[line]]");
        LineConfig line;
        line.line.name = "line" + std::to_string(index + 1);
        Text(table, "name", line.line.name);
        if (!Text(table, "device", line.line.device))
            Error(table, "[[line]] " + line.line.name + " has no device = \"...\" (a serial port, rtu+tcp://HOST:PORT or modbus+tcp://HOST)");
        std::string mode;
        if (Text(table, "reply-mode", mode)) {
            if (mode == "frame")
                line.line.replyMode = TROVEL_REPLY_FRAME;
            else if (mode == "silence")
                line.line.replyMode = TROVEL_REPLY_SILENCE;
            else
                Error(*table.get("reply-mode"), "reply-mode must be \"frame\" or \"silence\"");
        }
        Integer(table, "retries", line.line.retries, 0, 5);
        Integer(table, "reply-timeout", line.line.timeoutMs, 10, 10000, " (milliseconds)");
        Integer(table, "reply-gap", line.line.gapMs, 2, 10000, " (milliseconds)");
        Boolean(table, "local-echo", line.line.localEcho);
        Integer(table, "queue", line.line.queueLimit, 1, 4096);
        long long deadline = line.line.deadline.count();
        Integer(table, "deadline", deadline, 1, 600000, " (milliseconds)");
        line.line.deadline = std::chrono::milliseconds(deadline);
        std::string units;
        if (Text(table, "controllers", units) && !ParseUnits(units, line.line.units))
            Error(*table.get("controllers"), "controllers must be addresses 1 to 16, such as \"1-4\" or \"1,3,7-9\"");
        if (const toml::node* listen = table.get("listen")) {
            if (!listen->is_array_of_tables())
                Error(*listen, "listen must be [[line.listen]] tables");
            else
                for (const auto& item : *listen->as_array())
                    Endpoint(*item.as_table(), line);
        }
        config.lines.push_back(line);
    }

    void Http(const toml::table& table, HttpSettings& http)
    {
        OnlyKnown(table, {"listen", "password", "token", "read-only", "confirm-moves", "tls-certificate", "tls-key"},
                  "[http]");
        http.enabled = true;
        std::string where, error;
        if (Text(table, "listen", where) && !net::ParseHostPort(where, http.where, error))
            Error(*table.get("listen"), error);
        Text(table, "password", http.password);
        Text(table, "token", http.token);
        Boolean(table, "read-only", http.readOnly);
        Boolean(table, "confirm-moves", http.confirmMoves);
        Text(table, "tls-certificate", http.tlsCertificate);
        Text(table, "tls-key", http.tlsKey);
    }

    std::string path_;
    std::vector<std::string>& errors_;
};

} // namespace

bool ParseUnits(const std::string& text, std::uint32_t& mask)
{
    std::uint32_t result = 0;
    std::size_t at = 0;
    while (at <= text.size()) {
        const auto comma = text.find(',', at);
        const std::string item = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        const auto dash = item.find('-');
        char* end = nullptr;
        const long low = std::strtol(item.c_str(), &end, 10);
        long high = low;
        if (item.empty() || end == item.c_str())
            return false;
        if (dash != std::string::npos) {
            if (end != item.c_str() + dash)
                return false;
            const char* from = item.c_str() + dash + 1;
            high = std::strtol(from, &end, 10);
            if (end == from)
                return false;
        }
        if (*end != '\0' || low < 1 || high > 16 || low > high)
            return false;
        for (long u = low; u <= high; ++u)
            result |= 1u << u;
        if (comma == std::string::npos)
            break;
        at = comma + 1;
    }
    mask = result;
    return result != 0;
}

bool CheckHttp(const HttpSettings& s, std::string& error)
{
    const auto& host = s.where.host;
    const bool loopback = host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
    if (!loopback && s.password.empty() && s.token.empty()) {
        error = "the console listens on " + host +
                ", beyond this computer: set a password or token ([http] password, or TROVEL_HTTP_PASSWORD)";
        return false;
    }
    if (s.tlsCertificate.empty() != s.tlsKey.empty()) {
        error = "TLS needs both tls-certificate and tls-key";
        return false;
    }
    return true;
}

bool LoadConfig(const std::string& path, Config& config, std::vector<std::string>& errors)
{
    const std::size_t before = errors.size();
    toml::table root;
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error& e) {
        errors.push_back(path + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description()));
        return false;
    } catch (const std::exception& e) {
        errors.push_back(path + ": " + e.what());
        return false;
    }
    Reader reader(path, errors);
    reader.OnlyKnown(root, {"log-level", "log-file", "stats-interval", "line", "mqtt", "poll", "http"}, "the file");
    ReadMqttTables(root, path, config.mqtt, config.poll, errors);
    std::string level;
    if (reader.Text(root, "log-level", level) && !ParseLevel(level, config.level))
        reader.Error(*root.get("log-level"), "log-level must be \"error\", \"warning\", \"info\" or \"debug\"");
    reader.Text(root, "log-file", config.logFile);
    reader.Integer(root, "stats-interval", config.statsMinutes, 0, 1440, " (minutes; 0: only on SIGUSR1)");
    if (const toml::node* lines = root.get("line")) {
        if (!lines->is_array_of_tables()) {
            reader.Error(*lines, "line must be [[line]] tables");
        } else {
            std::size_t index = 0;
            for (const auto& item : *lines->as_array())
                reader.Line(*item.as_table(), index++, config);
        }
    }
    if (const toml::node* http = root.get("http")) {
        if (!http->is_table())
            reader.Error(*http, "http must be an [http] table");
        else
            reader.Http(*http->as_table(), config.http);
    }
    return errors.size() == before;
}

bool CheckConfig(const Config& config, std::vector<std::string>& errors)
{
    const std::size_t before = errors.size();
    if (config.lines.empty())
        errors.push_back("no line: give --line DEVICE, or [[line]] in the configuration file");
    std::set<std::string> names;
    for (const auto& line : config.lines) {
        if (!names.insert(line.line.name).second)
            errors.push_back("two lines are named " + line.line.name);
        if (line.endpoints.empty() && !config.http.enabled && !config.mqtt.enabled)
            errors.push_back(line.line.name + " has no endpoint: give --listen-modbus-tcp HOST:PORT or --listen-rtu "
                                              "HOST:PORT, or [[line.listen]] in the file");
        if (line.line.gapMs > 0 && line.line.timeoutMs > 0 && line.line.gapMs > line.line.timeoutMs)
            errors.push_back(line.line.name + ": reply-gap must not exceed reply-timeout");
    }
    std::vector<std::string> lineNames;
    for (const auto& line : config.lines)
        lineNames.push_back(line.line.name);
    CheckMqtt(config.mqtt, config.poll, lineNames, errors);
    std::string error;
    if (config.http.enabled && !CheckHttp(config.http, error))
        errors.push_back("[http]: " + error);
    return errors.size() == before;
}

} // namespace trovel::gateway
