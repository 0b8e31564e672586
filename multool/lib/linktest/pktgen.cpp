/* Packet generator control files and module. */
#include "linktest/pktgen.h"

#include "common/fileio.h"
#include "common/run.h"
#include "platform/procfs.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

const char *pktgen_path(const char *name, char *buf, size_t size)
{
	char rel[128];

	snprintf(rel, sizeof(rel), "net/pktgen/%s", name);
	return proc_path(rel, buf, size);
}

int pktgen_write(const char *name, const char *line)
{
	char path[256];
	int fd = open(pktgen_path(name, path, sizeof(path)), O_WRONLY | O_CLOEXEC);

	if (fd < 0)
		return -1;
	/* One write: the generator takes each write as one command. */
	ssize_t n = write(fd, line, strlen(line));
	int err = errno;
	close(fd);
	if (n != (ssize_t)strlen(line)) {
		errno = n < 0 ? err : EIO;
		return -1;
	}
	return 0;
}

int pktgen_load(void)
{
	static const char *const argv[] = { "/sbin/modprobe", "pktgen", NULL };

	if (access("/sys/module/pktgen", F_OK) == 0)
		return 0;
	return run_ok(run_argv(argv, NULL), NULL) ? 0 : -1;
}
