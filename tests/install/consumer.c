/* A host built against the installed SDK: exercises the header from C and one export. */
#include <stdio.h>

#include "TrovelSdk.h"

int main(void)
{
    const unsigned char digits[] = "123456789";
    const int crc = CRC16(digits, 9);
    printf("CRC16=%04X open=%d\n", crc, IsComOpen());
    return crc == 0x374B && IsComOpen() == 0 ? 0 : 1;
}
