#include "Parameters.h"

#include <algorithm>
#include <cmath>

#include "Format.h"
#include "TrovelSdk.h"

namespace trovelctl {

namespace {

Parameter Motion(std::string_view name, std::array<std::string_view, 2> aliases, std::string_view label,
                 std::string_view unit, Controller::FloatRead read, Controller::FloatWrite write, bool refusesNegative)
{
    Parameter p{name, aliases, label, unit, ValueKind::Float};
    p.readFloat = read;
    p.writeFloat = write;
    p.refusesNegative = refusesNegative;
    return p;
}

Parameter Setting(std::string_view name, std::array<std::string_view, 2> aliases, std::string_view label,
                  Controller::IntRead read, Controller::IntWrite write)
{
    Parameter p{name, aliases, label, {}, ValueKind::ZeroOne};
    p.readInt = read;
    p.writeInt = write;
    return p;
}

Parameter Status(std::string_view name, std::array<std::string_view, 2> aliases, std::string_view label, ValueKind kind,
                 Controller::IntRead read)
{
    Parameter p{name, aliases, label, {}, kind};
    p.readInt = read;
    return p;
}

// Speeds and times follow from the controller's position unit; points are in that unit.
const std::array kParameters = [] {
    std::array table{
        Motion("speed", {"motor-speed", {}}, "motor speed", "units/s", TrovelGetMotorSpeed, TrovelSetMotorSpeed,
               true),
        Motion("acceleration", {"acc", "motor-acc"}, "acceleration", "units/s2", TrovelGetMotorAcc,
               TrovelSetMotorAcc, true),
        Motion("pulse-count", {"pulses", {}}, "pulse count", "pulses", TrovelGetPulseCount, TrovelSetPulseCount,
               true),
        Motion("begin-point", {"begin", {}}, "begin point", {}, TrovelGetBeginPoint, TrovelSetBeginPoint, false),
        Motion("end-point", {"end", {}}, "end point", {}, TrovelGetEndPoint, TrovelSetEndPoint, false),
        Motion("auto-begin-point", {"auto-begin", {}}, "automatic-run begin point", {}, TrovelGetAutoBeginPoint,
               TrovelSetAutoBeginPoint, false),
        Motion("auto-end-point", {"auto-end", {}}, "automatic-run end point", {}, TrovelGetAutoEndPoint,
               TrovelSetAutoEndPoint, false),
        Motion("resolution", {}, "resolution", {}, TrovelGetResolution, TrovelSetResolution, true),
        Motion("diameter", {}, "diameter", {}, TrovelGetDiameter, TrovelSetDiameter, true),
        Motion("delay-time", {"delay", {}}, "delay at the ends of an automatic run", "s", TrovelGetDelayTime,
               TrovelSetDelayTime, true),
        Motion("current-point", {"position", {}}, "current point", {}, TrovelGetCurrentPoint,
               TrovelFixedCurrentPoint, false),
        Setting("work-mode", {"mode", {}}, "work mode", TrovelGetWorkMode, TrovelSetWorkMode),
        Setting("direction", {"veer", "motor-direction"}, "motor direction", TrovelGetMotorVeer, TrovelSetMotorVeer),
        Setting("remote-function", {"remote", {}}, "remote-control function", TrovelGetRemoteFunction,
                TrovelSetRemoteFunction),
        Status("run-state", {"state", {}}, "run state", ValueKind::RunState, TrovelGetRunState),
        Status("remote-key", {"key", {}}, "remote key", ValueKind::RemoteKey, TrovelGetRemoteKeyState),
    };
    // Setting the current point moves nothing: the controller counts from the new value.
    table[10].writeNote = "the screen does not move; the controller now counts its position from this value";
    return table;
}();

std::string WithUnit(const std::string& number, std::string_view unit)
{
    return unit.empty() ? number : number + " " + std::string(unit);
}

} // namespace

std::span<const Parameter> Parameters() { return kParameters; }

const Parameter* FindParameter(std::string_view name)
{
    for (const auto& p : kParameters)
        if (p.name == name || (!name.empty() && std::find(p.aliases.begin(), p.aliases.end(), name) != p.aliases.end()))
            return &p;
    return nullptr;
}

std::string NameList()
{
    std::string list;
    for (const auto& p : kParameters)
        AppendItem(list, p.name, ", ");
    return list;
}

std::string JsonKey(std::string_view name)
{
    std::string key(name);
    std::replace_if(key.begin(), key.end(), [](char c) { return c == '-' || c == ' '; }, '_');
    return key;
}

Reading DescribeFloat(const Parameter& p, float value) { return {Json(value), WithUnit(FormatFloat(value), p.unit)}; }

Reading DescribeInt(const Parameter& p, int value)
{
    switch (p.kind) {
    case ValueKind::ZeroOne:
        // The library reads anything but 0 and 1 as -1 for the work mode.
        return {Json(value), value < 0 ? "neither 0 nor 1" : std::to_string(value)};
    case ValueKind::RunState:
        return {Json(value), std::to_string(value) + " (" + RunStateText(value) + ")"};
    case ValueKind::RemoteKey:
        return {Json(value), value == 0 ? "none" : "key " + std::to_string(value)};
    case ValueKind::Float:
        break;
    }
    return {Json(value), std::to_string(value)};
}

std::optional<Reading> TryReadParameter(const Controller& c, const Parameter& p)
{
    if (p.readFloat) {
        const auto value = c.TryRead(p.readFloat);
        return value ? std::optional(DescribeFloat(p, *value)) : std::nullopt;
    }
    const auto value = c.TryRead(p.readInt);
    return value ? std::optional(DescribeInt(p, *value)) : std::nullopt;
}

Reading ReadParameter(const Controller& c, const Parameter& p)
{
    auto reading = TryReadParameter(c, p);
    if (!reading)
        c.Fail("reading the " + std::string(p.label));
    return *reading;
}

Reading WriteParameter(const Controller& c, const Parameter& p, std::string_view text)
{
    const std::string name(p.name);
    const std::string doing = "writing the " + std::string(p.label);
    switch (p.kind) {
    case ValueKind::Float: {
        const auto value = ParseFloat(text);
        if (!value && BeyondFloat(text))
            FailUsage(name + " takes a number within a float's range (up to ±3.4e38, and apart from 0 no nearer "
                             "0 than ±1.4e-45), not '" + std::string(text) + "'; nothing was sent");
        if (!value)
            FailUsage(name + " takes a number, not '" + std::string(text) + "'; nothing was sent");
        if (p.refusesNegative && *value < 0.0f)
            FailUsage(name + " cannot be negative (" + std::string(text) + "): the controller takes 0 or more; "
                             "nothing was sent");
        c.Require(p.writeFloat(c.Handle(), c.Address(), *value), doing);
        const float held = c.Read(p.readFloat, "reading the " + std::string(p.label) + " back");
        // The current point may already have moved on; every other value must read back as sent.
        if (p.writeFloat != TrovelFixedCurrentPoint && !(held == *value))
            FailController("controller " + std::to_string(c.Address()) + " acknowledged " + name + " " +
                           FormatFloat(*value) + " but holds " + FormatFloat(held));
        return DescribeFloat(p, held);
    }
    case ValueKind::ZeroOne: {
        if (text != "0" && text != "1")
            FailUsage(name + " takes 0 or 1, not '" + std::string(text) + "'; nothing was sent");
        const int value = text == "1" ? 1 : 0;
        c.Require(p.writeInt(c.Handle(), c.Address(), value), doing);
        const int held = c.Read(p.readInt, "reading the " + std::string(p.label) + " back");
        if (held != value)
            FailController("controller " + std::to_string(c.Address()) + " acknowledged " + name + " " +
                           std::to_string(value) + " but holds " + std::to_string(held));
        return DescribeInt(p, held);
    }
    case ValueKind::RunState:
    case ValueKind::RemoteKey:
        break;
    }
    FailUsage(name + " is read-only: the controller reports it");
}

} // namespace trovelctl
