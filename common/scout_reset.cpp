/* The boot-time reset order: trigger frames, the marker on persistent storage, the reset program. */
#include "common/scout_reset.h"

#include "common/run.h"
#include "common/scout.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <linux/if_ether.h>
#include <linux/if_packet.h>

#define DRAIN_MAX 4096
#define FRAME_BUF 256 /* the filter keeps SCOUT_TRIGGER_SNAP bytes of a frame */

int scout_capture_open(void)
{
	struct sock_fprog prog = { SCOUT_TRIGGER_FILTER_LEN, (struct sock_filter *)scout_trigger_filter };
	uint8_t frame[FRAME_BUF];
	int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_IP));

	if (fd < 0) {
		syslog(LOG_ERR, "Failed to create socket: %s\n", strerror(errno));
		return -1;
	}
	if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof(prog)) < 0) {
		syslog(LOG_ERR, "Failed to attach filter: %s\n", strerror(errno));
		close(fd);
		return -1;
	}
	/* Frames queued between socket() and the filter went through unchecked. */
	for (int i = 0; i < DRAIN_MAX; i++)
		if (recv(fd, frame, sizeof(frame), MSG_DONTWAIT) < 0 && errno != EINTR)
			break;
	return fd;
}

void scout_capture_serve(struct scout *s)
{
	uint8_t frame[FRAME_BUF];
	struct sockaddr_ll from;
	socklen_t alen = sizeof(from);
	ssize_t n;

	memset(&from, 0, sizeof(from));
	do
		n = recvfrom(s->capture, frame, sizeof(frame), MSG_DONTWAIT, (struct sockaddr *)&from, &alen);
	while (n < 0 && errno == EINTR);
	if (n < 0) {
		if (errno != EAGAIN)
			syslog(LOG_ERR, "Failed to receive frame: %s\n", strerror(errno));
		return;
	}
	switch (scout_trigger_check(frame, (size_t)n, from.sll_pkttype)) {
	case SCOUT_TRIGGER_ARM:
		syslog(LOG_INFO, "Reset to factory defaults packet received on interface %d\n", from.sll_ifindex);
		if (scout_reset_arm() == 0)
			scout_finish(s, 0);
		break;
	case SCOUT_TRIGGER_BROADCAST:
		syslog(LOG_DEBUG, "Ignoring reset packet sent to the broadcast address\n");
		break;
	case SCOUT_TRIGGER_NOT_HOST:
		syslog(LOG_DEBUG, "Ignoring reset packet addressed to another host\n");
		break;
	case SCOUT_TRIGGER_NO:
		break;
	}
}

static int sync_dir_of_marker(void)
{
	int fd = open(SCOUT_RESET_DIR, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	int rc;

	if (fd < 0)
		return -1;
	rc = fsync(fd);
	close(fd);
	return rc;
}

static void report(const char *call)
{
	int e = errno;

	fprintf(stderr, "%s(): %s\n", call, strerror(e));
	syslog(LOG_ERR, "%s(): %s\n", call, strerror(e));
}

/* Everything but the standard descriptors, which go to /dev/null: the child must not keep the group
 * sockets (and their memberships) alive, nor hold the pipes of whoever started the daemon. */
static void child_descriptors(void)
{
	DIR *d = opendir("/proc/self/fd");
	int null = open("/dev/null", O_RDWR);

	closelog();
	if (d) {
		struct dirent *e;
		while ((e = readdir(d))) {
			int fd = atoi(e->d_name);
			if (fd > 2 && fd != dirfd(d) && fd != null)
				close(fd);
		}
		closedir(d);
	} else {
		for (int fd = 3; fd < 1024; fd++)
			if (fd != null)
				close(fd);
	}
	if (null >= 0) {
		for (int fd = 0; fd < 3; fd++)
			dup2(null, fd);
		if (null > 2)
			close(null);
	}
}

/* The child that lets the order lapse.  A termination signal (the reboot that is to carry the order
 * out) must kill it before it removes the marker, so the flag-setting handlers go. */
__attribute__((noreturn)) static void remover(void)
{
	static const int sigs[] = { SIGHUP, SIGINT, SIGQUIT, SIGTERM };
	struct timespec left = { SCOUT_RESET_LAPSE_S, 0 };

	for (size_t i = 0; i < sizeof(sigs) / sizeof(sigs[0]); i++)
		signal(sigs[i], SIG_DFL);
	child_descriptors();
	while (nanosleep(&left, &left) < 0 && errno == EINTR)
		;
	if (unlink(SCOUT_RESET_MARKER) < 0 && errno != ENOENT) {
		openlog("scoutd", LOG_PID, LOG_DAEMON);
		syslog(LOG_ERR, "unlink(): %s\n", strerror(errno));
	}
	_exit(0);
}

int scout_reset_arm(void)
{
	int fd = open(SCOUT_RESET_MARKER, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);

	if (fd < 0) {
		report("open");
		return -1;
	}
	if (fsync(fd) < 0) {
		report("fsync");
		close(fd);
		goto undo;
	}
	if (close(fd) < 0) {
		report("close");
		goto undo;
	}
	if (sync_dir_of_marker() < 0) {
		report("fsync");
		goto undo;
	}
	fflush(NULL);
	switch (fork()) {
	case -1:
		/* Without the remover the order would never lapse: a reboot weeks later would still reset. */
		report("fork");
		goto undo;
	case 0:
		remover();
	}
	syslog(LOG_INFO, "Reset to factory defaults ordered: reboot within %d seconds\n", SCOUT_RESET_LAPSE_S);
	return 0;
undo:
	unlink(SCOUT_RESET_MARKER);
	return -1;
}

int scout_reset_pending(void)
{
	return access(SCOUT_RESET_MARKER, F_OK) == 0;
}

int scout_reset_perform(void)
{
	const char *const argv[] = { SCOUT_RESET_PROGRAM, NULL };

	fprintf(stderr, "\n\n\n\t\tResetting to factory defaults...\n\n\n");
	syslog(LOG_INFO, "Resetting to factory defaults\n");
	/* The order is being carried out: a marker left behind would reset the device again at every boot
	 * in which the reset program keeps /data. */
	if (unlink(SCOUT_RESET_MARKER) == 0)
		sync_dir_of_marker();
	int st = run_argv(argv, NULL);
	if (st < 0) {
		report("system");
		return 1;
	}
	if (WIFSIGNALED(st)) {
		fprintf(stderr, "killed by %s\n", strsignal(WTERMSIG(st)));
		return 1;
	}
	if (WEXITSTATUS(st))
		fprintf(stderr, "scoutd: '%s' exit code:%d\n", SCOUT_RESET_PROGRAM, WEXITSTATUS(st));
	return WEXITSTATUS(st);
}
