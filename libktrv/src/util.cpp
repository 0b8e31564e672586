/* Process and string utilities. */
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ktrv.h"

#include "common/ctlsock.h"

#define SERIAL_FILE "/etc/serial-no"
#define SERIAL_DEFAULT "0000000000000000"

void die(const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	vfprintf(stderr, fmt, ap);
	va_end(ap);
	exit(1);
}

int set_coe(int fd)
{
	int r = fcntl(fd, F_SETFD, FD_CLOEXEC);
	if (r < 0)
		die("cannot set FD_CLOEXEC flag.\n");
	return r;
}

int ioctl_socket(void)
{
	int fd = ctl_socket(SOCK_DGRAM);
	if (fd < 0)
		die("cannot create socket, %s\n", strerror(errno));
	return fd;
}

void ioctl_close(void)
{
	ctl_socket_close();
}

static const char *xml_entity(char c)
{
	switch (c) {
	case '"':
		return "&quot;";
	case '&':
		return "&amp;";
	case '\'':
		return "&apos;";
	case '<':
		return "&lt;";
	case '>':
		return "&gt;";
	default:
		return NULL;
	}
}

char *escape_xml(const char *src, char *dst)
{
	if (!dst) {
		size_t size = 1;
		for (const char *p = src; *p; p++) {
			const char *e = xml_entity(*p);
			size += e ? strlen(e) : 1;
		}
		dst = (char *)malloc(size);
		if (!dst)
			return NULL;
	}
	char *o = dst;
	for (const char *p = src; *p; p++) {
		const char *e = xml_entity(*p);
		if (e) {
			size_t n = strlen(e);
			memcpy(o, e, n);
			o += n;
		} else {
			*o++ = *p;
		}
	}
	*o = 0;
	return dst;
}

char *trimr_string(char *s)
{
	size_t n = strlen(s);
	while (n > 0 && isspace((unsigned char)s[n - 1]))
		s[--n] = 0;
	return s;
}

char *read_serial_no(char *buf, unsigned len)
{
	char line[64];

	if (!buf || !len)
		return NULL;
	memset(buf, 0, len);
	FILE *f = fopen(SERIAL_FILE, "re");
	if (!f) {
		if (errno != ENOENT)
			return NULL;
		snprintf(line, sizeof(line), "%s", SERIAL_DEFAULT);
	} else {
		char *ok = fgets(line, sizeof(line), f);
		fclose(f);
		if (!ok)
			return NULL;
		trimr_string(line);
	}
	size_t n = strlen(line) + 1;
	if (n > len)
		return NULL;
	memcpy(buf, line, n);
	return buf;
}
