/* One eventfd that ends the main loop's wait when another thread or a signal handler changed what
 * the loop acts on, so nothing waits out a whole round for it. */
#include "agent.h"

#include <errno.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

static int wake_fd = -1;

int wake_init(void)
{
	wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
	return wake_fd < 0 ? -1 : 0;
}

void agent_wake(void)
{
	uint64_t one = 1;
	int saved = errno;

	if (wake_fd >= 0 && write(wake_fd, &one, sizeof(one)) < 0) {
		/* a counter at its limit has a wake-up pending anyway */
	}
	errno = saved;
}

int wake_wait(int ms, struct pollfd *fds, int n)
{
	struct pollfd all[8];
	int count = 0;
	uint64_t v;

	all[count].fd = wake_fd;
	all[count].events = POLLIN;
	all[count++].revents = 0;
	for (int i = 0; i < n && count < 8; i++) {
		all[count] = fds[i];
		all[count++].revents = 0;
	}
	int r = poll(all, (nfds_t)count, ms);
	if (r < 0)
		return errno == EINTR ? 0 : -1;
	if (all[0].revents & POLLIN) {
		if (read(wake_fd, &v, sizeof(v)) < 0) {
			/* drained by an earlier read */
		}
		r--;
	}
	for (int i = 0; i < n && i + 1 < count; i++)
		fds[i].revents = all[i + 1].revents;
	return r;
}
