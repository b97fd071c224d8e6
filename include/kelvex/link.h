/** @file
 * Serial line, hex dump and millisecond sleep. */
#ifndef KELVEX_LINK_H
#define KELVEX_LINK_H

#include <stddef.h>
#include <stdint.h>
#include <termios.h>

#include "kelvex/export.h"

KELVEX_BEGIN_DECLS

/** A printf-like output function; every caller in the system passes printf. */
typedef int __printf_fun(const char* fmt, ...);

/** Opens the line to the bus controller raw and non-blocking.
 *
 * "/dev/ptmx" opens a pseudo-terminal master instead, prints
 * "pseudo-terminal is <slave path>" and ignores baudrate and flow_type (the
 * saved speeds are then left untouched). Otherwise the line runs at baudrate
 * (9600, 19200, 38400, 57600 or 115200; any other number prints
 * "No support for B<n>" and ends the process with exit code 1) with flow
 * control flow_type: 1 RTS/CTS, 2 XON/XOFF, anything else none. The current
 * speeds are saved into *old_ispeed and *old_ospeed for tty_close.
 *
 * tios is the caller's record and stays in use until tty_close; the
 * descriptor is the caller's to close with tty_close.
 * @return the descriptor, or -1 with errno as the failing call set it. */
KELVEX_API int tty_open(const char* ttypath, struct termios* tios, int baudrate, int flow_type,
                        speed_t* old_ispeed, speed_t* old_ospeed);

/** Puts the saved speeds back into tios, applies it once output has drained
 * and closes fd.
 * @return the result of close: 0, or -1 with errno set. */
KELVEX_API int tty_close(int fd, struct termios* tios, speed_t* old_ispeed, speed_t* old_ospeed);

/** Prints a classic hex dump of the bytes at p through pf: 16 bytes a line,
 * offset column counted from base (absolute addresses when base is null),
 * then a closing line with s in 8 hex digits. s is the byte count, or the end
 * address when it is numerically greater than p. Zero bytes print nothing. */
KELVEX_API void diag_vdump_buf_with_offset(__printf_fun* pf, uint8_t* p, size_t s, uint8_t* base);

/** Sleeps msecs milliseconds, resuming after signals; msecs <= 0 yields once. */
KELVEX_API void msleep(int msecs);

KELVEX_END_DECLS

#endif
