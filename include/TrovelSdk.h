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

/* ---- Status and mode reads: one register each -------------------------------------
 * address: device address 1..16. On success the value is stored through the pointer. */

TROVEL_API int TROVEL_CALL GetWorkMode(int address, int* mode);             /* 0, 1; -1 for any other value */
TROVEL_API int TROVEL_CALL GetMotorVeer(int address, int* direction);       /* 0, or 1 for any non-zero value */
TROVEL_API int TROVEL_CALL GetRemoteFunction(int address, int* function);   /* 0, or 1 for any non-zero value */
TROVEL_API int TROVEL_CALL GetRunState(int address, int* state);            /* the register as is, 0..65535 */
TROVEL_API int TROVEL_CALL GetRemoteKeyState(int address, int* key);        /* 1..4, or 0 for anything else */

/* ---- Motion parameters: floats passed through bit for bit ---------------------------- */

TROVEL_API int TROVEL_CALL GetBeginPoint(int address, float* value);
TROVEL_API int TROVEL_CALL GetEndPoint(int address, float* value);
TROVEL_API int TROVEL_CALL GetAutoBeginPoint(int address, float* value);
TROVEL_API int TROVEL_CALL GetAutoEndPoint(int address, float* value);
TROVEL_API int TROVEL_CALL GetResolution(int address, float* value);
TROVEL_API int TROVEL_CALL GetDiameter(int address, float* value);
TROVEL_API int TROVEL_CALL GetMotorSpeed(int address, float* value);
TROVEL_API int TROVEL_CALL GetMotorAcc(int address, float* value);
TROVEL_API int TROVEL_CALL GetPulseCount(int address, float* value);
TROVEL_API int TROVEL_CALL GetDelayTime(int address, float* value);
TROVEL_API int TROVEL_CALL GetCurrentPoint(int address, float* value);     /* the position (registers 500-501) */

/* Speed, acceleration, pulse count, resolution, diameter and delay time refuse values
 * below 0.0 with nothing sent (-0.0 and NaN go through); the points accept any value. */
TROVEL_API int TROVEL_CALL SetMotorSpeed(int address, float value);
TROVEL_API int TROVEL_CALL SetMotorAcc(int address, float value);
TROVEL_API int TROVEL_CALL SetPulseCount(int address, float value);
TROVEL_API int TROVEL_CALL SetBeginPoint(int address, float value);
TROVEL_API int TROVEL_CALL SetEndPoint(int address, float value);
TROVEL_API int TROVEL_CALL SetAutoBeginPoint(int address, float value);
TROVEL_API int TROVEL_CALL SetAutoEndPoint(int address, float value);
TROVEL_API int TROVEL_CALL SetResolution(int address, float value);
TROVEL_API int TROVEL_CALL SetDiameter(int address, float value);
TROVEL_API int TROVEL_CALL SetDelayTime(int address, float value);
TROVEL_API int TROVEL_CALL FixedCurrentPoint(int address, float value);     /* writes registers 510-511 */

/* ---- Configuration writes ------------------------------------------------------------ */

TROVEL_API int TROVEL_CALL SetWorkMode(int address, int mode);              /* 0 or 1 */
TROVEL_API int TROVEL_CALL SetMotorVeer(int address, int direction);        /* 0 or 1 */
TROVEL_API int TROVEL_CALL SetRemoteFunction(int address, int function);    /* 0 or 1 */
TROVEL_API int TROVEL_CALL SetAddress(int address, int newAddress);         /* 1..16; answers under the new one afterwards */
TROVEL_API int TROVEL_CALL ResetBeginPoint(int address);
TROVEL_API int TROVEL_CALL SetDefault(int address);                         /* address 0 broadcasts */

/* ---- Motion commands ----------------------------------------------------------------- */

TROVEL_API int TROVEL_CALL SetMoveLeft(int address);
TROVEL_API int TROVEL_CALL SetMoveRight(int address);
TROVEL_API int TROVEL_CALL SetMoveAuto(int address);
TROVEL_API int TROVEL_CALL SetMoveStop(int address);
/* Stop, then (only if the stop was acknowledged) all switch outputs off: two exchanges. */
TROVEL_API int TROVEL_CALL SetInit(int address);

/* ---- Switch outputs and inputs ------------------------------------------------------- *
 * Text results are written into the buffer the caller's pointer points to: pass the
 * address of that pointer. Switch string: 6 characters '0'/'1' and a NUL (7 bytes),
 * character i is output i+1. Input string: 8 characters and a NUL (9 bytes), input bit 7
 * first. Nothing is written on failure. */

TROVEL_API int TROVEL_CALL SetSwichAllOff(int address);
TROVEL_API int TROVEL_CALL SetSwichAllOn(int address);
/* index 1..6; state 0 = off, anything else = on. Reads the outputs, then writes them. */
TROVEL_API int TROVEL_CALL SetSwichState(int address, int index, int state);
TROVEL_API int TROVEL_CALL GetSwichState(int address, char** text);
TROVEL_API int TROVEL_CALL GetIoInputState(int address, char** text);
TROVEL_API int TROVEL_CALL GetRightExtremity(int address, int* state);      /* input bit 3 */
TROVEL_API int TROVEL_CALL GetLeftExtremity(int address, int* state);       /* input bit 2 */
TROVEL_API int TROVEL_CALL GetRightLimit(int address, int* state);          /* input bit 1 */
TROVEL_API int TROVEL_CALL GetLeftLimit(int address, int* state);           /* input bit 0 */

/* ---- Identity and dates -------------------------------------------------------------- *
 * Buffers: 28 bytes for the serial number ("123456-789ABC-DEF000-112233"), 11 for the
 * factory date ("2019-09-24" .. "2999-12-31"), 14 for the BIOS date. */

TROVEL_API int TROVEL_CALL GetSerial(int address, char** text);
TROVEL_API int TROVEL_CALL GetBiosDate(int address, char** text);
TROVEL_API int TROVEL_CALL GetFactroyDate(int address, char** text);
/* "YYYY-MM-DD": the dashes are removed from the caller's text in place, then the leading
 * decimal number is written. Text without a leading number is refused with nothing sent. */
TROVEL_API int TROVEL_CALL SetFactroyDate(int address, char* text);

/* ---- Character shift coding ---------------------------------------------------------- *
 * Adds (StrEncode) or subtracts (StrDecode) the low 8 bits of shift to every byte of
 * source and writes it to the buffer *destination points to. No NUL is written. In place,
 * coding stops after a byte that becomes 0. Returns 1, or 0 for a null pointer. */

TROVEL_API int TROVEL_CALL StrEncode(const char* source, char** destination, int shift);
TROVEL_API int TROVEL_CALL StrDecode(const char* source, char** destination, int shift);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TROVELSDK_H */
