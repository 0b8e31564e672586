/* Bounded text buffer over the caller's storage.  No allocation, no global state. */
#include "spine/strbuf.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

void strbuf_init(struct strbuf *sb, char *storage, size_t size)
{
	sb->data = storage;
	sb->pos = storage;
	sb->left = size;
	sb->len = 0;
	if (size)
		storage[0] = '\0';
}

int strbuf_vappend(struct strbuf *sb, const char *fmt, va_list ap)
{
	if (sb->left == 0)
		return -1;
	int n = vsnprintf(sb->pos, sb->left, fmt, ap);
	if (n < 0)
		return n;
	/* Output that did not fit was cut at the end of the storage: the buffer is now full. */
	size_t used = (size_t)n < sb->left ? (size_t)n : sb->left - 1;
	sb->pos += used;
	sb->left -= used;
	sb->len += used;
	return n;
}

int strbuf_append(struct strbuf *sb, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	int n = strbuf_vappend(sb, fmt, ap);
	va_end(ap);
	return n;
}

int strbuf_lastchar(const struct strbuf *sb)
{
	if (sb->len == 0)
		return -1;
	return (unsigned char)sb->pos[-1];
}
