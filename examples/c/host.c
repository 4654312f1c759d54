/*
 * A small host program: opens the controllers' line, reads one controller, switches output 1
 * on, runs the screen to its right end, and reports where it stopped.
 *
 *   trovel-host-example /dev/ttyUSB0 [ADDRESS]          a serial device (COM3 on Windows)
 *   trovel-host-example modbus+tcp://10.0.0.7 [ADDRESS]  a Modbus TCP gateway
 *   trovel-host-example rtu+tcp://10.0.0.8:4001          a serial device server
 *
 * Build against an installed library: cc host.c $(pkg-config --cflags --libs trovelsdk)
 */
#define _POSIX_C_SOURCE 200809L /* nanosleep, clock_gettime */

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "TrovelSdk.h"

/* A run at the default speed takes a few seconds; give up long after that. */
#define RUN_LIMIT_SECONDS 60.0

static double Now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void Pause(long milliseconds)
{
    struct timespec t = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    nanosleep(&t, NULL);
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s DEVICE [ADDRESS]\n", argv[0]);
        return 2;
    }
    const int address = argc > 2 ? atoi(argv[2]) : 1;

    /* A line opens a serial device or a gateway alike; the calls then name it first. */
    TrovelLine* line = TrovelOpenLine(argv[1]);
    if (line == NULL) {
        fprintf(stderr, "cannot open %s: %s\n", argv[1], TrovelErrorText(TrovelLastError()));
        return 3;
    }
    /* Frame-complete replies: each call ends as soon as its answer is in. */
    TrovelSetReplyMode(line, TROVEL_REPLY_FRAME);

    /* Text results go into our own buffers: the library writes where our pointer points. */
    char serial[28];
    char* serialText = serial;
    float speed = 0, begin = 0, end = 0, position = 0;
    if (!TrovelGetSerial(line, address, &serialText) || !TrovelGetMotorSpeed(line, address, &speed) ||
        !TrovelGetBeginPoint(line, address, &begin) || !TrovelGetEndPoint(line, address, &end) ||
        !TrovelGetCurrentPoint(line, address, &position)) {
        fprintf(stderr, "controller %d on %s: %s\n", address, argv[1], TrovelErrorText(TrovelLastError()));
        TrovelCloseLine(line);
        return 1;
    }
    printf("controller %d: serial %s, speed %g, points %g .. %g, at %g\n", address, serial, speed, begin, end,
           position);

    if (!TrovelSetSwichState(line, address, 1, 1) || !TrovelSetMoveRight(line, address)) {
        fprintf(stderr, "controller %d did not take the command: %s\n", address, TrovelErrorText(TrovelLastError()));
        TrovelCloseLine(line);
        return 1;
    }

    /* Follow the run: it is over when the right limit input is made or the run state is 0. */
    int state = 1, atLimit = 0;
    const double started = Now();
    while (!atLimit && Now() - started < RUN_LIMIT_SECONDS) {
        Pause(200);
        if (!TrovelGetRunState(line, address, &state) || !TrovelGetRightLimit(line, address, &atLimit) ||
            !TrovelGetCurrentPoint(line, address, &position))
            continue; /* one lost reply is no reason to give up */
        printf("position %.2f\n", position);
        if (state == 0)
            break;
    }

    char outputs[7];
    char* outputsText = outputs;
    int result = 0;
    if (!TrovelSetSwichState(line, address, 1, 0) || !TrovelGetSwichState(line, address, &outputsText)) {
        fprintf(stderr, "controller %d did not switch output 1 off\n", address);
        result = 1;
    } else {
        printf("outputs %s\n", outputs);
    }
    if (!atLimit) {
        fprintf(stderr, "the screen did not reach its right limit\n");
        TrovelSetMoveStop(line, address);
        result = 1;
    } else {
        printf("stopped at %g: right limit reached\n", position);
    }
    TrovelCloseLine(line);
    return result;
}
