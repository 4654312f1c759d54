// The bridge where libmosquitto is not built in (the Windows build): the gateway refuses an
// MQTT setting instead of running without what it was asked for.
#include "gateway/Mqtt.h"

namespace trovel::gateway {

bool MqttBuiltIn(std::string& why)
{
    why = "MQTT is not in this build of trovel-gateway (it is built with libmosquitto on Linux only); "
            "remove --mqtt and the [mqtt] table, or run the Linux gateway";
    return false;
}

std::unique_ptr<MqttBridge> StartMqtt(const MqttSettings&, StateStore&, std::vector<Poller*>, Log&, std::string& error)
{
    MqttBuiltIn(error);
    return nullptr;
}

} // namespace trovel::gateway
