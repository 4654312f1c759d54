#pragma once
// Every value `get` reads and `set` writes, by the name an operator types.

#include <array>
#include <span>
#include <string>
#include <string_view>

#include "Json.h"
#include "Link.h"

namespace trovelctl {

enum class ValueKind {
    Float,    // a motion parameter, passed as the float the controller holds
    ZeroOne,  // a two-valued setting: 0 or 1
    RunState, // read-only bits
    RemoteKey // read-only: 0 for none, 1-4 for a held key
};

struct Parameter {
    std::string_view name;
    std::array<std::string_view, 2> aliases;
    std::string_view label; // words for tables and messages
    std::string_view unit;  // empty when the controller's unit is not known
    ValueKind kind;
    Controller::FloatRead readFloat = nullptr;
    Controller::FloatWrite writeFloat = nullptr;
    bool refusesNegative = false; // the library sends nothing for a value below 0
    Controller::IntRead readInt = nullptr;
    Controller::IntWrite writeInt = nullptr;
    std::string_view writeNote = {}; // what a write does when that is not obvious
};

std::span<const Parameter> Parameters();
const Parameter* FindParameter(std::string_view name);
std::string NameList(); // every name, for messages

// "begin-point" -> "begin_point", "left limit" -> "left_limit"
std::string JsonKey(std::string_view name);

struct Reading {
    Json value;       // the number as JSON
    std::string text; // the value for people, with its unit or meaning
};

// What a controller answered, put into words and JSON.
Reading DescribeFloat(const Parameter& p, float value);
Reading DescribeInt(const Parameter& p, int value);

// One read of the parameter; a Failure when the controller does not answer.
Reading ReadParameter(const Controller& c, const Parameter& p);
// Nothing when the controller does not answer.
std::optional<Reading> TryReadParameter(const Controller& c, const Parameter& p);

// Checks the text, writes it (a Failure with kExitUsage, nothing sent, when the value is not
// one the parameter takes) and reads the parameter back.
Reading WriteParameter(const Controller& c, const Parameter& p, std::string_view text);

} // namespace trovelctl
