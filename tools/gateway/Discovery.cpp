#include "gateway/Discovery.h"

#include <cmath>
#include <cctype>
#include <cstdio>

namespace trovel::gateway {

namespace {

const char* OnOff(bool on) noexcept
{
    return on ? "ON" : "OFF";
}

std::string Number(double value, const char* format)
{
    char text[48];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Ids come from what the controller is, not where it sits: a controller moved to another
// address or gateway stays the same device in Home Assistant.
std::string DeviceId(const ControllerState& s, const Topics& t)
{
    if (s.identity.serial.empty()) // it refused its serial number: where it sits must do
        return "trovel_" + t.name + "_" + s.line + "_" + std::to_string(s.address);
    std::string id = "trovel_";
    for (char c : s.identity.serial)
        if (c != '-')
            id += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return id;
}

std::string GatewayId(const Topics& t)
{
    return "trovel_gateway_" + t.name;
}

std::string Availability(const Topics& t, const std::string& base)
{
    return "\"availability\":[{\"topic\":" + JsonString(t.Status()) + "},{\"topic\":" + JsonString(base + "availability") +
           "}],\"availability_mode\":\"all\"";
}

} // namespace

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::vector<Message> StateMessages(const ControllerState& s, const Topics& t, unsigned changes)
{
    std::vector<Message> out;
    const std::string base = t.Base(s.line, s.address);
    if (changes & (change::Availability | change::Added))
        out.push_back({base + "availability", s.available ? "online" : "offline"});
    if (!s.answered)
        return out;
    if (changes & change::Position) {
        out.push_back({base + "position", Number(s.position, "%.6g")});
        if (s.percent >= 0)
            out.push_back({base + "position_percent", Number(std::round(s.percent), "%.0f")});
    }
    if (changes & (change::Motion | change::Inputs))
        out.push_back({base + "state", MotionName(s.motion)});
    if (changes & change::Inputs)
        for (unsigned bit = 0; bit < 8; ++bit)
            out.push_back({base + "inputs/" + kInputNames[bit], OnOff((s.inputs >> bit) & 1u)});
    if (changes & change::Outputs)
        for (int n = 1; n <= kOutputCount; ++n)
            out.push_back({base + "outputs/" + std::to_string(n), OnOff((s.outputs >> (n - 1)) & 1u)});
    if ((changes & change::Identity) && s.identity.known)
        out.push_back({base + "identity", "{\"serial\":" + JsonString(s.identity.serial) + ",\"bios_date\":" +
                                              JsonString(s.identity.biosDate) + ",\"factory_date\":" +
                                              JsonString(s.identity.factoryDate) + "}"});
    return out;
}

std::vector<Message> DiscoveryMessages(const ControllerState& s, const Topics& t)
{
    std::vector<Message> out;
    if (!s.identity.known)
        return out;
    const std::string base = t.Base(s.line, s.address);
    const std::string id = DeviceId(s, t);
    const std::string device = "\"device\":{\"identifiers\":[" + JsonString(id) + "],\"name\":" +
                               JsonString("Screen " + s.line + " #" + std::to_string(s.address)) +
                               ",\"manufacturer\":\"Trovel\",\"model\":\"Sliding-screen controller\",\"serial_number\":" +
                               JsonString(s.identity.serial) + ",\"sw_version\":" + JsonString(s.identity.biosDate) +
                               ",\"via_device\":" + JsonString(GatewayId(t)) + "}";
    const std::string common = device + "," + Availability(t, base);
    const auto config = [&](const char* component, const std::string& object, const std::string& body) {
        out.push_back({t.discoveryPrefix + "/" + component + "/" + id + "/" + object + "/config",
                       "{\"unique_id\":" + JsonString(id + "_" + object) + "," + body + "," + common + "}"});
    };
    config("cover", "cover",
           "\"name\":null,\"device_class\":\"curtain\",\"command_topic\":" + JsonString(base + "set") +
               ",\"payload_open\":\"OPEN\",\"payload_close\":\"CLOSE\",\"payload_stop\":\"STOP\",\"state_topic\":" +
               JsonString(base + "state") +
               ",\"state_open\":\"open\",\"state_opening\":\"opening\",\"state_closed\":\"closed\",\"state_closing\":"
               "\"closing\",\"state_stopped\":\"stopped\",\"position_topic\":" +
               JsonString(base + "position_percent") + ",\"set_position_topic\":" + JsonString(base + "position/set") +
               ",\"position_open\":100,\"position_closed\":0");
    for (int n = 1; n <= kOutputCount; ++n) {
        const std::string topic = base + "outputs/" + std::to_string(n);
        config("switch", "output" + std::to_string(n),
               "\"name\":" + JsonString("Output " + std::to_string(n)) + ",\"command_topic\":" + JsonString(topic + "/set") +
                   ",\"state_topic\":" + JsonString(topic) + ",\"payload_on\":\"ON\",\"payload_off\":\"OFF\"");
    }
    for (int bit = 0; bit < kSensorInputs; ++bit) {
        std::string label = kInputNames[bit];
        label[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(label[0])));
        for (auto& c : label)
            if (c == '_')
                c = ' ';
        config("binary_sensor", kInputNames[bit],
               "\"name\":" + JsonString(label) + ",\"state_topic\":" + JsonString(base + "inputs/" + kInputNames[bit]) +
                   ",\"payload_on\":\"ON\",\"payload_off\":\"OFF\"");
    }
    config("sensor", "position",
           "\"name\":\"Position\",\"state_topic\":" + JsonString(base + "position") + ",\"state_class\":\"measurement\"");
    return out;
}

Message GatewayDiscovery(const Topics& t)
{
    const std::string id = GatewayId(t);
    return {t.discoveryPrefix + "/binary_sensor/" + id + "/status/config",
            "{\"unique_id\":" + JsonString(id + "_status") + ",\"name\":\"Broker connection\",\"device_class\":"
            "\"connectivity\",\"state_topic\":" + JsonString(t.Status()) + ",\"payload_on\":\"online\",\"payload_off\":"
            "\"offline\",\"device\":{\"identifiers\":[" + JsonString(id) + "],\"name\":" + JsonString("Trovel gateway " + t.name) +
            ",\"manufacturer\":\"Trovel\",\"model\":\"trovel-gateway\"}}"};
}

} // namespace trovel::gateway
