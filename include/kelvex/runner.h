/** @file
 * Mission runner: configuration record, globals, transport, ground log, GPIO.
 *
 * All of it lives in libkelvex-dev and runs on the mission's one thread;
 * nothing here is synchronised. */
#ifndef KELVEX_RUNNER_H
#define KELVEX_RUNNER_H

#include <stdint.h>

#include "kelvex/export.h"

KELVEX_BEGIN_DECLS

/** Run-time configuration; the runner's options fill it before control().
 * Defaults in parentheses. */
typedef struct Global {
    int fd;                      /**< serial line descriptor, -1 until opened */
    int retries;                 /**< attempts of one request (5) */
    int timeout;                 /**< answer wait in milliseconds (30) */
    int baud;                    /**< line speed in bits per second (115200) */
    int flow_type;               /**< 0 none, 1 RTS/CTS, 2 XON/XOFF (0) */
    float charge;                /**< accumulator charge in ampere-hours (1.5) */
    float current;               /**< discharge current in milliamperes (60.0) */
    float fRaspberryConsumption; /**< the board computer's own draw in mA (150.0) */
    int buzz_port;               /**< UDP port of the ground log server (4567) */
    char* buzz_server;           /**< dotted IPv4 address text, owned by the runner */
} Global;

/** The one configuration record of the process, read by the transport, the
 * ground log and the battery model. */
KELVEX_API extern Global G;

KELVEX_API extern int debug;               /**< 1: transport failure reports, 2+: dumps */
KELVEX_API extern int ncells;              /**< battery cells, 0..8 (8) */
KELVEX_API extern char* ftp_path;          /**< photo upload URL, owned by the runner */
KELVEX_API extern int donotpollsunbattery; /**< 1: battery model ignores the sun battery */
KELVEX_API extern int fd;                  /**< descriptor of the last GPIO operation */
KELVEX_API extern char buf[60];            /**< text scratch of the GPIO operations */

/** Prints the usage text with prg and the current defaults, then ends the
 * process with exit status 1; it does not return. */
KELVEX_API void usage(const char* prg)
#if defined(__GNUC__)
    __attribute__((noreturn))
#endif
    ;

/** Prints "The <prg> was built with kelvex version [<revision>] <date time>"
 * on standard output: the source revision (ten hexadecimal digits) and the
 * local date and time (YYYY-MM-DD hh:mm:ss) of the library's build. */
KELVEX_API void version(const char* prg);

/** The mission hook. The library's own is a weak default that sleeps for ever;
 * a mission program defines its own, which must stay visible to the dynamic
 * linker whatever visibility the mission is compiled with (the link flags of
 * pkg-config and kelvex::mission export it). */
#if defined(__GNUC__)
__attribute__((visibility("default")))
#endif
void control(void);

/** @name Request transport
 * Request transport on G.fd. Every message goes out as one COBS frame
 * followed by a zero byte. All return 0 on success and 1 on failure.
 *
 * For requests, *nRes on entry is the capacity of the buffer *zRes points to;
 * with a null nRes the buffer must hold 64 bytes (the device API's answer
 * buffer). On success the decoded answer (header included) is copied there
 * and its length stored in *nRes; an answer longer than the capacity fails
 * the exchange. A null zRes drops the answer. On failure neither the buffer
 * nor *nRes is touched. The request must hold the six header bytes; the
 * answer must carry its two addresses swapped.
 *
 * Bytes waiting on a terminal line before a request's first attempt are
 * discarded: they were sent for earlier exchanges. Later attempts of
 * do_request keep them, so a late answer to an earlier attempt still counts.
 * A frame the line takes only in part is finished within G.timeout; one that
 * cannot be fails the call (reported with the prefix "write") and is ended,
 * before the next frame, so that the controller refuses it.
 * The request bytes stay the caller's.
 * @{ */
/** Sends the n request bytes at z as a command: no answer is awaited. */
KELVEX_API int do_command(const uint8_t* z, int n);
/** One exchange: sends the request and waits up to G.timeout milliseconds
 * for its answer. */
KELVEX_API int do_single_request(uint8_t** zRes, int* nRes, const uint8_t* z, int n);
/** Up to G.retries exchanges, stopping at the first success. */
KELVEX_API int do_request(uint8_t** zRes, int* nRes, const uint8_t* z, int n);
/** Like do_request with G.timeout replaced by timeout (when > 0) for the call. */
KELVEX_API int do_request_timeout(uint8_t** zRes, int* nRes, const uint8_t* z, int n,
                                  const int timeout);
/** Writes one zero byte to the line. */
KELVEX_API int do_setup_bus(void);
/** @} */

/** @name Ground log
 * One UDP datagram to the ground station (G.buzz_server, port G.buzz_port)
 * per call. Both return the number of bytes sent, or -1 (reported with the
 * prefix "sendto"; also before the channel has been set up by the runner).
 * @{ */
/** Sends the n bytes at p, which stay the caller's, as one datagram. */
KELVEX_API int buzz_write(void* p, int n);
/** Formats like printf and sends the text (without its terminating zero) as
 * one datagram. */
KELVEX_API int buzz_printf(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
/** @} */

/** @name GPIO
 * GPIO through sysfs ("/sys/class/gpio", or the directory named by the
 * environment variable KELVEX_GPIO_ROOT). 0 on success, -1 when the file
 * can't be opened; GPIORead returns the line's value or -1. Each operation
 * leaves the number of the descriptor it used (and closed) in ::fd and uses
 * ::buf as its scratch text.
 * @{ */
/** Makes line pin available (writes its number to "export"; "Failed to open
 * export for writing!" on standard error when that cannot be opened). */
KELVEX_API int GPIOExport(int pin);
/** Gives line pin back (writes its number to "unexport"; "Failed to open
 * unexport for writing!" on standard error when that cannot be opened). */
KELVEX_API int GPIOUnexport(int pin);
/** Sets the direction of line pin: dir 1 writes "out", anything else "in". */
KELVEX_API int GPIODirection(int pin, int dir);
/** Reads line pin: the decimal number its value file starts with, or -1
 * (with "Failed to open gpio value for reading!" or "Failed to read value!"
 * on standard error). */
KELVEX_API int GPIORead(int pin);
/** Sets line pin: value 0 writes "0", anything else "1". */
KELVEX_API int GPIOWrite(int pin, int value);
/** @} */

KELVEX_END_DECLS

#endif
