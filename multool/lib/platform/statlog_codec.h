/* What statlog reads from /proc: memory figures and the network devices' counters.  No I/O. */
#pragma once

#include <stddef.h>
#include <stdint.h>

/* Bytes, from the kB figures of /proc/meminfo. */
struct statlog_mem {
	uint64_t total, free, buffers, cached;
};
/* 0 when MemTotal and MemFree were found (Buffers and Cached stay 0 when missing), else -1. */
int statlog_parse_meminfo(const char *text, struct statlog_mem *m);

struct statlog_netdev {
	char name[16];
	uint64_t rx_bytes, rx_packets, rx_errors, tx_bytes, tx_packets, tx_errors;
};
/* Calls fn for every interface line of /proc/net/dev (after its two header lines); malformed lines
 * are skipped.  The count handed to fn. */
int statlog_parse_netdev(const char *text, void (*fn)(const struct statlog_netdev *d, void *ctx), void *ctx);

/* True when the interface name can be part of a database file name as it is: letters, digits, '.',
 * '_' and '-', not starting with '.' or '-'. */
int statlog_name_ok(const char *name);
