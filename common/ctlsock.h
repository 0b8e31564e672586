/* The process's one socket for interface requests (ioctl), opened on first use and kept until
 * ctl_socket_close().  Plain C ABI: libktrv builds on it. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* The socket; created as an AF_INET socket of the given type (SOCK_DGRAM, SOCK_STREAM) when there is
 * none yet.  -1 with errno when it cannot be created. */
int ctl_socket(int type);
void ctl_socket_close(void);

#ifdef __cplusplus
}
#endif
