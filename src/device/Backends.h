#pragma once
// The backends behind device::Open, one set per platform.

#include <string>

#include "device/Device.h"
#include "device/NameLookup.h"

namespace trovel::device {

// A serial device by its platform name; the line format applied and the device held
// exclusively.
Opened OpenSerial(const std::string& name);

// Where a network line ends, from "rtu+tcp://HOST:PORT" or "modbus+tcp://HOST[:PORT]".
struct NetworkAddress {
    enum class Framing { Rtu, ModbusTcp } framing;
    std::string host; // without the brackets of an IPv6 literal
    std::string port;
};

// Nothing when the name is not a network URL; an empty host when it is one but malformed.
std::optional<NetworkAddress> ParseNetworkName(const std::string& name);

// A TCP connection made by `connectBy`, the host name looked up within that time too.
Opened OpenNetwork(const NetworkAddress& address, const util::Deadline& connectBy, const OpenStop& stop);

} // namespace trovel::device
