// The exported CRC routine: the same one every frame of the library carries.

#include <cstddef>
#include <span>

#include "TrovelSdk.h"
#include "modbus/Crc16.h"

extern "C" int TROVEL_CALL CRC16(const unsigned char* data, int count)
{
    // A negative count or missing data reads nothing.
    if (count <= 0 || data == nullptr)
        return 0;
    return trovel::modbus::Crc16(std::span(data, static_cast<std::size_t>(count)));
}
