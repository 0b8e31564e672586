/* Fatal exits, descriptor setters, hex dump, command status and the shared control socket. */
#include "spine/utils.h"

#include "common/ctlsock.h"
#include "spine/logging.h"
#include "spine/strbuf.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

LOG4C_CATEGORY(log4c_cat_lib_utils, "lib.utils");

#define DIE_BUF 4096

static void begin_message(struct strbuf *sb, char *storage, size_t size)
{
	strbuf_init(sb, storage, size);
	if (invoke_name())
		strbuf_append(sb, "%s: ", invoke_name());
}

[[noreturn]] static void write_and_exit(const struct strbuf *sb)
{
	ssize_t ignored = write(STDERR_FILENO, sb->data, sb->len);
	(void)ignored;
	exit(1);
}

void die(const char *fmt, ...)
{
	char buf[DIE_BUF];
	struct strbuf sb;
	va_list ap;

	begin_message(&sb, buf, sizeof(buf));
	va_start(ap, fmt);
	strbuf_vappend(&sb, fmt, ap);
	va_end(ap);
	if (strbuf_lastchar(&sb) != '\n')
		strbuf_append(&sb, "\n");
	write_and_exit(&sb);
}

void die_errno(const char *fmt, ...)
{
	int err = errno;
	char buf[DIE_BUF];
	struct strbuf sb;
	va_list ap;

	begin_message(&sb, buf, sizeof(buf));
	va_start(ap, fmt);
	strbuf_vappend(&sb, fmt, ap);
	va_end(ap);
	if (strbuf_lastchar(&sb) == '\n') {
		sb.pos--;
		sb.len--;
		sb.left++;
		*sb.pos = '\0';
	}
	if (err)
		strbuf_append(&sb, ": %s (%d)\n", strerror(err), err);
	else
		strbuf_append(&sb, "\n");
	write_and_exit(&sb);
}

void set_coe(int fd)
{
	int flags = fcntl(fd, F_GETFD);
	if (flags < 0 || fcntl(fd, F_SETFD, flags | FD_CLOEXEC) < 0)
		die("cannot set FD_CLOEXEC flag.\n");
}

void set_nonblock(int fd)
{
	int flags = fcntl(fd, F_GETFL);
	if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
		die("cannot set O_NONBLOCK flags.\n");
}

void set_reuseaddr(int fd)
{
	int on = 1;
	if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) < 0)
		die_errno("setsockopt(SO_REUSEADDR) failed");
}

void set_v6only(int fd)
{
	int on = 1;
	if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)) < 0)
		die_errno("setsockopt(IPV6_V6ONLY) failed");
}

/* Width in bytes of one value, from the group bits. */
static size_t hexdump_group(unsigned flags)
{
	switch (flags & (HEXDUMP_BYTE | HEXDUMP_HALF | HEXDUMP_WORD)) {
	case 0:
	case HEXDUMP_BYTE:
		return 1;
	case HEXDUMP_HALF:
		return 2;
	case HEXDUMP_WORD:
		return 4;
	default:
		die("__hexdump(): invalid %0zX flags given", (size_t)flags);
	}
}

static void hexdump_value(FILE *out, const uint8_t *p, size_t avail, size_t group)
{
	/* A short last group shows the bytes it has, blanks for the rest: never a read past the end. */
	if (avail < group) {
		for (size_t i = 0; i < group; i++) {
			if (i < avail)
				fprintf(out, "%02X", p[i]);
			else
				fputs("  ", out);
		}
		fputc(' ', out);
		return;
	}
	switch (group) {
	case 1:
		fprintf(out, "%02X ", p[0]);
		break;
	case 2:
		fprintf(out, "%04hX ", (unsigned short)((p[0] << 8) | p[1]));
		break;
	default:
		fprintf(out, "%08X ", (unsigned)(((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) |
						 ((uint32_t)p[2] << 8) | p[3]));
		break;
	}
}

static void hexdump_blank(FILE *out, size_t group)
{
	for (size_t i = 0; i < group * 2 + 1; i++)
		fputc(' ', out);
}

void fhexdump(FILE *out, const void *data, size_t length, unsigned flags)
{
	const uint8_t *bytes = (const uint8_t *)data;
	size_t per_line = flags & 0xff;
	size_t group = hexdump_group(flags);

	if (per_line == 0)
		per_line = 16;
	if (per_line > 32)
		per_line = 32;
	size_t line_bytes = per_line * group;

	for (size_t off = 0; off < length; off += line_bytes) {
		size_t n = length - off < line_bytes ? length - off : line_bytes;
		fprintf(out, "%08lX: ", (unsigned long)off);
		for (size_t v = 0; v < per_line; v++) {
			size_t at = v * group;
			if (at < n)
				hexdump_value(out, bytes + off + at, n - at, group);
			else
				hexdump_blank(out, group);
		}
		if (flags & HEXDUMP_ASCII) {
			fputc('|', out);
			for (size_t i = 0; i < n; i++)
				fputc(isprint(bytes[off + i]) ? bytes[off + i] : '.', out);
			fputc('|', out);
		}
		fputc('\n', out);
	}
}

void hexdump(const void *data, size_t length, unsigned flags)
{
	fhexdump(stdout, data, length, flags);
}

int system_status(const char *name, int status)
{
	if (status == -1) {
		fprintf(stderr, "'%s' failed, %s\n", name, strerror(errno));
		return -1;
	}
	if (WIFSIGNALED(status)) {
		fprintf(stderr, "'%s' failed, terminated by '%s'\n", name, strsignal(WTERMSIG(status)));
		return -1;
	}
	if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
		fprintf(stderr, "'%s' failed,  exit status: '%d'\n", name, WEXITSTATUS(status));
		return -1;
	}
	return 0;
}

int ioctl_socket(void)
{
	int fd = ctl_socket(SOCK_STREAM);
	if (fd < 0)
		die("cannot create socket, %s\n", strerror(errno));
	return fd;
}

void ioctl_close(void)
{
	ctl_socket_close();
}

int create_path(const char *path)
{
	const char *slash = strrchr(path, '/');
	if (!slash || slash == path)
		return 0;
	size_t len = (size_t)(slash - path);
	char *dir = strndup(path, len);
	if (!dir)
		return -1;
	int rc = mkdir(dir, 0755);
	/* An existing directory is what the caller wanted. */
	if (rc < 0 && errno == EEXIST)
		rc = 0;
	free(dir);
	return rc;
}
