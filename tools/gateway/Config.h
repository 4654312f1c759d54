#pragma once
// The gateway's settings: from a TOML file, then from the command line, which overrides it.

#include <string>
#include <vector>

#include "gateway/Endpoint.h"
#include "gateway/Http.h"
#include "gateway/Log.h"
#include "gateway/MqttSettings.h"
#include "gateway/Service.h"

namespace trovel::gateway {

struct LineConfig {
    LineSettings line;
    std::vector<EndpointSettings> endpoints;
};

struct Config {
    Level level = Level::Info;
    std::string logFile; // empty: stderr
    int statsMinutes = 15; // 0: only on SIGUSR1
    std::vector<LineConfig> lines;
    HttpSettings http; // [http]: the console
    MqttSettings mqtt; // [mqtt]
    PollSettings poll; // [poll]
};

// Reads `path` into `config`. Each error is one line, "FILE:LINE: what is wrong and what
// would be right"; false when there is any.
bool LoadConfig(const std::string& path, Config& config, std::vector<std::string>& errors);

// The checks a configuration must pass however it was made (a file, options or both).
bool CheckConfig(const Config& config, std::vector<std::string>& errors);

// "1-16", "1,3,7-9" into a mask with bit n for controller n; false for anything else.
bool ParseUnits(const std::string& text, std::uint32_t& mask);

} // namespace trovel::gateway
