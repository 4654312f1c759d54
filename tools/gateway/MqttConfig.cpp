#include "gateway/MqttConfig.h"

#include <set>

#include "gateway/Net.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <unistd.h>
#endif

namespace trovel::gateway {

namespace {

struct Tables {
    const std::string& path;
    std::vector<std::string>& errors;

    void Error(const toml::node& at, const std::string& text)
    {
        errors.push_back(path + ":" + std::to_string(at.source().begin.line) + ": " + text);
    }

    void OnlyKnown(const toml::table& table, std::initializer_list<const char*> known, const char* where)
    {
        const std::set<std::string> names(known.begin(), known.end());
        for (const auto& [key, node] : table)
            if (names.count(std::string(key.str())) == 0)
                Error(node, "unknown key '" + std::string(key.str()) + "' in " + where);
    }

    void Text(const toml::table& t, const char* key, std::string& out)
    {
        if (const toml::node* n = t.get(key)) {
            if (n->is_string())
                out = *n->value<std::string>();
            else
                Error(*n, std::string(key) + " must be a quoted text");
        }
    }

    template <class T> void Number(const toml::table& t, const char* key, T& out, double low, double high, const char* unit)
    {
        const toml::node* n = t.get(key);
        if (n == nullptr)
            return;
        const auto v = n->value<double>();
        const bool whole = std::is_integral_v<T>;
        if (!v || (whole && !n->is_integer()) || *v < low || *v > high) {
            Error(*n, std::string(key) + " must be " + (whole ? "a whole number" : "a number") + " from " +
                          std::to_string(static_cast<long long>(low)) + " to " + std::to_string(static_cast<long long>(high)) + unit);
            return;
        }
        out = static_cast<T>(*v);
    }

    void Boolean(const toml::table& t, const char* key, bool& out)
    {
        if (const toml::node* n = t.get(key)) {
            if (n->is_boolean())
                out = *n->value<bool>();
            else
                Error(*n, std::string(key) + " must be true or false");
        }
    }

    void Mqtt(const toml::table& t, MqttSettings& m)
    {
        OnlyKnown(t, {"broker", "client-id", "username", "password", "ca-file", "cert-file", "key-file", "keepalive", "name",
                      "topic-prefix", "discovery-prefix", "discovery", "commands"},
                  "[mqtt] (known: broker, client-id, username, password, ca-file, cert-file, key-file, keepalive, name, "
                  "topic-prefix, discovery-prefix, discovery, commands)");
        m.enabled = true;
        if (const toml::node* n = t.get("broker")) {
            std::string text, error;
            Text(t, "broker", text);
            if (!text.empty() && !ParseBroker(text, m, error))
                Error(*n, error);
        }
        Text(t, "client-id", m.clientId);
        Text(t, "username", m.username);
        Text(t, "password", m.password);
        Text(t, "ca-file", m.caFile);
        Text(t, "cert-file", m.certFile);
        Text(t, "key-file", m.keyFile);
        Number(t, "keepalive", m.keepalive, 5, 3600, " (seconds)");
        Text(t, "name", m.name);
        Text(t, "topic-prefix", m.topicPrefix);
        Text(t, "discovery-prefix", m.discoveryPrefix);
        Boolean(t, "discovery", m.discovery);
        if (t.get("commands") != nullptr) {
            bool on = false;
            Boolean(t, "commands", on);
            m.commands = on ? 1 : 0;
        }
    }

    void Poll(const toml::table& t, PollSettings& p)
    {
        OnlyKnown(t, {"interval", "moving-interval", "scan-interval", "offline-after", "tolerance", "controller"},
                  "[poll] (known: interval, moving-interval, scan-interval, offline-after, tolerance, controller)");
        long long ms = p.interval.count();
        Number(t, "interval", ms, 50, 3600000, " (milliseconds)");
        p.interval = std::chrono::milliseconds(ms);
        ms = p.movingInterval.count();
        Number(t, "moving-interval", ms, 20, 3600000, " (milliseconds)");
        p.movingInterval = std::chrono::milliseconds(ms);
        long long minutes = p.scanInterval.count();
        Number(t, "scan-interval", minutes, 0, 1440, " (minutes; 0: at start only)");
        p.scanInterval = std::chrono::minutes(minutes);
        Number(t, "offline-after", p.offlineAfter, 1, 100, " (failed polls)");
        Number(t, "tolerance", p.tolerance, 0.1, 50, " (percent)");
        const toml::node* list = t.get("controller");
        if (list == nullptr)
            return;
        if (!list->is_array_of_tables()) {
            Error(*list, "controller must be [[poll.controller]] tables");
            return;
        }
        for (const auto& item : *list->as_array()) {
            const toml::table& c = *item.as_table();
            OnlyKnown(c, {"line", "address", "opens", "tolerance"}, "[[poll.controller]] (known: line, address, opens, tolerance)");
            ControllerSettings s;
            s.tolerance = p.tolerance;
            Text(c, "line", s.line);
            if (s.line.empty())
                Error(c, "a [[poll.controller]] names its line: line = \"line1\"");
            if (c.get("address") == nullptr)
                Error(c, "a [[poll.controller]] names its controller: address = 1 to 16");
            Number(c, "address", s.address, 1, 16, "");
            std::string opens = "right";
            Text(c, "opens", opens);
            if (opens != "right" && opens != "left")
                Error(*c.get("opens"), "opens must be \"right\" (towards the end point) or \"left\"");
            s.opensLeft = opens == "left";
            Number(c, "tolerance", s.tolerance, 0.1, 50, " (percent)");
            p.controllers.push_back(s);
        }
    }

    bool ParseBroker(const std::string& text, MqttSettings& m, std::string& error)
    {
        net::HostPort where;
        const bool portGiven = text.find(':') != std::string::npos && text.back() != ']';
        if (!net::ParseHostPort(portGiven ? text : text + ":1883", where, error))
            return false;
        m.host = where.host;
        m.port = where.port;
        return true;
    }
};

bool TopicLevel(const std::string& text) noexcept
{
    return !text.empty() && text.find_first_of("/+#") == std::string::npos;
}

} // namespace

void ReadMqttTables(const toml::table& root, const std::string& path, MqttSettings& mqtt, PollSettings& poll,
                    std::vector<std::string>& errors)
{
    Tables tables{path, errors};
    for (const auto& [key, name] : {std::pair{"mqtt", "[mqtt]"}, std::pair{"poll", "[poll]"}}) {
        const toml::node* n = root.get(key);
        if (n == nullptr)
            continue;
        if (!n->is_table()) {
            tables.Error(*n, std::string(key) + " must be a " + name + " table");
            continue;
        }
        if (std::string(key) == "mqtt")
            tables.Mqtt(*n->as_table(), mqtt);
        else
            tables.Poll(*n->as_table(), poll);
    }
}

void CheckMqtt(const MqttSettings& mqtt, const PollSettings& poll, const std::vector<std::string>& lines,
               std::vector<std::string>& errors)
{
    if (mqtt.enabled) {
        if (!mqtt.name.empty() && !TopicLevel(mqtt.name)) // empty: the host's name, given later
            errors.push_back("the gateway's name '" + mqtt.name + "' must be one topic level: no '/', '+' or '#'");
        for (const auto& line : lines)
            if (!TopicLevel(line))
                errors.push_back("the line's name '" + line + "' is a topic level: no '/', '+' or '#'");
        if ((mqtt.certFile.empty() != mqtt.keyFile.empty()) || (!mqtt.certFile.empty() && mqtt.caFile.empty()))
            errors.push_back("[mqtt]: a client certificate takes cert-file and key-file, and TLS takes ca-file");
    }
    for (const auto& c : poll.controllers)
        if (std::find(lines.begin(), lines.end(), c.line) == lines.end())
            errors.push_back("[[poll.controller]] names the line '" + c.line + "', which is not configured");
}

bool TakesCommands(const MqttSettings& m, std::string& why)
{
    if (m.commands == 0) {
        why = "commands are off ([mqtt] commands = false)";
        return false;
    }
    const bool loopback = m.host == "localhost" || m.host == "::1" || m.host.rfind("127.", 0) == 0;
    if (m.commands == 1 || loopback || !m.password.empty() || !m.certFile.empty())
        return true;
    // Anyone who can publish on that broker could otherwise move the screens.
    why = "commands are refused: the broker at " + m.host + " is beyond loopback and the gateway does not log in "
          "(give username and password or a client certificate, or commands = true)";
    return false;
}

std::string HostName()
{
    char name[256] = {};
    net::Startup();
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "gateway";
    std::string text(name);
    const auto dot = text.find('.');
    return dot == std::string::npos ? text : text.substr(0, dot);
}

} // namespace trovel::gateway
