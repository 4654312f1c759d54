#pragma once
// The MQTT messages of the controllers' state and their Home Assistant discovery, as plain
// topic and payload pairs: the bridge only sends them.

#include <string>
#include <vector>

#include "gateway/State.h"

namespace trovel::gateway {

struct Message {
    std::string topic, payload;
};

// Where one gateway publishes: PREFIX/NAME/status and PREFIX/NAME/LINE/ADDRESS/...
struct Topics {
    std::string prefix = "trovel";
    std::string name;
    std::string discoveryPrefix = "homeassistant";

    std::string Gateway() const { return prefix + "/" + name; }
    std::string Status() const { return Gateway() + "/status"; }
    std::string Base(const std::string& line, unsigned address) const
    {
        return Gateway() + "/" + line + "/" + std::to_string(address) + "/";
    }
};

// Input bits 0 to 7 by their topic names.
inline constexpr const char* kInputNames[8] = {"left_limit", "right_limit", "left_extremity", "right_extremity",
                                               "input5",     "input6",      "input7",         "input8"};
inline constexpr int kOutputCount = 6;
inline constexpr int kSensorInputs = 4; // the limits and extremities get binary sensors

// The retained state topics that `changes` touched (everything for ~0u).
std::vector<Message> StateMessages(const ControllerState& state, const Topics& topics, unsigned changes);

// The config messages of one controller's device: cover, six switches, four binary sensors,
// the position sensor. Empty until its identity has been read: the ids come from the serial
// number (or, for a controller that refuses it, from the gateway, line and address).
std::vector<Message> DiscoveryMessages(const ControllerState& state, const Topics& topics);

// The gateway's own device: a connectivity sensor on its status topic.
Message GatewayDiscovery(const Topics& topics);

// A JSON string literal of `text`.
std::string JsonString(const std::string& text);

} // namespace trovel::gateway
