/* Bring-up and shut-down of the line for Python mission scripts, which have
 * no mission runner. These exist only in the _kelvex module. */
#ifndef KELVEX_PYTHON_BRINGUP_H
#define KELVEX_PYTHON_BRINGUP_H

#ifdef __cplusplus
extern "C" {
#endif

/* Fills in the upload path and log server where the script left them unset,
 * opens the line at G.baud with G.flow_type into G.fd, greets the bus
 * controller and aims the ground log channel at G.buzz_server:G.buzz_port.
 * Ends the process with exit status 1 when the line, the socket or the log
 * server address fails. */
void online(char *ttypath);
/* Restores and closes the line; G.fd keeps its value. */
void offline(void);
/* Sends str, up to its first zero byte, as one log datagram. Returns the
 * number of bytes sent, or -1 (reported with the prefix "sendto"). */
int buzz(char *str);

#ifdef __cplusplus
}
#endif

#endif
