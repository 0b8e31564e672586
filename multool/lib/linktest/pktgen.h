/* The kernel packet generator's control files, reached through the /proc override of
 * platform/procfs.h ("net/pktgen/<name>"), and loading its module.  Errors are returned. */
#pragma once

#include <stddef.h>

/* "/proc/net/pktgen/<name>" (or the override's copy) in buf; returns buf. */
const char *pktgen_path(const char *name, char *buf, size_t size);
/* One command as the generator takes it: open for writing, write the line, close.  A "start" to
 * pgctrl returns when the packets are sent.  0, or -1 with errno. */
int pktgen_write(const char *name, const char *line);
/* The module is there (/sys/module/pktgen) or "/sbin/modprobe pktgen" exited with 0: 0, else -1. */
int pktgen_load(void);
