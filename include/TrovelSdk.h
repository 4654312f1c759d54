/*
 * TrovelSdk: host interface of the Trovel sliding-screen controllers
 * (Modbus RTU over RS-485, 19200 baud 8N1, device addresses 1 to 16).
 *
 * Every call that talks to a controller is one request/reply exchange on the line and
 * returns 1 on success, 0 on failure; values come back through the caller's pointers,
 * written only on success. Calls from several threads are serialised on the line.
 * Open the port before calling from several threads; do not open or close it while
 * another thread is inside a call.
 */
#ifndef TROVELSDK_H
#define TROVELSDK_H

#ifdef __cplusplus
#include <cstdbool>
#else
#include <stdbool.h>
#endif

#if defined(_WIN32)
#define TROVEL_CALL __stdcall
#define TROVEL_API
#else
#define TROVEL_CALL
#define TROVEL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Port control ---------------------------------------------------------------- */

/* Opens COM<port> (1..1024; /dev/ttyS<port-1> on Linux) at 19200 baud 8N1.
 * Returns 1 when the port is open afterwards. On an open port returns 1 at once and
 * keeps the port that is open, whatever the argument. */
TROVEL_API int TROVEL_CALL OpenCom(unsigned int port);

/* Closes the port if it is open. Always returns false, also after closing. */
TROVEL_API bool TROVEL_CALL CloseCom(void);

/* 1 when the port is open, else 0. Takes no lock; may be polled freely. */
TROVEL_API int TROVEL_CALL IsComOpen(void);

#if !defined(_WIN32)
/* Linux only: as OpenCom, naming the device by path (USB adapters, pseudo-terminals).
 * A null or empty path returns 0. */
TROVEL_API int TROVEL_CALL OpenComDevice(const char* path);
#endif

/* ---- Checksum -------------------------------------------------------------------- */

/* CRC-16 of Modbus over count bytes, with its two bytes exchanged: the high byte of the
 * result is the one a frame carries first. 0 for a count of 0 or below, or null data. */
TROVEL_API int TROVEL_CALL CRC16(const unsigned char* data, int count);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TROVELSDK_H */
