/* Bounded line assembly for child output. */
#include "linebuf.h"

#include <stdlib.h>
#include <string.h>

int linebuf_init(struct linebuf *lb, size_t cap)
{
	memset(lb, 0, sizeof(*lb));
	lb->buf = (char *)malloc(cap + 1);
	if (!lb->buf)
		return -1;
	lb->cap = cap;
	return 0;
}

void linebuf_free(struct linebuf *lb)
{
	free(lb->buf);
	memset(lb, 0, sizeof(*lb));
}

static int emit(struct linebuf *lb, int (*line)(void *, char *, size_t), void *ctx)
{
	size_t len = lb->len;

	if (len && lb->buf[len - 1] == '\r')
		len--;
	lb->buf[len] = '\0';
	lb->len = 0;
	return line(ctx, lb->buf, len);
}

size_t linebuf_feed(struct linebuf *lb, const char *data, size_t n, int (*line)(void *, char *, size_t), void *ctx)
{
	size_t i = 0;

	while (i < n) {
		const char *nl = (const char *)memchr(data + i, '\n', n - i);
		size_t chunk = nl ? (size_t)(nl - (data + i)) : n - i;

		if (!lb->skipping) {
			if (lb->len + chunk > lb->cap) {
				lb->skipping = 1;
				lb->len = 0;
				lb->dropped++;
			} else {
				memcpy(lb->buf + lb->len, data + i, chunk);
				lb->len += chunk;
			}
		}
		i += chunk;
		if (!nl)
			break;
		i++; /* the line end */
		if (lb->skipping) {
			lb->skipping = 0;
			continue;
		}
		if (emit(lb, line, ctx))
			return i;
	}
	return i;
}

void linebuf_finish(struct linebuf *lb, int (*line)(void *, char *, size_t), void *ctx)
{
	if (!lb->skipping && lb->len)
		emit(lb, line, ctx);
	lb->len = 0;
	lb->skipping = 0;
}
