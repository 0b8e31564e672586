/* Children whose standard output the main loop reads: the spectrum scan, the link test runs and the
 * firmware check.  Each runs in a process group of its own, so stopping it reaches what it started. */
#pragma once

#include <poll.h>
#include <stddef.h>
#include <sys/types.h>

/* Runs argv (absolute path or a name in PATH) and collects at most size - 1 bytes of its output
 * (the rest is read and dropped), NUL-terminated; *status is the wait status.  0, or -1 when it
 * could not be started. */
int child_output(const char *const argv[], char *out, size_t size, int *status);
/* Descriptors of the running children for the main loop's wait; the count put into fds. */
int pipes_pollfds(struct pollfd *fds, int max);
