/* The daemon toolkit: signals, pid file, monotonic time, waits. */
#include "common/daemon.h"

#include "common/fileio.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

int signal_on(int sig, void (*handler)(int))
{
	struct sigaction sa;

	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = handler;
	sigemptyset(&sa.sa_mask);
	return sigaction(sig, &sa, NULL);
}

int signals_on(const int *sigs, size_t n, void (*handler)(int))
{
	for (size_t i = 0; i < n; i++)
		if (signal_on(sigs[i], handler) < 0)
			return -1;
	return 0;
}

/* The program file a process runs, as the kernel resolves it. */
static ssize_t exe_of(const char *proc, char *buf, size_t size)
{
	ssize_t n = readlink(proc, buf, size - 1);
	if (n >= 0)
		buf[n] = '\0';
	return n;
}

pid_t pidfile_owner(const char *path)
{
	char text[32], proc[64], theirs[PATH_MAX], ours[PATH_MAX];
	ssize_t n = read_prefix(path, text, sizeof(text) - 1);
	char *end;

	if (n <= 0)
		return 0;
	text[n] = '\0';
	long pid = strtol(text, &end, 10);
	if (end == text || pid <= 0 || pid > INT_MAX || (*end && *end != '\n'))
		return 0;
	snprintf(proc, sizeof(proc), "/proc/%ld/exe", pid);
	if (exe_of(proc, theirs, sizeof(theirs)) < 0 || exe_of("/proc/self/exe", ours, sizeof(ours)) < 0)
		return 0;
	return strcmp(theirs, ours) == 0 ? (pid_t)pid : 0;
}

int pidfile_write(const char *path)
{
	char text[24];
	int len = snprintf(text, sizeof(text), "%d\n", (int)getpid());

	return write_replace(path, ".tmp", text, (size_t)len, 0644, 0);
}

int daemon_start(const char *pidfile)
{
	if (daemon(0, 0) < 0)
		return -1;
	if (pidfile && pidfile_write(pidfile) < 0)
		return 1;
	return 0;
}

uint64_t mono_ms(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

int64_t timers_wait_ms(const struct mono_timer *const *timers, size_t n, uint64_t now_ms)
{
	int64_t wait = -1;

	for (size_t i = 0; i < n; i++) {
		if (!timers[i]->due_ms)
			continue;
		int64_t left = timers[i]->due_ms > now_ms ? (int64_t)(timers[i]->due_ms - now_ms) : 0;
		if (wait < 0 || left < wait)
			wait = left;
	}
	return wait;
}

static int poll_timeout(int64_t ms)
{
	return ms > INT_MAX ? INT_MAX : (int)ms;
}

int wait_fds(struct pollfd *fds, nfds_t n, int64_t timeout_ms, volatile sig_atomic_t *stop)
{
	uint64_t deadline = timeout_ms >= 0 ? mono_ms() + (uint64_t)timeout_ms : 0;

	for (;;) {
		int64_t left = -1;
		if (timeout_ms >= 0) {
			uint64_t now = mono_ms();
			left = deadline > now ? (int64_t)(deadline - now) : 0;
		}
		int r = poll(fds, n, left < 0 ? -1 : poll_timeout(left));
		if (r >= 0)
			return r;
		if (errno != EINTR)
			return -1;
		if (stop && *stop)
			return 0;
	}
}

void sleep_ms(uint64_t ms, volatile sig_atomic_t *stop)
{
	uint64_t deadline = mono_ms() + ms;

	while (!(stop && *stop)) {
		uint64_t now = mono_ms();
		if (now >= deadline)
			return;
		struct timespec req = { (time_t)((deadline - now) / 1000), (long)((deadline - now) % 1000) * 1000000 };
		nanosleep(&req, NULL);
	}
}
