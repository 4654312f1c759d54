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

#include "TrovelSdkVersion.h"

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

/* ======================================================================================
 * Extensions: everything below goes past the classic interface above, which stays as it
 * is. Extension names start with "Trovel"; on Windows their ordinals start at 101 and
 * never move. A twin of a classic call keeps its name after the prefix, spelling
 * included, takes the line first and behaves exactly like the classic call on that line;
 * its ordinal is the classic one plus 100. A NULL line means the default line, the one
 * the classic calls use.
 * ====================================================================================== */

/* ---- Version ------------------------------------------------------------------------- */

/* The version of the library actually loaded, "MAJOR.MINOR.PATCH"; compare it with
 * TROVELSDK_VERSION_STRING, the version of this header. */
TROVEL_API const char* TROVEL_CALL TrovelVersion(void);

/* ---- Lines ----------------------------------------------------------------------------
 * A line is one serial port (or network gateway) with up to 16 controllers, its own
 * exchange lock, settings and statistics. Calls on different lines run at the same time;
 * calls on one line queue. The default line always exists: OpenCom opens it, CloseCom
 * closes it, and its settings survive a close and reopen. */

typedef struct TrovelLine TrovelLine;

/* Opens a line on a device, with the same line format and exclusivity as OpenCom:
 *   Windows  "COM3", "COM12" (the \\.\ prefix is added) or a full device name;
 *   Linux    a device path: "/dev/ttyUSB0", "/dev/serial/by-id/...", a pseudo-terminal;
 *   network  "rtu+tcp://HOST:PORT"   RTU frames through a serial device server,
 *            "modbus+tcp://HOST[:PORT]"  a Modbus TCP gateway (port 502 by default).
 * Returns NULL on failure; TrovelLastError() tells why. */
TROVEL_API TrovelLine* TROVEL_CALL TrovelOpenLine(const char* device);

/* Closes and frees a line opened by TrovelOpenLine; the handle is invalid afterwards.
 * A call already running on it finishes safely. NULL is ignored; the default line is
 * closed as by CloseCom and never freed. */
TROVEL_API void TROVEL_CALL TrovelCloseLine(TrovelLine* line);

/* The default line's handle, always valid. Whether its port is open is IsComOpen(). */
TROVEL_API TrovelLine* TROVEL_CALL TrovelDefaultLine(void);

/* The serial ports present, one name a line ("COM3" on Windows, "/dev/ttyUSB0" and
 * /dev/serial/by-id names on Linux), NUL-terminated. Only whole names that fit are
 * written. Returns how many ports there are (more than were written when size is small);
 * a NULL buffer or a size of 0 only counts. */
TROVEL_API int TROVEL_CALL TrovelListPorts(char* buffer, int size);

/* ---- Twins of the controller calls: the same calls on a given line --------------------- */

TROVEL_API int TROVEL_CALL TrovelSetDefault(TrovelLine* line, int address);
TROVEL_API int TROVEL_CALL TrovelGetSerial(TrovelLine* line, int address, char** text);
TROVEL_API int TROVEL_CALL TrovelGetWorkMode(TrovelLine* line, int address, int* mode);
TROVEL_API int TROVEL_CALL TrovelGetMotorVeer(TrovelLine* line, int address, int* direction);
TROVEL_API int TROVEL_CALL TrovelGetRemoteFunction(TrovelLine* line, int address, int* function);
TROVEL_API int TROVEL_CALL TrovelGetSwichState(TrovelLine* line, int address, char** text);
TROVEL_API int TROVEL_CALL TrovelGetIoInputState(TrovelLine* line, int address, char** text);
TROVEL_API int TROVEL_CALL TrovelGetRightExtremity(TrovelLine* line, int address, int* state);
TROVEL_API int TROVEL_CALL TrovelGetLeftExtremity(TrovelLine* line, int address, int* state);
TROVEL_API int TROVEL_CALL TrovelGetRightLimit(TrovelLine* line, int address, int* state);
TROVEL_API int TROVEL_CALL TrovelGetLeftLimit(TrovelLine* line, int address, int* state);
TROVEL_API int TROVEL_CALL TrovelGetRunState(TrovelLine* line, int address, int* state);
TROVEL_API int TROVEL_CALL TrovelGetRemoteKeyState(TrovelLine* line, int address, int* key);
TROVEL_API int TROVEL_CALL TrovelGetBiosDate(TrovelLine* line, int address, char** text);
TROVEL_API int TROVEL_CALL TrovelGetFactroyDate(TrovelLine* line, int address, char** text);
TROVEL_API int TROVEL_CALL TrovelGetBeginPoint(TrovelLine* line, int address, float* value);
TROVEL_API int TROVEL_CALL TrovelGetEndPoint(TrovelLine* line, int address, float* value);
TROVEL_API int TROVEL_CALL TrovelGetAutoBeginPoint(TrovelLine* line, int address, float* value);
TROVEL_API int TROVEL_CALL TrovelGetAutoEndPoint(TrovelLine* line, int address, float* value);
TROVEL_API int TROVEL_CALL TrovelGetResolution(TrovelLine* line, int address, float* value);
TROVEL_API int TROVEL_CALL TrovelGetDiameter(TrovelLine* line, int address, float* value);
TROVEL_API int TROVEL_CALL TrovelGetMotorSpeed(TrovelLine* line, int address, float* value);
TROVEL_API int TROVEL_CALL TrovelGetMotorAcc(TrovelLine* line, int address, float* value);
TROVEL_API int TROVEL_CALL TrovelGetPulseCount(TrovelLine* line, int address, float* value);
TROVEL_API int TROVEL_CALL TrovelGetDelayTime(TrovelLine* line, int address, float* value);
TROVEL_API int TROVEL_CALL TrovelGetCurrentPoint(TrovelLine* line, int address, float* value);
TROVEL_API int TROVEL_CALL TrovelSetMoveLeft(TrovelLine* line, int address);
TROVEL_API int TROVEL_CALL TrovelSetMoveRight(TrovelLine* line, int address);
TROVEL_API int TROVEL_CALL TrovelSetMoveAuto(TrovelLine* line, int address);
TROVEL_API int TROVEL_CALL TrovelSetMoveStop(TrovelLine* line, int address);
TROVEL_API int TROVEL_CALL TrovelSetSwichAllOff(TrovelLine* line, int address);
TROVEL_API int TROVEL_CALL TrovelSetSwichAllOn(TrovelLine* line, int address);
TROVEL_API int TROVEL_CALL TrovelSetSwichState(TrovelLine* line, int address, int index, int state);
TROVEL_API int TROVEL_CALL TrovelSetInit(TrovelLine* line, int address);
TROVEL_API int TROVEL_CALL TrovelSetFactroyDate(TrovelLine* line, int address, char* text);
TROVEL_API int TROVEL_CALL TrovelSetMotorSpeed(TrovelLine* line, int address, float value);
TROVEL_API int TROVEL_CALL TrovelSetMotorAcc(TrovelLine* line, int address, float value);
TROVEL_API int TROVEL_CALL TrovelSetPulseCount(TrovelLine* line, int address, float value);
TROVEL_API int TROVEL_CALL TrovelSetBeginPoint(TrovelLine* line, int address, float value);
TROVEL_API int TROVEL_CALL TrovelSetEndPoint(TrovelLine* line, int address, float value);
TROVEL_API int TROVEL_CALL TrovelSetAutoBeginPoint(TrovelLine* line, int address, float value);
TROVEL_API int TROVEL_CALL TrovelSetAutoEndPoint(TrovelLine* line, int address, float value);
TROVEL_API int TROVEL_CALL TrovelSetResolution(TrovelLine* line, int address, float value);
TROVEL_API int TROVEL_CALL TrovelSetDiameter(TrovelLine* line, int address, float value);
TROVEL_API int TROVEL_CALL TrovelResetBeginPoint(TrovelLine* line, int address);
TROVEL_API int TROVEL_CALL TrovelSetWorkMode(TrovelLine* line, int address, int mode);
TROVEL_API int TROVEL_CALL TrovelSetAddress(TrovelLine* line, int address, int newAddress);
TROVEL_API int TROVEL_CALL TrovelSetMotorVeer(TrovelLine* line, int address, int direction);
TROVEL_API int TROVEL_CALL TrovelSetRemoteFunction(TrovelLine* line, int address, int function);
TROVEL_API int TROVEL_CALL TrovelSetDelayTime(TrovelLine* line, int address, float value);
TROVEL_API int TROVEL_CALL TrovelFixedCurrentPoint(TrovelLine* line, int address, float value);

/* ---- Why a call failed -----------------------------------------------------------------
 * Every call that talks to a controller or opens a port (classic or twin) records the
 * cause of its outcome for the calling thread: 0 after a success. Calls that only inspect
 * (TrovelLastError, TrovelErrorText, IsComOpen, TrovelVersion, TrovelDefaultLine,
 * TrovelGetLineStats) and the settings calls leave it as it was. */

#define TROVEL_OK                  0
#define TROVEL_ERR_NOT_OPEN        1   /* the port (line) is not open; nothing sent */
#define TROVEL_ERR_ARGUMENT        2   /* an argument was refused; nothing sent */
#define TROVEL_ERR_BAD_LINE        3   /* the line handle is not (or no longer) open */
#define TROVEL_ERR_NO_DEVICE      10   /* open failed: no such device, or host name unknown */
#define TROVEL_ERR_BUSY           11   /* open failed: in use by another program or line */
#define TROVEL_ERR_PERMISSION     12   /* open failed: permission denied */
#define TROVEL_ERR_NOT_SERIAL     13   /* open failed: not a serial device */
#define TROVEL_ERR_CONNECT        14   /* open failed: the network gateway cannot be reached */
#define TROVEL_ERR_OPEN_FAILED    15   /* open failed for another reason */
#define TROVEL_ERR_NO_REPLY       20   /* no reply within the time-out */
#define TROVEL_ERR_SHORT_REPLY    21   /* the reply was too short */
#define TROVEL_ERR_CRC            22   /* CRC error in the reply */
#define TROVEL_ERR_MISMATCH       23   /* the reply does not answer the request */
#define TROVEL_ERR_TWO_FRAMES     24   /* more than one frame arrived; none was taken */
#define TROVEL_ERR_ECHO           25   /* local echo of the request missing or different */
#define TROVEL_ERR_DEVICE_GONE    26   /* the device or connection is gone; it is reopened */
#define TROVEL_ERR_INTERNAL       27   /* unexpected failure inside the library */
#define TROVEL_ERR_BAD_VALUE      28   /* the reply holds a value the call cannot express (a date
                                          with too few digits) */
#define TROVEL_ERR_RS485_UNSUPPORTED 29 /* the adapter does not switch RS-485 direction on request
                                          (USB RS-485 adapters switch by themselves); the line
                                          works as before */
#define TROVEL_ERR_SETTING_REFUSED 30  /* the driver refused the setting; the line works as before */
/* A Modbus exception reply: base plus the exception code (1..255), e.g. 258 for code 02. */
#define TROVEL_ERR_EXCEPTION_BASE 256
#define TROVEL_ERR_EXCEPTION(code) (TROVEL_ERR_EXCEPTION_BASE + (code))

TROVEL_API int TROVEL_CALL TrovelLastError(void);
/* A short English text for any code, unknown codes included; never NULL. */
TROVEL_API const char* TROVEL_CALL TrovelErrorText(int code);

/* ---- Frame trace -----------------------------------------------------------------------
 * Called once per exchange (each retry is one) after the line's lock has been released,
 * so the callback may call the library, also on the same line. elapsedMicroseconds runs
 * from the request to the end of the reply; outcome is the cause code of that exchange.
 * Without a rebuild: TROVEL_TRACE=FILE (or stderr) in the environment at load writes
 * every exchange of every line to FILE, one line each. */

typedef void (TROVEL_CALL* TrovelTraceFn)(void* user, TrovelLine* line, int address,
                                          const unsigned char* request, int requestLength,
                                          const unsigned char* reply, int replyLength,
                                          int elapsedMicroseconds, int outcome);

/* fn NULL turns the trace off. Returns 1, or 0 for a line handle that is not open. */
TROVEL_API int TROVEL_CALL TrovelSetTrace(TrovelLine* line, TrovelTraceFn fn, void* user);

/* ---- Line settings ---------------------------------------------------------------------
 * Each returns 1, or 0 (setting kept) for a value out of range or a line handle that is
 * not open. Safe while other threads exchange on the line. Without a rebuild, the
 * default line takes TROVEL_TIMEOUTS=total,gap  TROVEL_RETRIES=n  TROVEL_LOCAL_ECHO=1
 * and TROVEL_REPLY_MODE=frame|silence from the environment at load. */

/* A reply must be complete totalMs after the request (10..10000, default 250) and ends
 * gapMs after its last byte (2..totalMs, default 100). */
TROVEL_API int TROVEL_CALL TrovelSetTimeouts(TrovelLine* line, int totalMs, int gapMs);

/* Repeats an exchange that got no reply, a short, corrupted or foreign one, up to count
 * times (0..5, default 0). Exception replies, refused arguments, SetAddress and
 * broadcasts (address 0) are never repeated. */
TROVEL_API int TROVEL_CALL TrovelSetRetries(TrovelLine* line, int count);

/* For RS-485 adapters that hand the host its own request back before the reply. */
TROVEL_API int TROVEL_CALL TrovelSetLocalEcho(TrovelLine* line, int on);

/* How a read ends: on silence (gapMs after the last byte; the classic rule, the default)
 * or as soon as a complete reply has arrived and the line has been quiet for 3.5
 * characters. */
#define TROVEL_REPLY_SILENCE 0
#define TROVEL_REPLY_FRAME   1
TROVEL_API int TROVEL_CALL TrovelSetReplyMode(TrovelLine* line, int mode);

/* ---- Line statistics: counts since the line was opened (the default line: since load) --- */

typedef struct TrovelLineStats {
    unsigned int size;          /* set to sizeof(TrovelLineStats) before the call */
    unsigned int exchanges;     /* requests sent, retries included */
    unsigned int successes;
    unsigned int failures;      /* the sum of the causes below */
    unsigned int noReply;
    unsigned int shortReplies;
    unsigned int crcErrors;
    unsigned int mismatches;
    unsigned int twoFrames;
    unsigned int exceptions;
    unsigned int echoErrors;
    unsigned int deviceGone;
    unsigned int retries;       /* exchanges repeated after a failure */
    unsigned int settles;       /* waits for a quiet line before asking a controller again */
    unsigned int reopens;       /* times a vanished device was opened again */
    unsigned int bytesSent;
    unsigned int bytesReceived;
} TrovelLineStats;

/* Fills the first out->size bytes (at most sizeof(TrovelLineStats)); returns 1, or 0 for a
 * NULL out, a size below 8 or a line handle that is not open. */
TROVEL_API int TROVEL_CALL TrovelGetLineStats(TrovelLine* line, TrovelLineStats* out);

/* ---- Registers by number -------------------------------------------------------------
 * Functions 3, 6 and 16 on any holding registers (0..65535), through the line's exchange
 * (reply matching, settle, retries, reopen), for programs that forward requests of other
 * Modbus masters. A controller's exception reply fails with TROVEL_ERR_EXCEPTION(code).
 * Writes to address 0 are broadcast: sent once and never answered, so they return 1 once
 * the request went out (after the reply time-out, which gives the controllers time to act). */

/* count 1..125 registers from first into values[0..count-1], written only on success. */
TROVEL_API int TROVEL_CALL TrovelReadRegisters(TrovelLine* line, int address, int first, int count,
                                               unsigned short* values);
/* Function 6: value 0..65535. */
TROVEL_API int TROVEL_CALL TrovelWriteRegister(TrovelLine* line, int address, int reg, int value);
/* Function 16: count 1..123 registers from first. */
TROVEL_API int TROVEL_CALL TrovelWriteRegisters(TrovelLine* line, int address, int first, int count,
                                                const unsigned short* values);
/* ---- Real adapters: RS-485 direction and the ports' descriptions -----------------------
 * An RS-485 transceiver on a plain UART (an industrial PC, a Raspberry Pi HAT) must be
 * switched to send by RTS. TrovelSetRs485 asks the driver to do it around every request:
 * Linux TIOCSRS485 (only these flags change, the driver's others stay), Windows
 * RTS_CONTROL_TOGGLE (RTS high while sending; no delays there, so a delay other than 0,
 * like RTS low on send, is refused as unsupported). The setting is kept across close and
 * reopen and applied at every open; on an open line it applies at once. Returns 1, or 0
 * with the cause (unlike the other settings, it records one): TROVEL_ERR_ARGUMENT (mode
 * or a delay out of range), TROVEL_ERR_BAD_LINE, TROVEL_ERR_NOT_SERIAL (a network line),
 * TROVEL_ERR_RS485_UNSUPPORTED (USB adapters, pseudo-terminals: they need none), or
 * TROVEL_ERR_SETTING_REFUSED. After a 0 the line works exactly as before. Without a
 * rebuild: TROVEL_RS485=rts-high|rts-low|off[,BEFORE_MS,AFTER_MS] for the default line. */

#define TROVEL_RS485_OFF            0   /* the driver's own setting (the default) */
#define TROVEL_RS485_RTS_HIGH       1   /* RTS high while sending, low after (most transceivers) */
#define TROVEL_RS485_RTS_LOW        2   /* RTS low while sending, high after */
#define TROVEL_RS485_MAX_DELAY_MS 100

/* delayBeforeMs, delayAfterMs: 0..100, RTS switched that long before the first bit and
 * back that long after the last (Linux). */
TROVEL_API int TROVEL_CALL TrovelSetRs485(TrovelLine* line, int mode, int delayBeforeMs, int delayAfterMs);

/* One serial port as the system describes it. Text fields are UTF-8, NUL-terminated,
 * empty when unknown (and cut to their size when longer). */
typedef struct TrovelPortInfo {
    unsigned int size;          /* set to sizeof(TrovelPortInfo) in the first element */
    char name[256];             /* what TrovelOpenLine takes: "COM7", "/dev/serial/by-id/usb-..." */
    char description[128];      /* "FT232R USB UART", "USB Serial Port (COM7)" */
    char manufacturer[64];      /* "FTDI", "Silicon Labs" */
    char serialNumber[64];      /* the USB serial number: tells two equal adapters apart */
    char location[64];          /* where it is plugged in: "1-2:1.0" (Linux), "Port_#0002.Hub_#0001" */
    int vendorId;               /* USB VID, e.g. 0x0403; -1 when not a USB adapter */
    int productId;              /* USB PID, e.g. 0x6001; -1 when not a USB adapter */
    int latencyTimerMs;         /* how long the adapter holds received bytes (FTDI: 16 by default); -1 unknown */
    int inUse;                  /* 1 held by another process (on Windows also by this one), 0 not seen
                                   in use, -1 not known */
} TrovelPortInfo;

/* The ports of TrovelListPorts with their descriptions, into an array of count elements.
 * The first element's size is the size of every element (a host built with an older, shorter
 * struct gets its part). Returns how many ports there are (more than were written when
 * count is small); NULL ports or a count of 0 only counts; -1 for a size below the name
 * field's end, with nothing written. Opens no port on Linux (a port's use is seen in /proc);
 * on Windows a port's use is told by opening it for a moment, as port-listing tools do. */
TROVEL_API int TROVEL_CALL TrovelListPortsInfo(TrovelPortInfo* ports, int count);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TROVELSDK_H */
