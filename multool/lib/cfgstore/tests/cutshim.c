/* Power-cut stand-in, preloaded into one sysconf run: after CUT_AT bytes of pwrite() the process
 * dies by SIGKILL in the middle of the call.  With CUT_GARBLE set, the rest of the 512-byte sector
 * being written is filled with junk first, as a flash page caught mid-program would be. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static long long budget = -2;

static ssize_t cut_pwrite(int fd, const void *buf, size_t n, off_t off)
{
	static ssize_t (*real)(int, const void *, size_t, off_t);
	if (!real)
		real = (ssize_t(*)(int, const void *, size_t, off_t))dlsym(RTLD_NEXT, "pwrite");
	if (budget == -2) {
		const char *e = getenv("CUT_AT");
		budget = e ? atoll(e) : -1;
	}
	if (budget < 0 || (long long)n <= budget) {
		if (budget >= 0)
			budget -= (long long)n;
		return real(fd, buf, n, off);
	}
	size_t keep = (size_t)budget;
	if (keep)
		real(fd, buf, keep, off);
	const char *garble = getenv("CUT_GARBLE");
	if (garble && *garble) {
		size_t end = (size_t)(((off + (off_t)keep) / 512 + 1) * 512 - off);
		if (end > n)
			end = n;
		if (end > keep) {
			char junk[512];
			memset(junk, 0xA5, sizeof(junk));
			real(fd, junk, end - keep, off + (off_t)keep);
		}
	}
	kill(getpid(), SIGKILL);
	return -1;
}

ssize_t pwrite(int fd, const void *buf, size_t n, off_t off)
{
	return cut_pwrite(fd, buf, n, off);
}

ssize_t pwrite64(int fd, const void *buf, size_t n, off_t off)
{
	return cut_pwrite(fd, buf, n, off);
}
