/* Small helpers shared by every applet: the fatal path, descriptor setters, hex dump, command
 * status, the shared control socket. */
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

[[noreturn]] void die(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void die_errno(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

void set_coe(int fd);
void set_nonblock(int fd);
void set_reuseaddr(int fd);
void set_v6only(int fd);

enum hexdump_flags {
	HEXDUMP_ASCII = 0x1000,
	HEXDUMP_BYTE = 0x2000,
	HEXDUMP_HALF = 0x4000,
	HEXDUMP_WORD = 0x8000,
};
/* Values per line in the low byte (0 = 16, at most 32); groups are read in memory order, i.e. the
 * board's big-endian order, whatever the host. */
void hexdump(const void *data, size_t length, unsigned flags);
void fhexdump(FILE *out, const void *data, size_t length, unsigned flags);

int system_status(const char *name, int status);

int ioctl_socket(void);
void ioctl_close(void);

int create_path(const char *path);
