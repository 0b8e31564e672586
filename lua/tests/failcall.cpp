/* Test equipment: fails one C library call on demand, so every error path of the daemon module runs.
 *   FAILCALL=fork:2   the second fork of the process (counted across fork: a child inherits the count)
 *   FAILCALL=setsid, chdir, dup2 (the first call)
 * The failing call sets the errno a real failure of that call gives. */
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int calls[4];

static int should_fail(int which, const char *name)
{
	const char *want = getenv("FAILCALL");
	size_t n = strlen(name);

	calls[which]++;
	if (!want || strncmp(want, name, n) != 0 || (want[n] != '\0' && want[n] != ':'))
		return 0;
	int nth = want[n] == ':' ? atoi(want + n + 1) : 1;
	return calls[which] == nth;
}

template <typename F> static F real(const char *name)
{
	return (F)dlsym(RTLD_NEXT, name);
}

extern "C" pid_t fork(void)
{
	if (should_fail(0, "fork")) {
		errno = EAGAIN;
		return -1;
	}
	return real<pid_t (*)(void)>("fork")();
}

extern "C" pid_t setsid(void)
{
	if (should_fail(1, "setsid")) {
		errno = EPERM;
		return -1;
	}
	return real<pid_t (*)(void)>("setsid")();
}

extern "C" int chdir(const char *path)
{
	if (should_fail(2, "chdir")) {
		errno = EACCES;
		return -1;
	}
	return real<int (*)(const char *)>("chdir")(path);
}

extern "C" int dup2(int a, int b)
{
	if (should_fail(3, "dup2")) {
		errno = EBADF;
		return -1;
	}
	return real<int (*)(int, int)>("dup2")(a, b);
}
