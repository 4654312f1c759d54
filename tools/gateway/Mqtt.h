#pragma once
// The MQTT bridge: it publishes every polled controller's state (retained, on change and at
// least once a minute) and its Home Assistant discovery, and hands the commands it receives to
// the controller's poller. Built on Linux with libmosquitto; elsewhere StartMqtt says that
// this build has no MQTT.

#include <memory>
#include <string>
#include <vector>

#include "gateway/Log.h"
#include "gateway/MqttSettings.h"
#include "gateway/Poller.h"
#include "gateway/State.h"

namespace trovel::gateway {

class MqttBridge {
public:
    virtual ~MqttBridge() = default;
    // Publishes offline (retained) and disconnects; commands still running are answered.
    virtual void Stop() = 0;
};

// False with the reason where this build has no MQTT, so the settings are refused up front.
bool MqttBuiltIn(std::string& why);

// Connects in the background (again and again, 1 s doubling to 60 s, while the broker cannot
// be reached); null with the reason when the settings cannot work (TLS files, no MQTT here).
std::unique_ptr<MqttBridge> StartMqtt(const MqttSettings& settings, StateStore& store, std::vector<Poller*> pollers,
                                      Log& log, std::string& error);

} // namespace trovel::gateway
