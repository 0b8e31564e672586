/* File helpers: whole reads and writes that survive interruptions and short transfers. */
#include "common/fileio.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

int write_all(int fd, const void *buf, size_t len)
{
	const char *p = (const char *)buf;

	while (len) {
		ssize_t n = write(fd, p, len);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
			struct pollfd pfd = { fd, POLLOUT, 0 };
			if (poll(&pfd, 1, -1) < 0 && errno != EINTR)
				return -1;
			continue;
		}
		if (n <= 0) {
			if (n == 0)
				errno = EIO;
			return -1;
		}
		p += n;
		len -= (size_t)n;
	}
	return 0;
}

ssize_t pread_full(int fd, void *buf, size_t len, off_t off)
{
	size_t done = 0;

	while (done < len) {
		ssize_t n = pread(fd, (char *)buf + done, len - done, off + (off_t)done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		done += (size_t)n;
	}
	return (ssize_t)done;
}

int pwrite_full(int fd, const void *buf, size_t len, off_t off)
{
	size_t done = 0;

	while (done < len) {
		ssize_t n = pwrite(fd, (const char *)buf + done, len - done, off + (off_t)done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return -1;
		done += (size_t)n;
	}
	return 0;
}

ssize_t read_prefix(const char *path, void *buf, size_t size)
{
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	size_t got = 0;

	if (fd < 0)
		return -1;
	while (got < size) {
		ssize_t n = read(fd, (char *)buf + got, size - got);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0) {
			int err = errno;
			close(fd);
			errno = err;
			return -1;
		}
		if (n == 0)
			break;
		got += (size_t)n;
	}
	close(fd);
	return (ssize_t)got;
}

char *read_file(const char *path, size_t *size)
{
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	size_t cap = 4096, len = 0;
	char *buf = NULL;
	int err;

	if (fd < 0)
		return NULL;
	for (;;) {
		if (!buf || cap - len < 4097) {
			char *grown = (char *)realloc(buf, cap *= 2);
			if (!grown)
				goto fail;
			buf = grown;
		}
		ssize_t n = read(fd, buf + len, cap - len - 1);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			goto fail;
		if (n == 0)
			break;
		len += (size_t)n;
	}
	close(fd);
	buf[len] = '\0';
	if (size)
		*size = len;
	return buf;
fail:
	err = errno;
	free(buf);
	close(fd);
	errno = err;
	return NULL;
}

struct buffer_fill {
	const void *data;
	size_t len;
};

static int fill_buffer(int fd, void *arg)
{
	const struct buffer_fill *b = (const struct buffer_fill *)arg;
	return write_all(fd, b->data, b->len);
}

int write_replace(const char *path, const char *suffix, const void *data, size_t len, mode_t mode, unsigned flags)
{
	struct buffer_fill b = { data, len };
	return write_replace_with(path, suffix, mode, flags, fill_buffer, &b);
}

int write_replace_with(const char *path, const char *suffix, mode_t mode, unsigned flags, int (*fill)(int fd, void *arg),
		       void *arg)
{
	char tmp[PATH_MAX];
	int fd, err;

	if ((size_t)snprintf(tmp, sizeof(tmp), "%s%s", path, suffix) >= sizeof(tmp)) {
		errno = ENAMETOOLONG;
		return -1;
	}
	fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
	if (fd < 0)
		return -1;
	/* fchmod: the mode asked for, whatever the umask */
	if (fchmod(fd, mode) < 0 || fill(fd, arg) < 0 || ((flags & WR_SYNC) && fsync(fd) < 0))
		goto fail;
	if (close(fd) < 0) {
		fd = -1;
		goto fail;
	}
	if (rename(tmp, path) == 0)
		return 0;
	fd = -1;
fail:
	err = errno;
	if (fd >= 0)
		close(fd);
	unlink(tmp);
	errno = err;
	return -1;
}
