#pragma once
// Reading [mqtt] and [poll] of the configuration file (toml++ is included by the reader alone).

#include <string>
#include <vector>

#define TOML_EXCEPTIONS 1
#include <toml++/toml.h>

#include "gateway/MqttSettings.h"

namespace trovel::gateway {

// Errors as "FILE:LINE: what is wrong and what would be right"; unknown keys are errors.
void ReadMqttTables(const toml::table& root, const std::string& path, MqttSettings& mqtt, PollSettings& poll,
                    std::vector<std::string>& errors);

} // namespace trovel::gateway
