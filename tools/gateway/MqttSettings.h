#pragma once
// Settings of the MQTT bridge and of the poller behind it, from the file's [mqtt] and [poll]
// tables and the command line.

#include <string>
#include <vector>

#include "gateway/Poller.h"

namespace trovel::gateway {

struct MqttSettings {
    bool enabled = false;
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string clientId;        // default trovel-gateway-NAME
    std::string username, password;
    std::string caFile, certFile, keyFile; // a CA file turns TLS on
    int keepalive = 30;          // seconds
    std::string name;            // the gateway in topics; default the host name
    std::string topicPrefix = "trovel";
    std::string discoveryPrefix = "homeassistant";
    bool discovery = true;
    // Commands from the broker: -1 takes them from a broker on loopback, or when the gateway
    // logs in (a password or a client certificate); 0 never (state only); 1 always.
    int commands = -1;
};

// Whether the bridge takes commands, and if not, why.
bool TakesCommands(const MqttSettings& settings, std::string& why);

// The checks that need the lines' names (the controllers' settings name their line).
void CheckMqtt(const MqttSettings& mqtt, const PollSettings& poll, const std::vector<std::string>& lines,
               std::vector<std::string>& errors);

// The host's name, for a gateway given none.
std::string HostName();

} // namespace trovel::gateway
