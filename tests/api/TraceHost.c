/* A host that cannot be rebuilt: it opens the device named on its command line, reads the
 * motor speed of controller 1 and writes it, and prints for each call its result, the
 * cause and how long it took. Settings and the trace reach it only through the environment. */
#include <stdio.h>
#include <time.h>

#include "TrovelSdk.h"

static double NowMs(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

int main(int argc, char** argv)
{
    if (argc != 2 || !OpenComDevice(argv[1]))
        return 3;
    float speed = 0;
    double started = NowMs();
    int result = GetMotorSpeed(1, &speed);
    printf("%d %d %.0f\n", result, TrovelLastError(), NowMs() - started);
    started = NowMs();
    result = SetMotorSpeed(1, 12.5f);
    printf("%d %d %.0f\n", result, TrovelLastError(), NowMs() - started);
    CloseCom();
    return 0;
}
