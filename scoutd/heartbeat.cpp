/* Command 1: the agent's last heartbeat, raw up to 1300 bytes, else compressed with zlib. */
#include "heartbeat.h"

#include "common/fileio.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <zlib.h>

/* Signals the agent to write a new heartbeat; the answer does not wait for it.  A pid of 0 or 1 would
 * signal a process group or init, so only a real pid counts. */
static void request_latest_heartbeat(void)
{
	char text[24], *end;
	ssize_t n = read_prefix(SCOUTD_AGENT_PIDFILE, text, sizeof(text) - 1);
	long pid = 0;

	if (n > 0) {
		text[n] = '\0';
		pid = strtol(text, &end, 10);
		if (end == text || pid > INT_MAX)
			pid = 0;
	}
	if (pid <= 1) {
		syslog(LOG_ERR, "[%s] Failed to read PID from '%s'\n", __func__, SCOUTD_AGENT_PIDFILE);
		return;
	}
	kill((pid_t)pid, SIGUSR2);
}

/* The stored heartbeat, at most one byte past the limit so an oversized one is seen whatever stat said
 * (the agent replaces the file by renaming, so it may have changed in between).  Its length, or -1. */
static ssize_t read_heartbeat(uint8_t *buf, size_t size)
{
	int fd = open(SCOUTD_HEARTBEAT_FILE, O_RDONLY | O_CLOEXEC);
	struct stat st;
	ssize_t n;

	if (fd < 0) {
		syslog(LOG_ERR, "Failed to open heartbeat file '%s'. Reason: %s\n", SCOUTD_HEARTBEAT_FILE,
		       strerror(errno));
		return -1;
	}
	if (fstat(fd, &st) < 0) {
		syslog(LOG_ERR, "Failed to stat heartbeat file '%s'. Reason: %s\n", SCOUTD_HEARTBEAT_FILE,
		       strerror(errno));
		goto fail;
	}
	if (st.st_size > SCOUT_HB_FILE_MAX)
		goto too_big;
	n = pread_full(fd, buf, size, 0);
	if (n < 0) {
		syslog(LOG_ERR, "Failed to read hearbeat file '%s'. Reason: %s\n", SCOUTD_HEARTBEAT_FILE,
		       strerror(errno));
		goto fail;
	}
	if (n > SCOUT_HB_FILE_MAX)
		goto too_big;
	close(fd);
	return n;
too_big:
	syslog(LOG_ERR, "Uncompressed heartbeat to big to send in response\n");
fail:
	close(fd);
	return -1;
}

int heartbeat_cmd(struct scout *s, const struct scout_rx *rx)
{
	uint8_t data[SCOUT_HB_FILE_MAX + 1], z[SCOUT_HB_ZBUF], p[SCOUT_HB_HEADER + SCOUT_HB_RAW_MAX];
	const uint8_t *send = data;
	int compressed = 0;

	request_latest_heartbeat();
	ssize_t n = read_heartbeat(data, sizeof(data));
	if (n < 0)
		return 0;
	size_t len = (size_t)n;
	if (scout_heartbeat_plan(len) == SCOUT_HB_COMPRESS) {
		uLongf zlen = sizeof(z);
		int rc = compress(z, &zlen, data, len);
		if (rc != Z_OK) {
			syslog(LOG_ERR, "Failed to compress heartbeat. zlib error code: %d\n", rc);
			return 0;
		}
		if (zlen > SCOUT_HB_RAW_MAX) {
			syslog(LOG_ERR, "Compressed heartbeat doesn't fit in packet\n");
			return 0;
		}
		send = z;
		len = zlen;
		compressed = 1;
	}
	size_t plen = scout_heartbeat_payload(p, sizeof(p), send, len, compressed);
	syslog(LOG_DEBUG, "Send 'heartbeat_cmd' (cmd=%d) response on iface %d\n", rx->req.cmd, rx->ifindex);
	return scout_answer(s, rx, p, plen);
}
