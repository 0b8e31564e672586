/* Bounded text buffer and in-place text helpers.  No allocation, no global state. */
#include "utils.h"

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

char *trim(char *text)
{
	while (isspace((unsigned char)*text))
		text++;
	char *end = text + strlen(text);
	while (end > text && isspace((unsigned char)end[-1]))
		end--;
	*end = '\0';
	return text;
}

int split(char **key, char **value, char *line)
{
	char *eq = strchr(line, '=');
	if (!eq) {
		*key = line + strlen(line);
		*value = *key;
		return -1;
	}
	*eq = '\0';
	*key = trim(line);
	*value = trim(eq + 1);
	return 0;
}

int parse_uint32(uint32_t *result, const char *text)
{
	const char *p = text;
	while (isspace((unsigned char)*p))
		p++;
	/* strtoull would take a sign and wrap "-1" to the largest value. */
	if (!isdigit((unsigned char)*p))
		return -1;
	char *end;
	errno = 0;
	unsigned long long v = strtoull(p, &end, 0);
	if (errno || *end != '\0' || v > 0xFFFFFFFFull)
		return -1;
	*result = (uint32_t)v;
	return 0;
}
