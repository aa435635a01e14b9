/* The modem-line and break requests of ioctl on qsxsim's PTYs (see modem.c). */
#ifndef QSXTTY_MODEM_H
#define QSXTTY_MODEM_H

/* Handles `request` for a PTY that qsxsim bridges: 1 with the call's result in
 * `*result` (and errno untouched), or 0 when the request is not one of these, the file
 * is not such a PTY or the bridge did not answer; the caller then makes the real call. */
int qsxtty_modem_ioctl(int fd, unsigned long request, void *arg, int *result);

#endif
