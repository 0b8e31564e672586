/* What every long-running program of the device needs around its own loop: a signal table whose
 * handlers only set flags, detaching with a pid file, waits that survive signals and end on a stop
 * flag, and monotonic time with simple timers.  It removes scaffolding, not behaviour: each daemon
 * still decides which signals it takes and what it waits for. */
#pragma once

#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifndef ARRAY_SIZE
#define ARRAY_SIZE(a) (sizeof(a) / sizeof((a)[0]))
#endif

/* ---- signals ---- */

/* Installs the handler for the signal, without SA_RESTART, so a blocking call returns to the loop,
 * which then looks at the flags the handler set.  Handlers must do nothing else (no logging, no
 * allocation): they may interrupt the process anywhere.  0, or -1 with errno. */
int signal_on(int sig, void (*handler)(int));
/* The same handler for every signal of the list; stops at the first failure. */
int signals_on(const int *sigs, size_t n, void (*handler)(int));

/* ---- pid file and detaching ---- */

/* The pid recorded in the file when that process is alive and runs the same program file as this
 * one (an unrelated process that reused the pid does not count); 0 otherwise. */
pid_t pidfile_owner(const char *path);
/* Writes "<pid>\n" through a temporary name, so a reader never sees half a number.  0 or -1. */
int pidfile_write(const char *path);
/* Detaches (daemon(0, 0)) and writes the pid file when one is named: 0; -1 with errno when detaching
 * failed (still in the foreground); 1 when detached but the pid file could not be written. */
int daemon_start(const char *pidfile);

/* ---- time ---- */

/* Milliseconds of the monotonic clock: steps of the wall clock (NTP at boot) do not move it. */
uint64_t mono_ms(void);

/* A deadline on the monotonic clock; due_ms 0 means not armed. */
struct mono_timer {
	uint64_t due_ms;
};

static inline void timer_arm(struct mono_timer *t, uint64_t now_ms, uint64_t after_ms)
{
	t->due_ms = now_ms + after_ms;
	if (!t->due_ms)
		t->due_ms = 1;
}

static inline void timer_stop(struct mono_timer *t)
{
	t->due_ms = 0;
}

static inline int timer_expired(const struct mono_timer *t, uint64_t now_ms)
{
	return t->due_ms && now_ms >= t->due_ms;
}

/* Milliseconds until the earliest armed timer of the list (0 when one is due), or -1 when none is
 * armed: a poll time-out. */
int64_t timers_wait_ms(const struct mono_timer *const *timers, size_t n, uint64_t now_ms);

/* ---- waiting ---- */

/* poll() for at most timeout_ms (-1: no limit).  A signal does not end the wait unless it set *stop
 * (stop may be NULL); the time already waited counts.  The number of ready descriptors, 0 on time-out
 * or stop, -1 with errno on any other failure. */
int wait_fds(struct pollfd *fds, nfds_t n, int64_t timeout_ms, volatile sig_atomic_t *stop);
/* Sleeps ms milliseconds; only *stop cuts it short. */
void sleep_ms(uint64_t ms, volatile sig_atomic_t *stop);
