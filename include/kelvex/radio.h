/** @file
 * Radio, camera, instrument link and controller pass-through.
 *
 * The switching, reset and state queries of the transceiver and the
 * transmitter's reset and state query are in kelvex/devices.h, with the
 * camera's switching. Results, unless a function says otherwise: 0 done,
 * 1 unit number out of range or failed exchange, 2 unit switched off.
 * Nothing here is thread-safe: one caller at a time, like the serial line. */
#ifndef KELVEX_RADIO_H
#define KELVEX_RADIO_H

#include <stdint.h>

#include "kelvex/export.h"

KELVEX_BEGIN_DECLS

/** @name Transmitter switching
 * Confirmed by the unit: the request must be answered. Only then is the
 * draw booked (switch-on) or taken back (switch-off) and the flag set; the
 * present state is not consulted, so two answered switch-ons book the draw
 * twice. 0 done; 1 when num is above 3 or the exchange failed, with flag and
 * draw unchanged.
 * @{ */
/** Switches transmitter num on. */
KELVEX_API int transmitter_turn_on(uint16_t num);
/** Switches transmitter num off. */
KELVEX_API int transmitter_turn_off(uint16_t num);
/** @} */

/** Uploads `photos/<nPhoto>.jpeg` by FTP with the external tool curl, run
 * through the shell in the working directory, under the name
 * `YYYYMMDDhhmmss-<nPhoto>.jpeg` (local time of the call) into the directory
 * that ftp_path names. ftp_path is placed in the command as it stands when it
 * consists only of characters safe in a shell word (letters, digits and
 * -_.:/@%+=,), single-quoted otherwise. Blocks until curl has finished.
 * 2 when transmitter_get_state(num) is 0 (nothing run); 1 when curl fails,
 * ftp_path is null or begins with "-" (curl would read it as an option) or
 * the command line would exceed 1024 bytes (nothing run in those cases); 0
 * when curl exits with status 0. */
KELVEX_API int transmitter_transmit_photo(uint16_t num, uint16_t nPhoto);

/** Signal quality of receiver num (0..15): the IEEE 754 single-precision
 * number at answer offsets 6 to 9, stored in *quality on 0 only. An answer
 * too short to carry it fails with 1. */
KELVEX_API int receiver_request_state(uint16_t num, float* quality);

/** Sends len bytes from transceiver tx_num to transceiver rx_num (both
 * 0..15; tx_num must be switched on) in messages of at most 32 data bytes,
 * each followed by a pause of 100 ms. len 0 sends nothing and returns 0. A
 * piece the transport fails to write ends the call with 1; the rest is not
 * sent. */
KELVEX_API int transceiver_send(uint16_t tx_num, uint16_t rx_num, const uint8_t* data, uint16_t len);

/** Copies the 32 bytes transceiver num has received to data (room for 32
 * bytes). data is cleared first, whatever the outcome; it receives bytes
 * only from an answer that carries all 32. */
KELVEX_API int transceiver_request_buff(uint16_t num, uint8_t* data);

/** Takes photo num into `photos/<num>.jpeg` (the directory is created when
 * missing) with the external tool streamer, run through the shell in the
 * working directory. 2 when the camera is off (nothing run), 1 when the tool
 * fails, 0 when it exits with status 0. */
KELVEX_API int camera_take_photo(uint16_t num);

/** @name Instrument link
 * One TCP connection per process, owned by the library.
 * @{ */
/** Connects to name (host name or dotted IPv4 address) at port.
 * @return 0; 1 when already attached (the connection goes on unchanged) or
 * when the socket, the look-up or the connection fails (nothing is left
 * open). */
KELVEX_API int instrument_attach(const char* name, uint16_t port);
/** Closes the link. @return 0, or 1 when not attached. */
KELVEX_API int instrument_detach(void);

/** Sends the len request bytes at buf (nothing when len is 0), then collects
 * what the server sends, at most 1024 bytes, until secs seconds after the
 * call began: the writing spends the same budget. The call lasts the whole
 * budget even when the answer came at once or the server closed the
 * connection. *pa always receives a new zero-filled 1024-byte buffer that the
 * caller frees with free() (null, with *pi 0, only when no memory could be
 * had); *pi the number of answer bytes. 0 when at least one byte arrived; 1
 * otherwise: not attached, negative len, a failed write or one not done
 * within the budget (*pi 1024 then), or nothing within the budget (*pi 0). */
KELVEX_API int instrument_measure(char* buf, int len, char** pa, int* pi, int secs);
/** @} */

/** Hands message msg_id with the text args (null: none; at most 247
 * characters) to the handler of controller num (0..15).
 * answer null: the message is sent as a command; the transport's result.
 * Otherwise the answer is awaited (timeout in milliseconds, 0 for G.timeout)
 * and written to answer, which must have room for 1025 bytes: answers longer
 * than that fail the exchange. On success its bytes from offset 8 on are
 * moved to the start of answer; the rest of the former answer stays behind
 * them. An answer shorter than 8 bytes leaves the empty text. A failed
 * exchange returns 1 and leaves answer untouched. */
KELVEX_API int arduino_send(const uint16_t num, const uint16_t msg_id, char* args, char* answer,
                            const uint16_t timeout);

KELVEX_END_DECLS

#endif
