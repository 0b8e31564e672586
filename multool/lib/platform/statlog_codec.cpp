/* /proc/meminfo and /proc/net/dev as statlog records them. */
#include "platform/statlog_codec.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

/* The value of "Key:   1234 kB" lines, in bytes. */
static int meminfo_value(const char *text, const char *key, uint64_t *out)
{
	size_t n = strlen(key);

	for (const char *p = text; p && *p; p = strchr(p, '\n'), p = p ? p + 1 : NULL) {
		if (strncmp(p, key, n) != 0 || p[n] != ':')
			continue;
		char *end;
		errno = 0;
		unsigned long long kb = strtoull(p + n + 1, &end, 10);
		if (end == p + n + 1 || errno || kb > UINT64_MAX / 1024)
			return -1;
		*out = (uint64_t)kb * 1024;
		return 0;
	}
	return -1;
}

int statlog_parse_meminfo(const char *text, struct statlog_mem *m)
{
	memset(m, 0, sizeof(*m));
	if (meminfo_value(text, "MemTotal", &m->total) < 0 || meminfo_value(text, "MemFree", &m->free) < 0)
		return -1;
	meminfo_value(text, "Buffers", &m->buffers);
	meminfo_value(text, "Cached", &m->cached);
	return 0;
}

static int netdev_line(const char *line, size_t len, struct statlog_netdev *d)
{
	char buf[512];

	if (len >= sizeof(buf))
		return -1;
	memcpy(buf, line, len);
	buf[len] = '\0';
	char *p = buf;
	while (*p == ' ')
		p++;
	char *colon = strchr(p, ':');
	if (!colon || colon == p || (size_t)(colon - p) >= sizeof(d->name))
		return -1;
	memset(d, 0, sizeof(*d));
	memcpy(d->name, p, (size_t)(colon - p));
	p = colon + 1;
	/* receive: bytes packets errs drop fifo frame compressed multicast; transmit: bytes packets errs ... */
	uint64_t v[11];
	for (int i = 0; i < 11; i++) {
		char *end;
		while (*p == ' ')
			p++;
		if (!isdigit((unsigned char)*p))
			return -1;
		errno = 0;
		v[i] = strtoull(p, &end, 10);
		if (errno)
			return -1;
		p = end;
	}
	d->rx_bytes = v[0];
	d->rx_packets = v[1];
	d->rx_errors = v[2];
	d->tx_bytes = v[8];
	d->tx_packets = v[9];
	d->tx_errors = v[10];
	return 0;
}

int statlog_parse_netdev(const char *text, void (*fn)(const struct statlog_netdev *d, void *ctx), void *ctx)
{
	int line = 0, count = 0;

	for (const char *p = text; *p; line++) {
		const char *end = strchr(p, '\n');
		size_t len = end ? (size_t)(end - p) : strlen(p);
		struct statlog_netdev d;
		if (line >= 2 && netdev_line(p, len, &d) == 0) {
			fn(&d, ctx);
			count++;
		}
		p += len;
		if (*p)
			p++;
	}
	return count;
}

int statlog_name_ok(const char *name)
{
	if (!*name || *name == '.' || *name == '-')
		return 0;
	for (const char *p = name; *p; p++)
		if (!isalnum((unsigned char)*p) && *p != '.' && *p != '_' && *p != '-')
			return 0;
	return 1;
}
