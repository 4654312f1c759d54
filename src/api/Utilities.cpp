// Exports that do not touch the line: the CRC routine every frame carries, the character
// shift coding and the library's version.

#include <cstddef>
#include <span>

#include "TrovelSdk.h"
#include "modbus/Crc16.h"
#include "util/ShiftCoding.h"

namespace {

// The caller passes the address of its destination pointer; source, that address and the
// pointer itself must all be there, else nothing is written and the answer is 0.
int Shift(const char* source, char** destination, std::uint8_t shift) noexcept
{
    if (source == nullptr || destination == nullptr || *destination == nullptr)
        return 0;
    trovel::util::ShiftText(source, *destination, shift);
    return 1;
}

// Only the low 8 bits of the shift count; subtracting is adding its complement.
std::uint8_t Up(int shift) noexcept { return static_cast<std::uint8_t>(static_cast<unsigned>(shift)); }
std::uint8_t Down(int shift) noexcept { return static_cast<std::uint8_t>(0u - static_cast<unsigned>(shift)); }

} // namespace

extern "C" {

int TROVEL_CALL CRC16(const unsigned char* data, int count)
{
    // A negative count or missing data reads nothing.
    if (count <= 0 || data == nullptr)
        return 0;
    return trovel::modbus::Crc16(std::span(data, static_cast<std::size_t>(count)));
}

const char* TROVEL_CALL TrovelVersion(void) { return TROVELSDK_VERSION_STRING; }

int TROVEL_CALL StrEncode(const char* source, char** destination, int shift) { return Shift(source, destination, Up(shift)); }
int TROVEL_CALL StrDecode(const char* source, char** destination, int shift) { return Shift(source, destination, Down(shift)); }
}
