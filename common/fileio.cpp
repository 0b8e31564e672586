/* File helpers: whole reads and writes that survive interruptions and short transfers. */
#include "common/fileio.h"

#include <errno.h>
#include <unistd.h>

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
