/* Power-cut stand-in, preloaded into one sysconf run.  It counts the bytes written to the store file
 * (CUT_PATH) through every write call there is (write, pwrite, pwritev and their 64-bit names), and
 * after CUT_AT of them the process dies by SIGKILL in the middle of the call.  With CUT_GARBLE set, the
 * rest of the 512-byte sector being written is filled with junk first, as a flash page caught
 * mid-program would be.  With CUT_COUNT set, a process that wrote to the store appends its byte count
 * to that file at exit, so a test learns how much an uncut run writes. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

static long long budget = -2;
static long long written;

static ssize_t (*real_pwrite)(int, const void *, size_t, off_t);
static ssize_t (*real_write)(int, const void *, size_t);

static void init(void)
{
	if (budget != -2)
		return;
	real_pwrite = (ssize_t(*)(int, const void *, size_t, off_t))dlsym(RTLD_NEXT, "pwrite");
	real_write = (ssize_t(*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
	const char *e = getenv("CUT_AT");
	budget = e && *e ? atoll(e) : -1;
}

static int is_store(int fd)
{
	const char *path = getenv("CUT_PATH");
	struct stat a, b;
	return path && fstat(fd, &a) == 0 && stat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

/* Writes n bytes at off (or at the file position when off < 0), cutting when the budget runs out. */
static ssize_t cut_write(int fd, const void *buf, size_t n, off_t off)
{
	init();
	if (!is_store(fd))
		return off < 0 ? real_write(fd, buf, n) : real_pwrite(fd, buf, n, off);
	if (budget < 0 || (long long)n <= budget) {
		if (budget >= 0)
			budget -= (long long)n;
		written += (long long)n;
		return off < 0 ? real_write(fd, buf, n) : real_pwrite(fd, buf, n, off);
	}
	if (off < 0)
		off = lseek(fd, 0, SEEK_CUR);
	size_t keep = (size_t)budget;
	if (keep)
		real_pwrite(fd, buf, keep, off);
	const char *garble = getenv("CUT_GARBLE");
	if (garble && *garble) {
		size_t end = (size_t)(((off + (off_t)keep) / 512 + 1) * 512 - off);
		if (end > n)
			end = n;
		if (end > keep) {
			char junk[512];
			memset(junk, 0xA5, sizeof(junk));
			real_pwrite(fd, junk, end - keep, off + (off_t)keep);
		}
	}
	kill(getpid(), SIGKILL);
	return -1;
}

static ssize_t cut_writev(int fd, const struct iovec *iov, int cnt, off_t off)
{
	ssize_t total = 0;
	for (int i = 0; i < cnt; i++) {
		ssize_t r = cut_write(fd, iov[i].iov_base, iov[i].iov_len, off < 0 ? -1 : off + total);
		if (r < 0)
			return total ? total : r;
		total += r;
		if ((size_t)r < iov[i].iov_len)
			break;
	}
	return total;
}

ssize_t write(int fd, const void *buf, size_t n)
{
	return cut_write(fd, buf, n, -1);
}

ssize_t pwrite(int fd, const void *buf, size_t n, off_t off)
{
	return cut_write(fd, buf, n, off);
}

ssize_t pwrite64(int fd, const void *buf, size_t n, off_t off)
{
	return cut_write(fd, buf, n, off);
}

ssize_t writev(int fd, const struct iovec *iov, int cnt)
{
	return cut_writev(fd, iov, cnt, -1);
}

ssize_t pwritev(int fd, const struct iovec *iov, int cnt, off_t off)
{
	return cut_writev(fd, iov, cnt, off);
}

ssize_t pwritev64(int fd, const struct iovec *iov, int cnt, off_t off)
{
	return cut_writev(fd, iov, cnt, off);
}

__attribute__((destructor)) static void report(void)
{
	const char *path = getenv("CUT_COUNT");
	if (!path || !written)
		return;
	init();
	char line[32];
	int len = snprintf(line, sizeof(line), "%lld\n", written);
	int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
	if (fd >= 0) {
		real_write(fd, line, (size_t)len);
		close(fd);
	}
}
