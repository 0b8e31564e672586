/* Small helpers shared by every applet. */
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

struct strbuf {
	char *data;  /* caller's storage */
	char *pos;   /* next write position */
	size_t left; /* bytes free, terminating NUL included */
	size_t len;  /* characters written */
};

void strbuf_init(struct strbuf *sb, char *storage, size_t size);
int strbuf_vappend(struct strbuf *sb, const char *fmt, va_list ap) __attribute__((format(printf, 2, 0)));
int strbuf_append(struct strbuf *sb, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int strbuf_lastchar(const struct strbuf *sb);

char *trim(char *text);
int split(char **key, char **value, char *line);
int parse_uint32(uint32_t *result, const char *text);

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

/* Reads until len bytes, end of file or an error; returns the count read (short on the latter two). */
ssize_t pread_full(int fd, void *buf, size_t len, off_t off);
/* Writes all len bytes; 0, or -1 on an error. */
int pwrite_full(int fd, const void *buf, size_t len, off_t off);
